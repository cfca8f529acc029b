// Runs a step over every index of a range, on the shared pool when the range is long. Batches
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

// Calls step(begin, end) for consecutive ranges of `batch` indices covering [0, count).
template <typename Step>
void for_each_batch(std::size_t count, std::size_t batch, Step&& step) {
    const std::size_t batches = (count + batch - 1) / batch;
    const auto run_batch = [&](std::size_t b) {
        step(b * batch, std::min(count, (b + 1) * batch));
    };
    if (batches > 1 && pool_size() > 1) {
        pool_run(batches, run_batch);
    } else {
        for (std::size_t b = 0; b < batches; ++b) run_batch(b);
    }
}

// Calls step(i) for every i in [0, count), `batch` indices a task.
template <typename Step>
void for_each_index(std::size_t count, std::size_t batch, Step&& step) {
    for_each_batch(count, batch, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) step(i);
    });
}

// The per-segment stages' form: step(i) for each segment, which reads its neighbours' fields
// that the stage leaves alone.
template <typename Step>
void for_each_segment(std::size_t count, Step&& step) {
    for_each_index(count, SEGMENT_BATCH, step);
}

}  // namespace vorlane::robust
