// Fault injection sites and event tallies of the test build (see test_hooks.hpp).
#include "platform/test_hooks.hpp"

#ifdef VORLANE_TEST_HOOKS
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
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

namespace {

const char* tally_file() { return std::getenv("VORLANE_TALLY_FILE"); }

// Written out by its destructor at exit, in one append, so that the processes of a test run
// can share the file.
struct Tallies {
    std::mutex mutex;
    std::map<std::string, std::uint64_t> counts;

    ~Tallies() {
        const char* file = tally_file();
        if (file == nullptr || counts.empty()) return;
        std::string text;
        for (const auto& [event, count] : counts)
            text += event + " " + std::to_string(count) + "\n";
        if (std::FILE* out = std::fopen(file, "a")) {
            std::fwrite(text.data(), 1, text.size(), out);
            std::fclose(out);
        }
    }
};

}  // namespace

void tally(const char* event) {
    if (tally_file() == nullptr) return;
    static Tallies tallies;
    const std::lock_guard lock(tallies.mutex);
    ++tallies.counts[event];
}

}  // namespace vorlane
#endif
