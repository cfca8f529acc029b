// The platform library's pool interface as one module reaches it: loaded on the first pool
// call, not when the module is imported, so that a module whose library is absent (copied
// elsewhere alone, say) still imports and only its parallel calls fail.
#pragma once

#include "platform/pool_c_api.h"

namespace vorlane {

struct PoolFunctions {
    size_t (*size)(void);
    int (*run)(size_t count, vorlane_pool_task task, void* context, char* message, size_t capacity);
};

// The library's functions, resolved once per module; a library that cannot be loaded is an
// internal fault naming the loader's error.
const PoolFunctions& pool_functions();

}  // namespace vorlane
