// Failure sites of the boundary that only the test build can select, through the same
// environment variable as the core's fault injection (annotation/test_hooks.hpp). Where the
// core's hook raises a fault, these make an interpreter call fail the way the real one can.
#pragma once

#include <string_view>

#ifdef VORLANE_TEST_HOOKS
#include <cstdlib>
#endif

namespace vorlane::module {

#ifdef VORLANE_TEST_HOOKS
inline bool test_site_selected(std::string_view site) noexcept {
    const char* wanted = std::getenv("VORLANE_INJECT_FAULT");
    return wanted != nullptr && site == wanted;
}
#else
constexpr bool test_site_selected(std::string_view) noexcept { return false; }
#endif

}  // namespace vorlane::module
