// The chunked pass in two reads of the samples: each x chunk first counts its records of
// list A on the pool (with a vectorised scan where x only keeps or leaves its value), the
// caller settles the x seams and locates the y chunks, ranges of A's record indices, in the
// samples; then each y chunk walks its records through the y rule and the turn rule on the
// pool, and the caller joins their turns: across each seam it fuses B's records as the seam
// merge does and replays the turn rule until the chunk's own walk agrees with it.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "annotation/model/run_rules.hpp"
#include "annotation/model/seam.hpp"
#include "annotation/passes/chunk_join.hpp"
#include "annotation/passes/chunk_walk.hpp"
#include "annotation/passes/chunked_pass.hpp"
#include "annotation/passes/plain_scan.hpp"
#include "platform/pool.hpp"
#include "platform/test_hooks.hpp"

namespace vorlane {

namespace {

constexpr std::uint64_t UNKNOWN = std::numeric_limits<std::uint64_t>::max();

// The x rule over [range.start, range.end), counting the runs instead of making them. Its
// state stays in locals that the per-sample loop keeps in registers, hence one function.
template <typename T>
XCensus<T> count_x_runs(const CoordinateView<T>& x, const CoordinateView<T>& y, SampleRange range) {
    XCensus<T> census;
    const std::uint64_t end = range.end;
    T run_x = x.at(range.start);
    std::uint64_t run_start = range.start;
    // A block that opened runs without saying where: the open run starts at its last change.
    std::uint64_t changed_block = UNKNOWN;
    std::uint64_t records = 1;
    std::uint64_t next_checkpoint = CHECKPOINT_EVERY;
    census.checkpoints.push_back({0, range.start});

    const auto open_run_start = [&]() {
        if (changed_block != UNKNOWN) {
            for (std::uint64_t q = changed_block + PLAIN_BLOCK - 1;; --q) {
                if (!(x.at(q) == x.at(q - 1))) {
                    run_start = q;
                    break;
                }
            }
            changed_block = UNKNOWN;
        }
        return run_start;
    };
    const auto note_checkpoint = [&]() {
        if (records - 1 >= next_checkpoint) {
            census.checkpoints.push_back({records - 1, open_run_start()});
            next_checkpoint = records - 1 + CHECKPOINT_EVERY;
        }
    };

    std::uint64_t scalar_until = range.start + 1;  // after a failed block, walk it first
    for (std::uint64_t j = range.start + 1; j < end;) {
        if (j >= scalar_until && end - j >= PLAIN_BLOCK && run_x == x.at(j - 1) &&
            std::fabs(run_x) <= std::numeric_limits<T>::max()) {
            std::uint64_t changes = 0;
            if (plain_block(x, j, changes)) {
                if (changes != 0) {
                    records += changes;
                    changed_block = j;
                    run_x = x.at(j + PLAIN_BLOCK - 1);
                    note_checkpoint();
                }
                j += PLAIN_BLOCK;
                continue;
            }
            scalar_until = j + PLAIN_BLOCK;
        }
        const T xj = x.at(j);
        if (!within_tolerance(xj, run_x)) {
            run_x = xj;
            run_start = j;
            changed_block = UNKNOWN;
            ++records;
            note_checkpoint();
        }
        ++j;
    }
    census.records = records;
    XRun<T> last;
    const std::uint64_t first = open_run_start();
    last.open(first, x.at(first), y.at(first));
    for (std::uint64_t q = first + 1; q < end; ++q) last.add(y.at(q));
    census.last = last.close(end - 1);
    return census;
}

// The x chunks placed by the seam merge of the x stage, settled by rerunning the run rule
// from each chunk's start while its records fuse into the last record kept before it.
template <typename T>
std::vector<PlacedXChunk<T>> place_x_chunks(const CoordinateView<T>& x, const CoordinateView<T>& y,
                                            const std::vector<SampleRange>& ranges,
                                            const std::vector<XCensus<T>>& censuses,
                                            std::uint64_t& total) {
    std::vector<PlacedXChunk<T>> chunks;
    XSeamSettler<T> settler;
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        if (settler.last()) {
            for_each_x_run(x, y, ranges[i].start, ranges[i].end,
                           [&settler](const FilteredPoint<T>& r) { return settler.fuse(r); });
        }
        place_x_chunk(settler, ranges[i], censuses[i], chunks);
    }
    total = finish_x_chunks(settler, chunks);
    return chunks;
}

}  // namespace

// Two reads of the samples: the x chunks count their records of A, the caller settles the x
// seams and places the y chunks exactly, and each y chunk walks its records of A.
template <typename T>
std::optional<TurningListPair<T>> chunked_turns_two_reads(const CoordinateView<T>& x,
                                                          const CoordinateView<T>& y,
                                                          const ChunkPlan& plan) {
    const std::vector<SampleRange> x_ranges = x_ranges_for(x, plan);
    const std::vector<XCensus<T>> censuses =
        ordered_parallel_map<XCensus<T>>(x_ranges, [&](SampleRange range) {
            inject_fault("pool_chunk");
            return count_x_runs(x, y, range);
        });
    std::uint64_t m = 0;
    const std::vector<PlacedXChunk<T>> x_chunks = place_x_chunks(x, y, x_ranges, censuses, m);

    const bool y_chunked = plan.chunks_y(m);
    const std::vector<SampleRange> y_ranges =
        y_chunked
            ? make_chunk_ranges(m, plan.y_threads)
            : split_at_run_starts(m, plan.y_threads, [&](std::uint64_t from, std::uint64_t limit) {
                  return first_y_opening<T>(x, y, x_chunks, from, limit);
              });
    std::vector<std::vector<ASegment<T>>> segments;
    segments.reserve(y_ranges.size());
    for (const SampleRange& range : y_ranges) {
        segments.push_back(segments_from<T>(x, y, x_chunks, range.start));
    }
    std::vector<std::optional<ChunkWalk<T>>> walked(y_ranges.size());
    pool_run(y_ranges.size(), [&](std::size_t i) {
        inject_fault("pool_chunk");
        walked[i].emplace(
            walk_chunk<T>(x, y, segments[i], y_ranges[i].end - y_ranges[i].start, plan.head));
    });
    std::vector<ChunkWalk<T>> chunks;
    chunks.reserve(walked.size());
    for (auto& chunk : walked) chunks.push_back(std::move(*chunk));
    return join_y_chunk_walks<T>(chunks);
}

template std::optional<TurningListPair<float>> chunked_turns_two_reads(const CoordinateView<float>&,
                                                                       const CoordinateView<float>&,
                                                                       const ChunkPlan&);
template std::optional<TurningListPair<double>> chunked_turns_two_reads(
    const CoordinateView<double>&, const CoordinateView<double>&, const ChunkPlan&);

}  // namespace vorlane
