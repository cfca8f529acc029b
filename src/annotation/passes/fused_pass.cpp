// The fused sequential pass: the run rules and the turn rule fed one record at a time, with
// a shortcut over the long stretches of a raster line where nothing can happen.
#include "annotation/passes/fused_pass.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <type_traits>

#include "annotation/passes/lanes.hpp"
#include "annotation/model/run_rules.hpp"
#include "annotation/model/turn_detector.hpp"

namespace vorlane {

namespace {

// Receives list A record by record and passes each finished y run to the turn detector.
template <typename T, typename Sink>
class YRunToTurns {
public:
    explicit YRunToTurns(Sink& sink) noexcept : detector_(sink) {}

    void push(const FilteredPoint<T>& a) {
        if (!open_) {
            run_.open(a);
            open_ = true;
        } else if (run_.joins(a.y)) {
            run_.add(a.x);
        } else {
            detector_.push(run_.close(last_end_));
            run_.open(a);
        }
        last_end_ = a.end_index;
    }

    void finish() {
        if (open_) detector_.push(run_.close(last_end_));
        open_ = false;
    }

    // True when the open y run is the single record covering samples [start, end].
    bool holds_only(std::uint64_t start, std::uint64_t end) const noexcept {
        return open_ && run_.count() == 1 && run_.start() == start && last_end_ == end;
    }

    // Restarts the y run at record `a`, the detector as TurnDetector::skip says.
    void skip(const FilteredPoint<T>& a, const FilteredPoint<T>& last, std::uint64_t pushed,
              T prev_class) noexcept {
        run_.open(a);
        open_ = true;
        last_end_ = a.end_index;
        detector_.skip(last, pushed, prev_class);
    }

    const TurnDetector<T, Sink>& detector() const noexcept { return detector_; }

    // The open y run as a record, not yet handed to the detector, and as a run.
    FilteredPoint<T> open_record() const noexcept { return run_.close(last_end_); }
    const YRun<T>& open_run() const noexcept { return run_; }
    std::uint64_t open_run_end() const noexcept { return last_end_; }

private:
    YRun<T> run_;
    TurnDetector<T, Sink> detector_;
    std::uint64_t last_end_ = 0;
    bool open_ = false;
};

// A stretch of samples [start, end) over which the pipeline provably records no turn and
// merges no y run: x stays exactly equal or moves by at least the tolerance, y moves
// strictly in one sense at every sample by a margin that survives the rounding of the run
// means, and no x run is longer than RUN_BOUND. Over such a stretch only the pipeline's
// final state matters, and it depends on the last few x runs alone.
struct Stretch {
    std::uint64_t end = 0;      // first sample after the stretch
    std::uint64_t changes = 0;  // samples in (start, end) where x changes
};

template <typename T>
constexpr T COORDINATE_CAP = std::numeric_limits<T>::max() / T(1e6);  // sums cannot overflow

// Samples scanned per block; every block must hold an x change, so no x run in a stretch
// is longer than two blocks.
constexpr std::uint64_t SCAN_BLOCK = 64;
constexpr std::uint64_t RUN_BOUND = 2 * SCAN_BLOCK;
constexpr std::uint64_t STRETCH_CAP = std::uint64_t(1) << 16;

template <typename T>
struct StepLimits {
    T sense;          // +1 or -1
    T largest_y;      // bound on |y|
    T smallest_step;  // of y, in the sense
};

// The smallest y step that beats the worst rounding of two neighbouring run means: a sum of
// L terms in T is off by at most about L u max|y| and the division adds u max|y|; on top,
// room for the tolerance. L <= RUN_BOUND.
template <typename T>
StepLimits<T> step_limits(T sense, T y_start) {
    const T largest_y = T(2) * std::fabs(y_start) + T(1);
    const T unit_roundoff = collapse_tolerance<T> / T(2);
    const T mean_error = T(1.1) * T(RUN_BOUND) * unit_roundoff * largest_y;
    return {sense, largest_y, T(2) * mean_error + T(4) * collapse_tolerance<T>};
}

template <typename T>
inline bool quiet_step(T x_prev, T x_next, T y_prev, T y_next, const StepLimits<T>& limits,
                       bool& same) noexcept {
    same = x_next == x_prev;
    const bool moved = std::fabs(x_next - x_prev) >= collapse_tolerance<T>;
    const bool bounded =
        std::fabs(x_next) <= COORDINATE_CAP<T> && std::fabs(y_next) <= limits.largest_y;
    const bool stepped = limits.sense * (y_next - y_prev) >= limits.smallest_step;
    return (same || moved) && bounded && stepped;
}

// One block of SCAN_BLOCK steps starting at sample q - 1 checked without branches; the x
// changes are counted into `changes`.
template <typename T>
[[gnu::always_inline]] inline bool quiet_block_lanes(
    const CoordinateView<T>& x, const CoordinateView<T>& y, std::uint64_t q,
    const StepLimits<T>& limits, std::uint64_t& changes) noexcept {
    constexpr std::size_t LANES = sizeof(Lanes<T>) / sizeof(T);
    static_assert(SCAN_BLOCK % LANES == 0);
    const auto* xb = static_cast<const unsigned char*>(x.data) + (q - 1) * sizeof(T);
    const auto* yb = static_cast<const unsigned char*>(y.data) + (q - 1) * sizeof(T);
    // |v| lane by lane is v without its sign bit.
    const LaneMask<T> magnitude = LaneMask<T>{} + LANE_MAGNITUDE<T>;
    LaneMask<T> loud{};
    LaneMask<T> moves{};
    for (std::size_t i = 0; i < SCAN_BLOCK; i += LANES) {
        Lanes<T> x0, x1, y0, y1;  // loaded by copy: any alignment
        std::memcpy(&x0, xb + i * sizeof(T), sizeof(x0));
        std::memcpy(&x1, xb + (i + 1) * sizeof(T), sizeof(x1));
        std::memcpy(&y0, yb + i * sizeof(T), sizeof(y0));
        std::memcpy(&y1, yb + (i + 1) * sizeof(T), sizeof(y1));
        const Lanes<T> dx = x1 - x0;
        const Lanes<T> abs_dx = (Lanes<T>)((LaneMask<T>)dx & magnitude);
        const Lanes<T> abs_x1 = (Lanes<T>)((LaneMask<T>)x1 & magnitude);
        const Lanes<T> abs_y1 = (Lanes<T>)((LaneMask<T>)y1 & magnitude);
        const LaneMask<T> same = x1 == x0;
        const LaneMask<T> moved = abs_dx >= collapse_tolerance<T>;
        const LaneMask<T> bounded = (abs_x1 <= COORDINATE_CAP<T>) & (abs_y1 <= limits.largest_y);
        const LaneMask<T> stepped = limits.sense * (y1 - y0) >= limits.smallest_step;
        loud |= ~((same | moved) & bounded & stepped);
        moves += ~same & 1;
    }
    bool quiet = true;
    changes = 0;
    for (std::size_t lane = 0; lane < LANES; ++lane) {
        quiet = quiet && loud[lane] == 0;
        changes += static_cast<std::uint64_t>(moves[lane]);
    }
    return quiet;
}

// Built for AVX2 as well, chosen at load time when the CPU has it.
[[gnu::target_clones("avx2", "default")]] bool quiet_block(
    const CoordinateView<float>& x, const CoordinateView<float>& y, std::uint64_t q,
    const StepLimits<float>& limits, std::uint64_t& changes) noexcept {
    return quiet_block_lanes(x, y, q, limits, changes);
}
[[gnu::target_clones("avx2", "default")]] bool quiet_block(
    const CoordinateView<double>& x, const CoordinateView<double>& y, std::uint64_t q,
    const StepLimits<double>& limits, std::uint64_t& changes) noexcept {
    return quiet_block_lanes(x, y, q, limits, changes);
}

// The quiet stretch from `start`, ending by `end` and holding at most `max_changes` x
// changes: whole blocks are checked without branches (the compiler vectorises this), the
// block that fails is walked to its first bad step.
template <typename T>
[[gnu::noinline]] Stretch scan_stretch(const CoordinateView<T>& x, const CoordinateView<T>& y,
                                       std::uint64_t start, std::uint64_t end,
                                       std::uint64_t max_changes, const StepLimits<T>& limits) {
    Stretch s{start + 1, 0};
    // The margin is derived from the first y, so it must be a finite number of sane size.
    if (!(std::fabs(x.at(start)) <= COORDINATE_CAP<T> &&
          std::fabs(y.at(start)) <= COORDINATE_CAP<T>)) {
        return s;
    }
    const std::uint64_t limit = std::min(end, start + STRETCH_CAP);
    std::uint64_t q = start + 1;
    std::uint64_t since_change = 0;
    // One step at a time up to `until`: false at the first bad step or at an x run that
    // grows too long, leaving q there.
    const auto walk = [&](std::uint64_t until) {
        for (; q < until; ++q) {
            bool same;
            if (!quiet_step(x.at(q - 1), x.at(q), y.at(q - 1), y.at(q), limits, same)) return false;
            if (!same) {
                if (s.changes == max_changes) return false;
                ++s.changes;
                since_change = 0;
            } else if (++since_change >= SCAN_BLOCK) {
                return false;
            }
        }
        return true;
    };
    // Most stretches are short, so the first block is walked: a failed attempt then costs
    // no more than the stretch it found.
    if (walk(std::min(limit, q + SCAN_BLOCK))) {
        while (q + SCAN_BLOCK <= limit) {
            std::uint64_t changes = 0;
            const bool quiet = quiet_block(x, y, q, limits, changes);
            if (!quiet || changes == 0 || s.changes + changes > max_changes) break;
            // The runs that end in this block are bounded by the change it holds; the
            // count of samples since the last change restarts within two blocks.
            s.changes += changes;
            since_change = 0;
            q += SCAN_BLOCK;
        }
        walk(limit);
    }
    s.end = q;
    return s;
}

// The latest `count` samples before `end` (and after `start`) where x changes, newest first.
template <typename T>
std::array<std::uint64_t, 4> latest_changes(const CoordinateView<T>& x, std::uint64_t start,
                                            std::uint64_t end) {
    std::array<std::uint64_t, 4> found{};
    std::size_t count = 0;
    for (std::uint64_t q = end - 1; q > start && count < found.size(); --q) {
        if (!(x.at(q) == x.at(q - 1))) found[count++] = q;
    }
    return found;
}

// The x run [first, end) as its list-A record; its samples are known to share one x.
template <typename T>
XRun<T> x_run_over(const CoordinateView<T>& x, const CoordinateView<T>& y, std::uint64_t first,
                   std::uint64_t end) noexcept {
    XRun<T> run;
    run.open(first, x.at(first), y.at(first));
    for (std::uint64_t q = first + 1; q < end; ++q) run.add(y.at(q));
    return run;
}

template <typename T>
struct SegmentWalk {
    std::uint64_t handed;     // records of A handed on
    FilteredPoint<T> last;  // the last of them
};

// Walks one segment of list A's samples (a fresh x run opens at its start), handing the x
// runs to `downstream` and stopping once `budget` records have been handed on. Its state
// lives in locals whose addresses never escape, so that the per-sample loop keeps it in
// registers. The shortcut waits until the detector has seen `head` points, so that a chunk's
// first records all pass through it. With `checkpoints`, the first sample of a record is
// noted every CHECKPOINT_EVERY records, or at the first run opened after a stretch that
// passes that many.
template <typename T, typename Sink>
SegmentWalk<T> walk_segment(const CoordinateView<T>& x, const CoordinateView<T>& y,
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
        // Near the end there is too little left to win back the scan.
        if (known_starts < 3 || end - k < 4 * SCAN_BLOCK) return k;
        const auto [s0, s1, s2] = run_starts;
        const TurnDetector<T, Sink>& detector = downstream.detector();
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
        const Stretch stretch = scan_stretch(x, y, s2, end, budget - handed + 2,
                                             step_limits(sense, y.at(s2)));
        // A stretch ends at a step that is not quiet in this sense: every later attempt from
        // before it would stop there again.
        obstacle = stretch.end;
        obstacle_sense = sense;
        // s1, s0 and k are changes of the stretch; a few more make the skip worth its set-up.
        if (stretch.changes < 3 + 4) return k;
        const auto [c0, c1, c2, c3] = latest_changes(x, s2, stretch.end);
        downstream.skip(x_run_over(x, y, c2, c1).close(c1 - 1),
                        x_run_over(x, y, c3, c2).close(c2 - 1), stretch.changes - 3, sense);
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
            checkpoints->push_back({handed, j});
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
TurningLists<T> collapse_and_find_turning_points(const CoordinateView<T>& x,
                                                 const CoordinateView<T>& y) {
    TurningLists<T> lists;
    YRunToTurns<T, TurningLists<T>> downstream(lists);
    walk_segment(x, y, ASegment<T>{0, x.count, std::nullopt}, x.count, 0, downstream);
    downstream.finish();
    return lists;
}

template <typename T>
NotedPass<T> collapse_and_find_turning_points_noted(const CoordinateView<T>& x,
                                                    const CoordinateView<T>& y) {
    NotedPass<T> pass;
    YRunToTurns<T, TurningLists<T>> downstream(pass.lists);
    const SegmentWalk<T> walked = walk_segment(x, y, ASegment<T>{0, x.count, std::nullopt},
                                               x.count, 0, downstream, &pass.checkpoints);
    downstream.finish();
    pass.a_records = walked.handed;
    pass.last_a = walked.last;
    return pass;
}

template <typename T>
TurningLists<T> collapse_y_and_find_turning_points(const FilteredList<T>& a) {
    TurningLists<T> lists;
    YRunToTurns<T, TurningLists<T>> downstream(lists);
    for (const FilteredPoint<T>& record : a) downstream.push(record);
    downstream.finish();
    return lists;
}

// The state a chunk's walk ends in, read off its downstream.
template <typename T>
void note_walk_end(const YRunToTurns<T, TurnEvents<T>>& downstream, ChunkWalk<T>& walk) {
    walk.open_run = downstream.open_run();
    walk.open_run_end = downstream.open_run_end();
    const TurnDetector<T, TurnEvents<T>>& detector = downstream.detector();
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

template TurningLists<float> collapse_and_find_turning_points(const CoordinateView<float>&,
                                                              const CoordinateView<float>&);
template TurningLists<double> collapse_and_find_turning_points(const CoordinateView<double>&,
                                                               const CoordinateView<double>&);
template NotedPass<float> collapse_and_find_turning_points_noted(const CoordinateView<float>&,
                                                                const CoordinateView<float>&);
template NotedPass<double> collapse_and_find_turning_points_noted(const CoordinateView<double>&,
                                                                  const CoordinateView<double>&);
template TurningLists<float> collapse_y_and_find_turning_points(const FilteredList<float>&);
template TurningLists<double> collapse_y_and_find_turning_points(const FilteredList<double>&);

template <typename T>
XChunkWalk<T> walk_x_chunk(const CoordinateView<T>& x, const CoordinateView<T>& y,
                           std::uint64_t start, std::uint64_t end, std::size_t head) {
    XChunkWalk<T> chunk;
    chunk.turns.head_size = head;
    chunk.turns.head.reserve(head);
    YRunToTurns<T, TurnEvents<T>> downstream(chunk.turns);
    const SegmentWalk<T> walked = walk_segment(x, y, ASegment<T>{start, end, std::nullopt}, end,
                                               head, downstream, &chunk.checkpoints);
    chunk.a_records = walked.handed;
    chunk.last_a = walked.last;
    note_walk_end(downstream, chunk);
    return chunk;
}

template ChunkWalk<float> walk_chunk(const CoordinateView<float>&, const CoordinateView<float>&,
                                      std::span<const ASegment<float>>, std::uint64_t,
                                      std::size_t);
template ChunkWalk<double> walk_chunk(const CoordinateView<double>&,
                                       const CoordinateView<double>&,
                                       std::span<const ASegment<double>>, std::uint64_t,
                                       std::size_t);

template XChunkWalk<float> walk_x_chunk(const CoordinateView<float>&,
                                        const CoordinateView<float>&, std::uint64_t,
                                        std::uint64_t, std::size_t);
template XChunkWalk<double> walk_x_chunk(const CoordinateView<double>&,
                                         const CoordinateView<double>&, std::uint64_t,
                                         std::uint64_t, std::size_t);

}  // namespace vorlane
