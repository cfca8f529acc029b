// The chunked walk: each x chunk walks all three rules over its own samples on the pool and
// the join settles the seams, so the samples are read once.
#include "annotation/passes/chunked_pass.hpp"

#include <span>
#include <utility>
#include <vector>

#include "annotation/model/seam.hpp"
#include "annotation/passes/chunk_join.hpp"
#include "annotation/passes/chunk_walk.hpp"
#include "platform/pool.hpp"
#include "platform/test_hooks.hpp"

namespace vorlane {

namespace {

// Whether the y rule opens a run at the start of every y chunk of a list A of m records
// whatever came before, so that the chunks' restarts and seam merges change nothing.
template <typename T>
bool y_runs_open_at_chunk_starts(const CoordinateView<T>& x, const CoordinateView<T>& y,
                                 std::span<const PlacedXChunk<T>> chunks, std::uint64_t m,
                                 const ChunkPlan& plan) {
    for (const SampleRange& y_chunk : make_chunk_ranges(m, plan.y_threads)) {
        if (y_chunk.start != 0 &&
            !first_y_opening(x, y, chunks, y_chunk.start, y_chunk.start + 1)) {
            return false;
        }
    }
    return true;
}

}  // namespace

// One read of the samples: each x chunk walks all three rules on its own, and the join
// settles the seams. The y stage's chunks must then fall where the y rule opens a run anyway,
// for the walk's y rule ran across them; when one does not, the answer is empty.
template <typename T>
std::optional<TurningListPair<T>> chunked_turns_one_read(const CoordinateView<T>& x,
                                                         const CoordinateView<T>& y,
                                                         const ChunkPlan& plan) {
    const std::vector<SampleRange> ranges = x_ranges_for(x, plan);
    const std::vector<XChunkWalk<T>> walks =
        ordered_parallel_map<XChunkWalk<T>>(ranges, [&](SampleRange range) {
            inject_fault("pool_chunk");
            return walk_x_chunk(x, y, range.start, range.end, plan.head);
        });
    std::optional<JoinedWalks<T>> joined = join_x_chunk_walks<T>(x, y, ranges, walks);
    if (!joined) return std::nullopt;
    const std::uint64_t m = joined->a_records;
    if (plan.chunks_y(m) && !y_runs_open_at_chunk_starts<T>(x, y, joined->chunks, m, plan)) {
        return std::nullopt;
    }
    return std::move(joined->lists);
}

template <typename T>
std::optional<TurningListPair<T>> fused_turns_if_y_cuts_open(const CoordinateView<T>& x,
                                                             const CoordinateView<T>& y,
                                                             const ChunkPlan& plan) {
    NotedPass<T> pass = collapse_and_find_turning_points_noted(x, y);
    const std::uint64_t m = pass.census.records;
    if (!plan.chunks_y(m)) return std::move(pass.lists);
    const PlacedXChunk<T> whole{{0, x.count}, &pass.census, {}, 0};
    if (!y_runs_open_at_chunk_starts<T>(x, y, std::span(&whole, 1), m, plan)) return std::nullopt;
    return std::move(pass.lists);
}

template std::optional<TurningListPair<float>> fused_turns_if_y_cuts_open(
    const CoordinateView<float>&, const CoordinateView<float>&, const ChunkPlan&);
template std::optional<TurningListPair<double>> fused_turns_if_y_cuts_open(
    const CoordinateView<double>&, const CoordinateView<double>&, const ChunkPlan&);
template std::optional<TurningListPair<float>> chunked_turns_one_read(const CoordinateView<float>&,
                                                                      const CoordinateView<float>&,
                                                                      const ChunkPlan&);
template std::optional<TurningListPair<double>> chunked_turns_one_read(
    const CoordinateView<double>&, const CoordinateView<double>&, const ChunkPlan&);

}  // namespace vorlane
