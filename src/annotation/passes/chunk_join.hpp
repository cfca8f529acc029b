// Joins the chunks' own walks, made on the pool by either chunked pass, into the turning points
// of the whole path: at each seam it fuses the records that meet there as the seam merge does,
// replays the rules from the whole path's state until the chunk's own walk agrees with them,
// and takes the chunk's turns from there on.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "annotation/model/chunk_plan.hpp"
#include "annotation/model/records.hpp"
#include "annotation/passes/chunk_walk.hpp"

namespace vorlane {

template <typename T>
struct JoinedWalks {
    TurningListPair<T> lists;             // of the y rule run over all of A without a restart
    std::uint64_t a_records = 0;          // in A
    std::vector<PlacedXChunk<T>> chunks;  // the walks' censuses, placed
};

// The x chunks of the one-read pass, each walked through all three rules by walk_x_chunk: the
// seams fuse records of A, and the y rule is replayed over them from the true state. Empty when
// a seam needs more than the walks kept, or the y rule's state across a seam cannot be settled
// from them.
template <typename T>
std::optional<JoinedWalks<T>> join_x_chunk_walks(const CoordinateView<T>& x,
                                                 const CoordinateView<T>& y,
                                                 std::span<const SampleRange> ranges,
                                                 std::span<const XChunkWalk<T>> walks);

// The y chunks of count-then-walk, each walked by walk_chunk over its records of A: the seams
// fuse records of B. Empty when a seam needs more records than the walks kept.
template <typename T>
std::optional<TurningListPair<T>> join_y_chunk_walks(std::span<const ChunkWalk<T>> walks);

}  // namespace vorlane
