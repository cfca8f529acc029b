// The process-wide parallel pool: its size, fixed on first query, and an ordered parallel map
// that runs one task per range on the pool's threads while the caller blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <vector>

namespace vorlane {

// Number of pool threads. The first call fixes it for the process (from RAYON_NUM_THREADS,
// RAYON_RS_NUM_CPUS or the CPUs the process may use); no thread starts until work arrives.
std::size_t pool_size();

// Runs task(i) for every i in [0, count) on the pool's threads and returns when all are done;
// the caller runs none. Threads start on first need: as many as the largest count so far, up
// to pool_size().
// The first exception a task throws (tasks not yet started are then skipped) is rethrown on
// the calling thread, and the pool stays usable. Any number of threads may call at once; a
// call from inside a task runs its tasks inline. A forked child gets a fresh pool.
void pool_run(std::size_t count, const std::function<void(std::size_t)>& task);

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
