// The joins of the chunks' own walks. A walk is exact from the point where the rules it
// restarted agree with the whole path's: for an x chunk, where the true y rule, replayed over
// the chunk's first records of A (made again from the samples), opens a y run where the walk
// opened one; for a y chunk, at its first record of B that does not fuse across the seam; for
// both, then, from the first step after that which sets the direction by itself.
#include "annotation/passes/chunk_join.hpp"

#include <algorithm>

#include "annotation/model/run_rules.hpp"
#include "annotation/model/seam.hpp"
#include "annotation/model/turn_detector.hpp"

namespace vorlane {

namespace {

// The y rule and the turn rule over the whole path, as the join replays them.
template <typename T>
using TrueStream = YRunStream<T, TurnDetector<T>>;

// Where a chunk's walk agrees with the whole path's once its seam is settled: from record
// `index` of its own B on, or only at the y run it left open, so that none of its turns stand.
struct Agreement {
    bool at_open_run;
    std::uint64_t index;
};

// Where the true y rule, which has just opened a run at sample `start`, caught up with an x
// chunk's walk.
template <typename T>
std::optional<Agreement> agreement_at(const XChunkWalk<T>& walk, std::uint64_t start) {
    const FilteredList<T>& head = walk.turns.head;
    const auto found = std::lower_bound(
        head.begin(), head.end(), start,
        [](const FilteredPoint<T>& b, std::uint64_t s) { return b.start_index < s; });
    if (found != head.end() && found->start_index == start) {
        return Agreement{false, static_cast<std::uint64_t>(found - head.begin())};
    }
    if (walk.open_run.start() == start) return Agreement{true, 0};
    return std::nullopt;
}

// Replays the x seam merge and the true y rule over the chunk's first records of A until the
// y rule opens a run where the walk opened one. Empty when that comes too late: past the
// records the walk kept, or at its last record of A, which the next seam may still change.
template <typename T>
std::optional<Agreement> catch_up(const CoordinateView<T>& x, const CoordinateView<T>& y,
                                  SampleRange range, const XChunkWalk<T>& walk,
                                  const XChunkWalk<T>* before, XSeamSettler<T>& settler,
                                  TrueStream<T>& state) {
    const FilteredList<T>& head = walk.turns.head;
    // The walk's own y runs start no later than this; past it they cannot be matched.
    const std::uint64_t last_start = head.size() == walk.b_pushed
                                         ? walk.open_run.start()
                                         : (head.empty() ? 0 : head.back().start_index);
    std::uint64_t made = 0;
    bool failed = false;
    std::optional<Agreement> agreement;
    for_each_x_run(x, y, range.start, range.end, [&](const FilteredPoint<T>& r) {
        const std::uint64_t index = made++;
        if (settler.fuse(r)) return true;
        if (index + 1 == walk.census.records) {
            failed = true;
            return false;
        }
        if (index == settler.fused() && index != 0) {
            // The previous chunk's last record is final now and changed: the y rule must take
            // it again, which it can when it opened a run of its own.
            const FilteredPoint<T>& fixed = *settler.last();
            const TurnDetector<T>& detector = state.next();
            const bool alone =
                before->open_run.count() == 1 && before->open_run.start() == fixed.start_index;
            if (!alone || (detector.count() != 0 && within_tolerance(fixed.y, detector.last().y))) {
                failed = true;
                return false;
            }
            state.restart(fixed);
        }
        if (state.push(r)) {
            agreement = agreement_at(walk, r.start_index);
            if (agreement) return false;
        }
        failed = r.start_index >= last_start;
        return !failed;
    });
    if (failed) return std::nullopt;
    return agreement;
}

// From the walk's record `agreed_at` on, the turn rule is replayed until the walk's own
// agrees with it; the walk's turns stand from there. False when the walk kept too few records.
template <typename T>
bool take_walk_turns(TurnDetector<T>& detector, const ChunkWalk<T>& walk, std::uint64_t agreed_at) {
    const std::uint64_t offset = detector.count() - agreed_at;  // B index of the walk's first
    const std::optional<Replay> replay =
        replay_until_agreed(detector, walk.turns.head, agreed_at, walk.b_pushed);
    if (!replay) return false;
    // The walk's turns from vertex next - 1 on stand.
    if (replay->agreed && replay->next < walk.b_pushed) {
        record_chunk_turns(detector.sink(), walk.turns.events, replay->next - 1, walk.b_pushed,
                           offset);
        detector.resume(walk.last_b, offset + walk.b_pushed, walk.prev);
    }
    return true;
}

// The loop of both joins: settle(i) settles the seam before walk i and says where the walk
// agrees, its turns are taken from there, and carry_on(i) hands what the walk left open on to
// the next seam. False when a seam cannot be settled.
template <typename T, typename Walk, typename Settle, typename CarryOn>
bool join_walks(std::span<const Walk> walks, TurnDetector<T>& detector, const Settle& settle,
                const CarryOn& carry_on) {
    for (std::size_t i = 0; i < walks.size(); ++i) {
        const std::optional<Agreement> agreement = settle(i);
        if (!agreement) return false;
        if (!agreement->at_open_run && !take_walk_turns(detector, walks[i], agreement->index)) {
            return false;
        }
        carry_on(i);
    }
    return true;
}

// The y seam before a chunk of count-then-walk: the chunk's leading records of B fuse into
// B's latest record, which is final at the first that does not and goes to the turn rule
// then. The walk agrees from that record on; one whose records all fused has no turns to give.
template <typename T>
std::optional<Agreement> settle_y_seam(const ChunkWalk<T>& walk, YSeamSettler<T>& settler,
                                       TurnDetector<T>& detector) {
    const FilteredList<T>& head = walk.turns.head;
    const std::uint64_t records = walk.b_pushed + 1;  // the open run is the last
    const FilteredPoint<T> last = walk.open_record();
    std::uint64_t t = 0;
    if (settler.last()) {
        for (; t < records; ++t) {
            const bool open_run = t + 1 == records;
            if (!open_run && t >= head.size()) return std::nullopt;  // a record not kept
            if (!settler.fuse(open_run ? last : head[t])) break;
        }
        if (t != records) detector.push(*settler.last());
    }
    settler.place(records, last);
    return Agreement{t == records, t};
}

}  // namespace

template <typename T>
std::optional<JoinedWalks<T>> join_x_chunk_walks(const CoordinateView<T>& x,
                                                 const CoordinateView<T>& y,
                                                 std::span<const SampleRange> ranges,
                                                 std::span<const XChunkWalk<T>> walks) {
    JoinedWalks<T> joined;
    TrueStream<T> state(joined.lists);
    XSeamSettler<T> settler;
    const auto settle = [&](std::size_t i) {
        const XChunkWalk<T>* before = i == 0 ? nullptr : &walks[i - 1];
        const std::optional<Agreement> agreement =
            catch_up(x, y, ranges[i], walks[i], before, settler, state);
        if (agreement) place_x_chunk(settler, ranges[i], walks[i].census, joined.chunks);
        return agreement;
    };
    // The y run a walk left open is the true one too, once the walk agrees.
    const auto carry_on = [&](std::size_t i) {
        state.adopt(walks[i].open_run, walks[i].open_run_end);
    };
    if (!join_walks(walks, state.next(), settle, carry_on)) return std::nullopt;
    state.finish();
    joined.a_records = finish_x_chunks(settler, joined.chunks);
    return joined;
}

template <typename T>
std::optional<TurningListPair<T>> join_y_chunk_walks(std::span<const ChunkWalk<T>> walks) {
    TurningListPair<T> lists;
    TurnDetector<T> detector(lists);
    YSeamSettler<T> settler;  // its last record is B's latest, which may still absorb
    const auto settle = [&](std::size_t i) { return settle_y_seam(walks[i], settler, detector); };
    // A walk's open y run is its last record of B, which the settler holds already.
    if (!join_walks(walks, detector, settle, [](std::size_t) {})) return std::nullopt;
    if (settler.last()) detector.push(*settler.last());
    return lists;
}

template std::optional<JoinedWalks<float>> join_x_chunk_walks(const CoordinateView<float>&,
                                                              const CoordinateView<float>&,
                                                              std::span<const SampleRange>,
                                                              std::span<const XChunkWalk<float>>);
template std::optional<JoinedWalks<double>> join_x_chunk_walks(const CoordinateView<double>&,
                                                               const CoordinateView<double>&,
                                                               std::span<const SampleRange>,
                                                               std::span<const XChunkWalk<double>>);
template std::optional<TurningListPair<float>> join_y_chunk_walks(
    std::span<const ChunkWalk<float>>);
template std::optional<TurningListPair<double>> join_y_chunk_walks(
    std::span<const ChunkWalk<double>>);

}  // namespace vorlane
