// Fault injection sites of the test build (see test_hooks.hpp).
#include "platform/test_hooks.hpp"

#ifdef VORLANE_TEST_HOOKS
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/fault.hpp"

namespace vorlane {

void inject_fault(const char* site) {
    const char* wanted = std::getenv("VORLANE_INJECT_FAULT");
    if (wanted == nullptr) return;
    std::string_view selected(wanted);
    std::string_view name(site);
    if (selected == name) raise_fault("injected fault at " + std::string(name));
    if (selected.size() == name.size() + 10 && selected.substr(0, name.size()) == name &&
        selected.substr(name.size()) == ":bad_alloc") {
        throw std::bad_alloc();
    }
}

}  // namespace vorlane
#endif
