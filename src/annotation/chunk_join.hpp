// Joins the walks of the x chunks, each made on its own by walk_x_chunk, into the turning
// points of the whole path: at each seam it fuses list A's records as the chunked x stage's
// seam merge does, then replays the y rule and the turn rule from the true state until the
// chunk's own walk agrees with them, and takes the chunk's turns from there on.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "annotation/fused_pass.hpp"
#include "annotation/parallel_collapse.hpp"
#include "annotation/records.hpp"

namespace vorlane {

// Where one x chunk's records stand in list A after the seam merge.
template <typename T>
struct KeptRecords {
    std::uint64_t offset = 0;  // index in A of the first record kept
    std::uint64_t fused = 0;   // leading records merged into the record before
    std::optional<FilteredPoint<T>> fixed_last;  // the last record, when it absorbed others
};

template <typename T>
struct JoinedWalks {
    TurningLists<T> lists;       // of the y rule run over all of A without a restart
    std::uint64_t a_records = 0;  // in A
    std::vector<KeptRecords<T>> kept;
};

// Empty when a seam needs more than the walks kept, or the y rule's state across a seam
// cannot be settled from them.
template <typename T>
std::optional<JoinedWalks<T>> join_x_chunk_walks(const CoordinateView<T>& x,
                                                 const CoordinateView<T>& y,
                                                 std::span<const SampleRange> ranges,
                                                 std::span<const XChunkWalk<T>> walks);

// Record `index` of list A, made again from the nearest checkpoint of its chunk.
template <typename T>
FilteredPoint<T> a_record_at(const CoordinateView<T>& x, const CoordinateView<T>& y,
                             std::span<const SampleRange> ranges,
                             std::span<const XChunkWalk<T>> walks, const JoinedWalks<T>& joined,
                             std::uint64_t index);

}  // namespace vorlane
