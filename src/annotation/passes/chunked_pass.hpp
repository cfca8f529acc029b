// The chunked passes: the chunked collapse stages and the turning-point detection walked one
// chunk per pool thread without storing lists A or B, the chunks' turns joined in path order
// on the calling thread.
#pragma once

#include <optional>

#include "annotation/model/chunk_plan.hpp"
#include "annotation/model/records.hpp"

namespace vorlane {

// Each of these equals find_turning_points(B), B being list B as the stages make it under
// `plan`, or is empty where the form cannot settle a seam.

// The chunked walk, one read of the samples: the x chunks walk all three rules on their own
// and are joined; it needs the y stage's chunks to fall where its rule opens a run anyway.
template <typename T>
std::optional<TurningListPair<T>> chunked_turns_one_read(const CoordinateView<T>& x,
                                                         const CoordinateView<T>& y,
                                                         const ChunkPlan& plan);

// Count then walk, two reads: the x chunks count their records first, so that the y chunks
// can be walked exactly where they fall.
template <typename T>
std::optional<TurningListPair<T>> chunked_turns_two_reads(const CoordinateView<T>& x,
                                                          const CoordinateView<T>& y,
                                                          const ChunkPlan& plan);

// The fused pass on the calling thread, for a sequential x stage: it answers when the y
// stage's chunks fall where the y rule opens a run anyway.
template <typename T>
std::optional<TurningListPair<T>> fused_turns_if_y_cuts_open(const CoordinateView<T>& x,
                                                             const CoordinateView<T>& y,
                                                             const ChunkPlan& plan);

}  // namespace vorlane
