// Loading libvorlane_platform on first need, from the folders of the calling module's RUNPATH
// (in the wheel, $ORIGIN-relative), so that every module reaches the one copy and the process
// has one pool.
#include "platform/pool_loader.hpp"

#include <dlfcn.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>

#include "platform/fault.hpp"

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

// The object (module or program) this code is linked into, or null.
void* own_object() {
    Dl_info info{};
    const PoolFunctions& (*self)() = &pool_functions;
    void* address = nullptr;
    static_assert(sizeof self == sizeof address);
    std::memcpy(&address, &self, sizeof address);
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return nullptr;
    void* object = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    // The main program is not found by its file name.
    return object != nullptr ? object : dlopen(nullptr, RTLD_LAZY);
}

// dlopen by plain name searches the RUNPATH of its caller, and a sanitizer's interceptor makes
// itself that caller. So the folders are asked for explicitly, with $ORIGIN already expanded.
void* load_from_own_search_path() {
    void* object = own_object();
    if (object == nullptr) return nullptr;
    void* library = nullptr;
    Dl_serinfo size{};
    if (dlinfo(object, RTLD_DI_SERINFOSIZE, &size) == 0) {
        auto storage =
            std::make_unique<std::max_align_t[]>(size.dls_size / sizeof(std::max_align_t) + 1);
        auto* paths = reinterpret_cast<Dl_serinfo*>(storage.get());
        *paths = size;  // dls_size and dls_cnt, as RTLD_DI_SERINFO requires
        if (dlinfo(object, RTLD_DI_SERINFO, paths) == 0) {
            for (unsigned i = 0; i < paths->dls_cnt && library == nullptr; ++i) {
                const std::string path =
                    std::string(paths->dls_serpath[i].dls_name) + "/" + PLATFORM_LIBRARY;
                library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
            }
        }
    }
    dlclose(object);
    return library;
}

PoolFunctions load() {
    // Never closed: pool threads run the library's code until the process ends.
    void* library = load_from_own_search_path();
    if (library == nullptr) library = dlopen(PLATFORM_LIBRARY, RTLD_NOW | RTLD_LOCAL);
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
