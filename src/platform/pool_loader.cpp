// Loading libvorlane_platform on first need. The name is looked up through the RUNPATH of the
// module that calls (in the wheel, $ORIGIN-relative), so every module reaches the one copy and
// the process has one pool.
#include "platform/pool_loader.hpp"

#include <dlfcn.h>

#include <cstring>
#include <string>

#include "annotation/fault.hpp"

namespace vorlane {

namespace {

constexpr char PLATFORM_LIBRARY[] = "libvorlane_platform.so";

template <typename Function>
Function resolve(void* library, const char* name) {
    void* address = dlsym(library, name);
    if (address == nullptr) {
        const char* error = dlerror();
        raise_fault(std::string("could not find ") + name + " in " + PLATFORM_LIBRARY + ": " +
                    (error != nullptr ? error : "no such symbol"));
    }
    static_assert(sizeof(Function) == sizeof(void*));
    Function function;
    std::memcpy(&function, &address, sizeof function);
    return function;
}

PoolFunctions load() {
    // Never closed: pool threads run the library's code until the process ends.
    void* library = dlopen(PLATFORM_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* error = dlerror();
        raise_fault(std::string("could not load the thread pool library: ") +
                    (error != nullptr ? error : PLATFORM_LIBRARY));
    }
    return PoolFunctions{resolve<decltype(PoolFunctions::size)>(library, "vorlane_pool_size"),
                         resolve<decltype(PoolFunctions::run)>(library, "vorlane_pool_run")};
}

}  // namespace

const PoolFunctions& pool_functions() {
    // A failed load throws out of the initialisation, so the next call tries again.
    static const PoolFunctions functions = load();
    return functions;
}

}  // namespace vorlane
