// The chunked collapse stages and the turning-point detection as one pass per chunk: each
// pool thread walks its chunk of the path through the y rule and the turn rule without storing
// lists A or B, and the chunks' turns are joined in path order on the calling thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "annotation/model/records.hpp"
#include "annotation/stages/parallel_collapse.hpp"

namespace vorlane {

// How the stages cut their input: the chunked x stage when x_threads >= 2 and n >=
// x_min_samples, the chunked y stage when y_threads >= 2 and list A has at least
// y_min_records records, the sequential forms otherwise.
struct ChunkPlan {
    std::uint64_t x_threads = 1;  // pool size for the x stage
    std::uint64_t y_threads = 1;  // and for the y stage
    std::uint64_t x_min_samples = PARALLEL_X_MIN_SAMPLES;
    std::uint64_t y_min_records = PARALLEL_Y_MIN_RECORDS;
    // Records of B kept from each chunk's start for the join; a seam that needs more (a long
    // chain of records fusing across it, or of steps that keep the previous direction) makes
    // a chunked form decline.
    std::size_t head = 32;

    bool chunks_x(std::uint64_t n) const noexcept { return x_threads >= 2 && n >= x_min_samples; }
    bool chunks_y(std::uint64_t m) const noexcept { return y_threads >= 2 && m >= y_min_records; }
};

// Each of these equals find_turning_points(B), B being list B as the stages make it under
// `plan`, or is empty where the form cannot settle a seam.

// The chunked walk, one read of the samples: the x chunks walk all three rules on their own
// and are joined; it needs the y stage's chunks to fall where its rule opens a run anyway.
template <typename T>
std::optional<TurningLists<T>> chunked_turns_one_read(const CoordinateView<T>& x,
                                                      const CoordinateView<T>& y,
                                                      const ChunkPlan& plan);

// Count then walk, two reads: the x chunks count their records first, so that the y chunks
// can be walked exactly where they fall.
template <typename T>
std::optional<TurningLists<T>> chunked_turns_two_reads(const CoordinateView<T>& x,
                                                       const CoordinateView<T>& y,
                                                       const ChunkPlan& plan);

// The fused pass on the calling thread, for a sequential x stage: it answers when the y
// stage's chunks fall where the y rule opens a run anyway.
template <typename T>
std::optional<TurningLists<T>> fused_turns_if_y_cuts_open(const CoordinateView<T>& x,
                                                          const CoordinateView<T>& y,
                                                          const ChunkPlan& plan);

}  // namespace vorlane
