// The chunked stages walked one chunk per pool thread. Usually each x chunk walks all three
// rules over its own samples and the join settles the seams, so the samples are read once;
// where a seam cannot be settled so, the two-read form (count_then_walk.cpp) answers.
#include "annotation/passes/chunked_pass.hpp"

#include <span>
#include <utility>
#include <vector>

#include "annotation/passes/chunk_cuts.hpp"
#include "annotation/passes/chunk_join.hpp"
#include "annotation/passes/fused_pass.hpp"
#include "platform/pool.hpp"
#include "platform/test_hooks.hpp"

namespace vorlane {

// One read of the samples: each x chunk walks all three rules on its own, and the join
// settles the seams. The y stage's chunks must then fall where the y rule opens a run anyway,
// for the walk's y rule ran across them; when one does not, the answer is empty.
template <typename T>
std::optional<TurningLists<T>> chunked_turns_one_read(const CoordinateView<T>& x,
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
    if (plan.y_threads >= 2 && m >= plan.y_min_records) {
        const std::vector<ChunkRecords<T>> chunks = chunk_records<T>(ranges, walks, *joined);
        if (!y_runs_open_at_chunk_starts<T>(x, y, chunks, make_chunk_ranges(m, plan.y_threads))) {
            return std::nullopt;
        }
    }
    return std::move(joined->lists);
}

template <typename T>
std::optional<TurningLists<T>> chunked_collapse_and_find_turning_points(
    const CoordinateView<T>& x, const CoordinateView<T>& y, const ChunkPlan& plan) {
    if (plan.x_threads >= 2 && x.count >= plan.x_min_samples) {
        if (auto lists = chunked_turns_one_read(x, y, plan)) return lists;
    } else {
        // A sequential x stage: the fused pass on this thread is the answer when the y stage
        // is sequential too, or when its chunks fall where the y rule opens a run anyway.
        NotedPass<T> pass = collapse_and_find_turning_points_noted(x, y);
        if (!(plan.y_threads >= 2 && pass.a_records >= plan.y_min_records)) {
            return std::move(pass.lists);
        }
        const ChunkRecords<T> whole{{0, x.count}, &pass.checkpoints, pass.a_records, pass.last_a,
                                    0, 0};
        if (y_runs_open_at_chunk_starts<T>(x, y, std::span(&whole, 1),
                                           make_chunk_ranges(pass.a_records, plan.y_threads))) {
            return std::move(pass.lists);
        }
    }
    return chunked_turns_two_reads(x, y, plan);
}

template std::optional<TurningLists<float>> chunked_collapse_and_find_turning_points(
    const CoordinateView<float>&, const CoordinateView<float>&, const ChunkPlan&);
template std::optional<TurningLists<double>> chunked_collapse_and_find_turning_points(
    const CoordinateView<double>&, const CoordinateView<double>&, const ChunkPlan&);
template std::optional<TurningLists<float>> chunked_turns_one_read(const CoordinateView<float>&,
                                                                 const CoordinateView<float>&,
                                                                 const ChunkPlan&);
template std::optional<TurningLists<double>> chunked_turns_one_read(
    const CoordinateView<double>&, const CoordinateView<double>&, const ChunkPlan&);

}  // namespace vorlane
