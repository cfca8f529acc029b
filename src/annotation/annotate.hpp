// The annotation core's entry: the driver that checks the caller's views and labels the samples,
// and the one choice of how a call runs, exposed so that tests can hold every strategy to the
// stages under plans with low thresholds.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "annotation/model/chunk_plan.hpp"
#include "annotation/model/records.hpp"

namespace vorlane {

// Driver: checks the two views, runs every stage and returns the ids or the caller's error.
template <typename T>
AnnotationResult annotate_scanlines(const CoordinateView<T>& x, const CoordinateView<T>& y);

// Where a successful call puts its ids: asked once, after the checks have passed, for a
// writable buffer of n ids (n may be 0). Lets the boundary hand out its result array's memory.
using IdBufferRequest = std::function<std::span<std::int32_t>(std::uint64_t n)>;

// The driver writing into the requested buffer; returns the caller's error, if any.
template <typename T>
std::optional<AnnotatorError> annotate_scanlines_into(const CoordinateView<T>& x,
                                                      const CoordinateView<T>& y,
                                                      const IdBufferRequest& request);

// The ways a call's turning points can be found, fastest first.
enum class Strategy {
    fused_pass,                 // both collapse stages sequential: one pass on the calling thread
    fused_pass_y_cuts_checked,  // x sequential: the fused pass, and where the y stage is chunked
                                // a check that its chunks start where its rule opens runs
    chunked_walk,               // each x chunk walked through all rules on the pool, one read
    count_then_walk,            // x chunks counted, then y chunks walked where they fall
    stored_lists,               // the stages one after the other, lists A and B stored
};

template <typename T>
struct FoundTurns {
    TurningListPair<T> lists;
    Strategy strategy;
};

// find_turning_points(B) for the samples x, y (n >= 1, unit stride), B being list B as the
// stages make it under `plan`, by the first strategy that answers.
template <typename T>
FoundTurns<T> find_turns(const CoordinateView<T>& x, const CoordinateView<T>& y,
                         const ChunkPlan& plan);

}  // namespace vorlane
