// Runs a step for every index of a range, on the shared pool when the range is long. Batches
// have a fixed size, never one per thread, and a step writes only what belongs to its own index
// while it reads only what no step writes, so every pool size gives the same result.
#pragma once

#include <algorithm>
#include <cstddef>

#include "platform/pool.hpp"

namespace vorlane::robust {

// Segments a task takes: each costs a few thousand instructions, so a batch outweighs the
// pool's hand-over many times while a layer's few hundred lines still spread over the CPUs.
inline constexpr std::size_t SEGMENT_BATCH = 64;

template <typename Step>
void for_each_batched(std::size_t count, std::size_t batch, Step&& step) {
    const std::size_t batches = (count + batch - 1) / batch;
    const auto run_batch = [&](std::size_t b) {
        const std::size_t end = std::min(count, (b + 1) * batch);
        for (std::size_t i = b * batch; i < end; ++i) step(i);
    };
    if (batches > 1 && pool_size() > 1) {
        pool_run(batches, run_batch);
    } else {
        for (std::size_t b = 0; b < batches; ++b) run_batch(b);
    }
}

// The per-segment stages' form: each segment's step reads its neighbours' fields that the
// stage leaves alone.
template <typename Step>
void for_each_segment(std::size_t count, Step&& step) {
    for_each_batched(count, SEGMENT_BATCH, step);
}

}  // namespace vorlane::robust
