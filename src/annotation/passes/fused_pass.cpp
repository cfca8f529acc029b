// The fused sequential pass: the run rules and the turn rule fed one record at a time, with
// a shortcut over the long stretches of a raster line where nothing can happen.
#include "annotation/passes/fused_pass.hpp"

#include <algorithm>
#include <array>
#include <limits>

#include "annotation/model/run_rules.hpp"
#include "annotation/model/turn_detector.hpp"
#include "annotation/passes/chunk_walk.hpp"
#include "annotation/passes/quiet_stretch.hpp"

namespace vorlane {

namespace {

// The y rule handing each record of list B to the turn rule, which hands its turns to Sink.
template <typename T, typename Sink>
using YRunToTurns = YRunStream<T, TurnDetector<T, Sink>>;

template <typename T>
struct SegmentWalk {
    std::uint64_t handed;   // records of A handed on
    FilteredPoint<T> last;  // the last of them
};

// Walks one segment of list A's samples (a fresh x run opens at its start), handing the x
// runs to `downstream` and stopping once `budget` records have been handed on. Its state
// lives in locals whose addresses never escape, so that the per-sample loop keeps it in
// registers. The shortcut waits until the detector has seen `head` points, so that a chunk's
// first records all pass through it. With `checkpoints`, the first sample of a record is
// noted every CHECKPOINT_EVERY records, or at the first run opened after a stretch that
// passes that many. It stays one function, the skip a lambda over its locals, for that reason,
// and out of line: inlined into a caller with state of its own, its loop ran slower.
template <typename T, typename Sink>
[[gnu::noinline]] SegmentWalk<T> walk_segment(const CoordinateView<T>& x,
                                              const CoordinateView<T>& y,
                                              const ASegment<T>& segment, std::uint64_t budget,
                                              std::uint64_t head, YRunToTurns<T, Sink>& downstream,
                                              std::vector<Checkpoint>* checkpoints = nullptr) {
    const std::uint64_t end = segment.end;
    std::uint64_t handed = 0;
    std::uint64_t next_checkpoint = std::numeric_limits<std::uint64_t>::max();
    if (checkpoints != nullptr) {
        checkpoints->push_back({0, segment.start});
        next_checkpoint = CHECKPOINT_EVERY;
    }
    XRun<T> xrun;
    std::array<std::uint64_t, 3> run_starts{};  // newest first: open x run, the two before
    std::uint64_t known_starts = 1;             // the segment's first sample starts a run
    std::uint64_t obstacle = 0;
    T obstacle_sense = T(0);

    // At sample k, which ends the open x run: when the pipeline holds just the three latest
    // x runs as single records and a quiet stretch lies ahead, moves every stage to its state
    // at the stretch's last x change and returns that sample; otherwise returns k.
    const auto skip_from = [&](std::uint64_t k) -> std::uint64_t {
        // Near the end there is too little left to win back the scan's set-up.
        if (known_starts < 3 || end - k < SKIP_MIN_LEFT) return k;
        const auto [s0, s1, s2] = run_starts;
        const TurnDetector<T, Sink>& detector = downstream.next();
        if (!downstream.holds_only(s1, s0 - 1)) return k;
        if (detector.count() < std::max<std::uint64_t>(3, head) ||
            detector.last().start_index != s2 || detector.last().end_index != s1 - 1) {
            return k;
        }
        const T sense = sign_class(detector.prev());
        if (!(sense == T(1) || sense == T(-1))) return k;
        if (s2 < obstacle && sense == obstacle_sense) return k;

        // The skip hands on the runs from s0 to the third-last change, and the caller the
        // one after; the budget must cover them. (Checkpoints fall on the run opened after a
        // stretch: capping stretches to place them exactly costs more than it saves.)
        const Stretch stretch =
            scan_stretch(x, y, s2, end, budget - handed + 2, step_limits(sense, y.at(s2)));
        // A stretch ends at a step that is not quiet in this sense: every later attempt from
        // before it would stop there again.
        obstacle = stretch.end;
        obstacle_sense = sense;
        // s1, s0 and k are changes of the stretch; a few more make the skip worth its set-up.
        if (stretch.changes < 3 + 4) return k;
        const auto [c0, c1, c2, c3] = latest_changes(x, s2, stretch.end);
        downstream.restart(x_run_over(x, y, c2, c1).close(c1 - 1));
        downstream.next().skip(x_run_over(x, y, c3, c2).close(c2 - 1), stretch.changes - 3, sense);
        handed += stretch.changes - 3;
        xrun = x_run_over(x, y, c1, c0);
        run_starts = {c1, c2, c3};
        return c0;
    };

    xrun.open(segment.start, x.at(segment.start), y.at(segment.start));
    run_starts[0] = segment.start;
    for (std::uint64_t j = segment.start + 1; j < end; ++j) {
        const T xj = x.at(j);
        if (xrun.joins(xj)) {
            xrun.add(y.at(j));
            continue;
        }
        j = skip_from(j);
        const FilteredPoint<T> closed = xrun.close(j - 1);
        downstream.push(closed);
        if (++handed == budget) return {handed, closed};
        if (handed >= next_checkpoint) [[unlikely]] {
            // Never reached without a list (the next checkpoint is then beyond any count),
            // but a walk specialised for none cannot tell.
            if (checkpoints != nullptr) checkpoints->push_back({handed, j});
            next_checkpoint = handed + CHECKPOINT_EVERY;
        }
        run_starts = {j, run_starts[0], run_starts[1]};
        known_starts = std::min<std::uint64_t>(known_starts + 1, 3);
        xrun.open(j, x.at(j), y.at(j));
    }
    const FilteredPoint<T> last = segment.last_record ? *segment.last_record : xrun.close(end - 1);
    downstream.push(last);
    return {++handed, last};
}

}  // namespace

template <typename T>
TurningListPair<T> collapse_and_find_turning_points(const CoordinateView<T>& x,
                                                    const CoordinateView<T>& y) {
    TurningListPair<T> lists;
    YRunToTurns<T, TurningListPair<T>> downstream(lists);
    walk_segment(x, y, ASegment<T>{0, x.count, std::nullopt}, x.count, 0, downstream);
    downstream.finish();
    return lists;
}

template <typename T>
PagedList<TurningPoint<T>> collapse_and_order_turning_points(const CoordinateView<T>& x,
                                                             const CoordinateView<T>& y) {
    PathOrderedTurns<T> turns;
    YRunToTurns<T, PathOrderedTurns<T>> downstream(turns);
    walk_segment(x, y, ASegment<T>{0, x.count, std::nullopt}, x.count, 0, downstream);
    downstream.finish();
    return std::move(turns.ordered);
}

template <typename T>
NotedPass<T> collapse_and_find_turning_points_noted(const CoordinateView<T>& x,
                                                    const CoordinateView<T>& y) {
    NotedPass<T> pass;
    YRunToTurns<T, TurningListPair<T>> downstream(pass.lists);
    const SegmentWalk<T> walked = walk_segment(x, y, ASegment<T>{0, x.count, std::nullopt}, x.count,
                                               0, downstream, &pass.census.checkpoints);
    downstream.finish();
    pass.census.records = walked.handed;
    pass.census.last = walked.last;
    return pass;
}

template <typename T>
TurningListPair<T> collapse_y_and_find_turning_points(const FilteredList<T>& a) {
    TurningListPair<T> lists;
    YRunToTurns<T, TurningListPair<T>> downstream(lists);
    for (const FilteredPoint<T>& record : a) downstream.push(record);
    downstream.finish();
    return lists;
}

// The state a chunk's walk ends in, read off its downstream.
template <typename T>
void note_walk_end(const YRunToTurns<T, TurnEvents<T>>& downstream, ChunkWalk<T>& walk) {
    walk.open_run = downstream.open_run();
    walk.open_run_end = downstream.open_run_end();
    const TurnDetector<T, TurnEvents<T>>& detector = downstream.next();
    walk.b_pushed = detector.count();
    walk.last_b = detector.last();
    walk.prev = detector.prev();
}

template <typename T>
ChunkWalk<T> walk_chunk(const CoordinateView<T>& x, const CoordinateView<T>& y,
                        std::span<const ASegment<T>> segments, std::uint64_t budget,
                        std::size_t head) {
    ChunkWalk<T> chunk;
    chunk.turns.head_size = head;
    chunk.turns.head.reserve(head);
    YRunToTurns<T, TurnEvents<T>> downstream(chunk.turns);
    for (const ASegment<T>& segment : segments) {
        if (budget == 0) break;
        budget -= walk_segment(x, y, segment, budget, head, downstream).handed;
    }
    note_walk_end(downstream, chunk);
    return chunk;
}

template TurningListPair<float> collapse_and_find_turning_points(const CoordinateView<float>&,
                                                                 const CoordinateView<float>&);
template TurningListPair<double> collapse_and_find_turning_points(const CoordinateView<double>&,
                                                                  const CoordinateView<double>&);
template PagedList<TurningPoint<float>> collapse_and_order_turning_points(
    const CoordinateView<float>&, const CoordinateView<float>&);
template PagedList<TurningPoint<double>> collapse_and_order_turning_points(
    const CoordinateView<double>&, const CoordinateView<double>&);
template NotedPass<float> collapse_and_find_turning_points_noted(const CoordinateView<float>&,
                                                                 const CoordinateView<float>&);
template NotedPass<double> collapse_and_find_turning_points_noted(const CoordinateView<double>&,
                                                                  const CoordinateView<double>&);
template TurningListPair<float> collapse_y_and_find_turning_points(const FilteredList<float>&);
template TurningListPair<double> collapse_y_and_find_turning_points(const FilteredList<double>&);

template <typename T>
XChunkWalk<T> walk_x_chunk(const CoordinateView<T>& x, const CoordinateView<T>& y,
                           std::uint64_t start, std::uint64_t end, std::size_t head) {
    XChunkWalk<T> chunk;
    chunk.turns.head_size = head;
    chunk.turns.head.reserve(head);
    YRunToTurns<T, TurnEvents<T>> downstream(chunk.turns);
    const SegmentWalk<T> walked = walk_segment(x, y, ASegment<T>{start, end, std::nullopt}, end,
                                               head, downstream, &chunk.census.checkpoints);
    chunk.census.records = walked.handed;
    chunk.census.last = walked.last;
    note_walk_end(downstream, chunk);
    return chunk;
}

template ChunkWalk<float> walk_chunk(const CoordinateView<float>&, const CoordinateView<float>&,
                                     std::span<const ASegment<float>>, std::uint64_t, std::size_t);
template ChunkWalk<double> walk_chunk(const CoordinateView<double>&, const CoordinateView<double>&,
                                      std::span<const ASegment<double>>, std::uint64_t,
                                      std::size_t);

template XChunkWalk<float> walk_x_chunk(const CoordinateView<float>&, const CoordinateView<float>&,
                                        std::uint64_t, std::uint64_t, std::size_t);
template XChunkWalk<double> walk_x_chunk(const CoordinateView<double>&,
                                         const CoordinateView<double>&, std::uint64_t,
                                         std::uint64_t, std::size_t);

}  // namespace vorlane
