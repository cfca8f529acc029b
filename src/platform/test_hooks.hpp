// Hooks of the test build only (VORLANE_TEST_HOOKS); the release build compiles them to nothing.
// Fault injection: a site named in the environment variable VORLANE_INJECT_FAULT throws there
// ("site" raises a runtime fault, "site:bad_alloc" an allocation failure).
// Tallies: with VORLANE_TALLY_FILE set, tally(event) counts the event, and at exit the process
// appends one line "event count" per event to that file, so that tests can see how often each
// path of the code answered.
#pragma once

namespace vorlane {

#ifdef VORLANE_TEST_HOOKS
void inject_fault(const char* site);
void tally(const char* event);
#else
inline void inject_fault(const char*) noexcept {}
inline void tally(const char*) noexcept {}
#endif

}  // namespace vorlane
