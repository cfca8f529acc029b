// Walking a chunk of the path through the rules on a pool thread, as the fused pass walks the
// whole path, noting what the chunked passes need to settle its seams afterwards and to make
// any record of list A again from the samples.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "annotation/model/chunk_plan.hpp"
#include "annotation/model/records.hpp"
#include "annotation/model/run_rules.hpp"
#include "annotation/model/seam.hpp"
#include "annotation/model/turn_detector.hpp"

namespace vorlane {

// A run start noted on the way: record `record` of a chunk's list A begins at sample `start`.
struct Checkpoint {
    std::uint64_t record;
    std::uint64_t start;
};
inline constexpr std::uint64_t CHECKPOINT_EVERY = 1024;  // records between two checkpoints

// The first sample of record `record` of a chunk's own list A, found by running the x rule
// from the last checkpoint at or before it (checkpoints in ascending order, the first at
// record 0); `end` is the chunk's end.
template <typename T>
std::uint64_t record_start(const CoordinateView<T>& x, const CoordinateView<T>& y,
                           const std::vector<Checkpoint>& checkpoints, std::uint64_t end,
                           std::uint64_t record) {
    const auto after =
        std::upper_bound(checkpoints.begin(), checkpoints.end(), record,
                         [](std::uint64_t r, const Checkpoint& c) { return r < c.record; });
    const Checkpoint from = *(after - 1);
    std::uint64_t start = from.start;
    std::uint64_t seen = from.record;
    if (seen != record) {
        for_each_x_run(x, y, from.start, end, [&](const FilteredPoint<T>& r) {
            start = r.end_index + 1;
            return ++seen != record;
        });
    }
    return start;
}

// A chunk's records of list A as its own x rule makes them, counted: how many, where every so
// often one begins (the first at record 0), and the last.
template <typename T>
struct XCensus {
    std::uint64_t records = 0;
    std::vector<Checkpoint> checkpoints;
    FilteredPoint<T> last{};
};

// One x chunk after the seam merge: its census and where its records stand in list A, which
// is enough to make any record of A again from the samples.
template <typename T>
struct PlacedXChunk {
    SampleRange range;
    const XCensus<T>* census;
    PlacedChunk<T> placed;
    std::uint64_t first_start = 0;  // first sample of its first record kept

    std::uint64_t kept() const noexcept { return placed.kept(census->records); }
    // Its last record as it stands in A.
    FilteredPoint<T> last() const { return placed.fixed_last.value_or(census->last); }
};

// Where record `index` of list A lies: its chunk, and its index in that chunk's own list.
template <typename T>
std::pair<std::size_t, std::uint64_t> locate_a_record(std::span<const PlacedXChunk<T>> chunks,
                                                      std::uint64_t index) {
    std::size_t i = 0;
    while (chunks[i].kept() == 0 || index >= chunks[i].placed.offset + chunks[i].kept()) ++i;
    return {i, chunks[i].placed.fused + (index - chunks[i].placed.offset)};
}

// One chunk's share of list A's samples: a fresh x run opens at `start` and the run rule
// stops at `end`; the record that closes at end - 1 is `last_record` instead, when the seam
// merge of the chunked x stage changed it.
template <typename T>
struct ASegment {
    std::uint64_t start;
    std::uint64_t end;
    std::optional<FilteredPoint<T>> last_record;
};

// The segments that produce list A from record `first` on.
template <typename T>
std::vector<ASegment<T>> segments_from(const CoordinateView<T>& x, const CoordinateView<T>& y,
                                       std::span<const PlacedXChunk<T>> chunks,
                                       std::uint64_t first) {
    auto [i, record] = locate_a_record(chunks, first);
    const PlacedXChunk<T>& home = chunks[i];
    const std::uint64_t start =
        record_start(x, y, home.census->checkpoints, home.range.end, record);
    std::vector<ASegment<T>> segments;
    segments.push_back({start, home.range.end, home.placed.fixed_last});
    for (++i; i < chunks.size(); ++i) {
        if (chunks[i].kept() == 0) continue;
        segments.push_back(
            {chunks[i].first_start, chunks[i].range.end, chunks[i].placed.fixed_last});
    }
    return segments;
}

// Feeds sink(record) with the records of list A from record `first` on, made again from the
// samples, until it returns false or A ends.
template <typename T, typename Sink>
void for_each_a_record(const CoordinateView<T>& x, const CoordinateView<T>& y,
                       std::span<const PlacedXChunk<T>> chunks, std::uint64_t first, Sink&& sink) {
    for (const ASegment<T>& segment : segments_from(x, y, chunks, first)) {
        bool more = true;
        for_each_x_run(x, y, segment.start, segment.end, [&](const FilteredPoint<T>& r) {
            const bool closes_segment = r.end_index + 1 == segment.end;
            more = sink(closes_segment && segment.last_record ? *segment.last_record : r);
            return more;
        });
        if (!more) return;
    }
}

// The first record k in [from, limit) of list A (from >= 1) at which the y rule opens a run
// whatever came before.
template <typename T>
std::optional<std::uint64_t> first_y_opening(const CoordinateView<T>& x, const CoordinateView<T>& y,
                                             std::span<const PlacedXChunk<T>> chunks,
                                             std::uint64_t from, std::uint64_t limit) {
    std::optional<std::uint64_t> found;
    std::uint64_t k = from - 1;
    T before{};
    for_each_a_record(x, y, chunks, from - 1, [&](const FilteredPoint<T>& r) {
        if (k >= from && opens_run(before, r.y)) found = k;
        before = r.y;
        return !found && ++k < limit;
    });
    return found;
}

// Places an x chunk in list A once its leading records have been offered to the settler: its
// first record kept starts right after the record they fused into.
template <typename T>
void place_x_chunk(XSeamSettler<T>& settler, SampleRange range, const XCensus<T>& census,
                   std::vector<PlacedXChunk<T>>& chunks) {
    const std::uint64_t first_start =
        settler.fused() != 0 ? settler.last()->end_index + 1 : range.start;
    chunks.push_back({range, &census, settler.place(census.records, census.last), first_start});
}

// Gives the placed x chunks the last records that later chunks fused into, which the settler
// knows only once all are placed; returns the number of records of list A.
template <typename T>
std::uint64_t finish_x_chunks(XSeamSettler<T>& settler, std::vector<PlacedXChunk<T>>& chunks) {
    const std::uint64_t records = settler.total();
    const std::vector<PlacedChunk<T>> placed = settler.finish();
    for (std::size_t i = 0; i < chunks.size(); ++i) chunks[i].placed = placed[i];
    return records;
}

// Where a chunk's own walk of the y rule and the turn rule ended: its turn events (indices
// counted from its first record of its own list B) and first records of B, the y run still
// open at the end, and the turn rule's state after the records of B it was handed. The
// open run is the one record the seam may still change.
template <typename T>
struct ChunkWalk {
    TurnEvents<T> turns;
    YRun<T> open_run;  // not yet a record of B
    std::uint64_t open_run_end = 0;
    std::uint64_t b_pushed = 0;  // records of B handed to the turn rule
    FilteredPoint<T> last_b{};   // the last of them
    T prev{};                    // the turn rule's direction after it

    FilteredPoint<T> open_record() const noexcept { return open_run.close(open_run_end); }
};

// The y rule and the turn rule over the `budget` records of list A that the segments
// produce in order (a fresh y run at the first), keeping the first `head` records of B.
template <typename T>
ChunkWalk<T> walk_chunk(const CoordinateView<T>& x, const CoordinateView<T>& y,
                        std::span<const ASegment<T>> segments, std::uint64_t budget,
                        std::size_t head);

// The fused pass, noting on the way how list A's records can be made again.
template <typename T>
struct NotedPass {
    TurningListPair<T> lists;
    XCensus<T> census;
};

template <typename T>
NotedPass<T> collapse_and_find_turning_points_noted(const CoordinateView<T>& x,
                                                    const CoordinateView<T>& y);

// One x chunk's samples walked through all three rules on their own: its x rule restarts
// at its start, as the chunked x stage does, but its y rule starts there too, and its turn
// rule knows nothing of the path before. The join settles both at each seam.
template <typename T>
struct XChunkWalk : ChunkWalk<T> {
    XCensus<T> census;
};

template <typename T>
XChunkWalk<T> walk_x_chunk(const CoordinateView<T>& x, const CoordinateView<T>& y,
                           std::uint64_t start, std::uint64_t end, std::size_t head);

}  // namespace vorlane
