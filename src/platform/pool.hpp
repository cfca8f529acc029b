// The process-wide parallel pool as the C++ code sees it: its size, fixed on first query, and
// an ordered parallel map that runs one task per range on the pool's threads while the caller
// blocks. The pool itself lives in libvorlane_platform behind a C interface, loaded on first
// use; these inline wrappers carry exceptions across it on this module's side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/fault.hpp"
#include "platform/pool_c_api.h"
#include "platform/pool_loader.hpp"

namespace vorlane {

// Number of pool threads. The first call fixes it for the process (from RAYON_NUM_THREADS,
// RAYON_RS_NUM_CPUS or the CPUs the process may use); no thread starts until work arrives.
inline std::size_t pool_size() {
    const std::size_t size = pool_functions().size();
    if (size == 0) throw std::bad_alloc();
    return size;
}

namespace pool_detail {

// What one pool_run shares with its tasks: the task and the first exception any of them threw.
template <typename Task>
struct Carrier {
    Task& task;
    std::mutex mutex;
    std::exception_ptr first_error;

    static int run_one(void* context, std::size_t index) noexcept {
        auto& carrier = *static_cast<Carrier*>(context);
        try {
            carrier.task(index);
            return 0;
        } catch (...) {
            const std::lock_guard lock(carrier.mutex);
            if (!carrier.first_error) carrier.first_error = std::current_exception();
            return 1;
        }
    }
};

}  // namespace pool_detail

// Runs task(i) for every i in [0, count) on the pool's threads and returns when all are done;
// the caller runs tasks beside them, as one of the pool_size() threads. Worker threads start on
// first need: one fewer than the largest count so far, up to pool_size() - 1.
// The first exception a task throws (tasks not yet started are then skipped) is rethrown on
// the calling thread, and the pool stays usable. Any number of threads may call at once; a
// call from inside a task runs its tasks inline. A forked child gets a fresh pool.
template <typename Task>
    requires std::is_invocable_v<Task&, std::size_t>
void pool_run(std::size_t count, Task&& task) {
    if (count == 0) return;
    pool_detail::Carrier<std::remove_reference_t<Task>> carrier{task, {}, {}};
    char message[256] = {};
    const int outcome =
        pool_functions().run(count, &decltype(carrier)::run_one, &carrier, message, sizeof message);
    switch (outcome) {
        case VORLANE_POOL_OK:
            return;
        case VORLANE_POOL_TASK_FAILED:
            std::rethrow_exception(carrier.first_error);
        case VORLANE_POOL_NO_MEMORY:
            throw std::bad_alloc();
        default:
            raise_fault(std::string(message));
    }
}

// Ordered parallel map: fn(items[i]) for every item on the pool, the results in item order.
template <typename Result, typename Item, typename Function>
std::vector<Result> ordered_parallel_map(const std::vector<Item>& items, Function&& fn) {
    std::vector<std::optional<Result>> slots(items.size());
    pool_run(items.size(), [&](std::size_t i) { slots[i].emplace(fn(items[i])); });
    std::vector<Result> results;
    results.reserve(slots.size());
    for (auto& slot : slots) results.push_back(std::move(*slot));
    return results;
}

}  // namespace vorlane
