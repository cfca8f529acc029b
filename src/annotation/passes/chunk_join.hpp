// Joins the walks of the x chunks, each made on its own by walk_x_chunk, into the turning
// points of the whole path: at each seam it fuses list A's records as the chunked x stage's
// seam merge does, then replays the y rule and the turn rule from the true state until the
// chunk's own walk agrees with them, and takes the chunk's turns from there on.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "annotation/model/chunk_plan.hpp"
#include "annotation/model/records.hpp"
#include "annotation/model/seam.hpp"
#include "annotation/passes/chunk_walk.hpp"

namespace vorlane {

template <typename T>
struct JoinedWalks {
    TurningListPair<T> lists;             // of the y rule run over all of A without a restart
    std::uint64_t a_records = 0;          // in A
    std::vector<PlacedXChunk<T>> chunks;  // the walks' censuses, placed
};

// Empty when a seam needs more than the walks kept, or the y rule's state across a seam
// cannot be settled from them.
template <typename T>
std::optional<JoinedWalks<T>> join_x_chunk_walks(const CoordinateView<T>& x,
                                                 const CoordinateView<T>& y,
                                                 std::span<const SampleRange> ranges,
                                                 std::span<const XChunkWalk<T>> walks);

// Whether the y rule opens a run at the start of every y chunk whatever came before, so
// that the chunks' restarts and seam merges change nothing.
template <typename T>
bool y_runs_open_at_chunk_starts(const CoordinateView<T>& x, const CoordinateView<T>& y,
                                 std::span<const PlacedXChunk<T>> chunks,
                                 std::span<const SampleRange> y_chunks);

}  // namespace vorlane
