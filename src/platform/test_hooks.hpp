// Fault injection for the test build only: with VORLANE_TEST_HOOKS, a site named in the
// environment variable VORLANE_INJECT_FAULT throws there ("site" raises a runtime fault,
// "site:bad_alloc" an allocation failure). The release build compiles this to nothing.
#pragma once

namespace vorlane {

#ifdef VORLANE_TEST_HOOKS
void inject_fault(const char* site);
#else
inline void inject_fault(const char*) noexcept {}
#endif

}  // namespace vorlane
