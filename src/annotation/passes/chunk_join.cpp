// The join of the x chunks' own walks. Each walk is exact from the point where its y rule
// and turn rule agree with the whole path's: that is where the true y rule, replayed over
// the chunk's first records of A (made again from the samples), opens a y run where the
// walk opened one, and then the first step after it that sets the direction by itself.
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

// Where the true y rule caught up with a chunk's walk: at record `index` of the walk's own
// B, or at the run the walk left open.
struct Agreement {
    bool at_open_run;
    std::uint64_t index;
};

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
bool take_walk_turns(TurnDetector<T>& detector, TurningListPair<T>& lists,
                     const XChunkWalk<T>& walk, std::uint64_t agreed_at) {
    const std::uint64_t offset = detector.count() - agreed_at;  // B index of the walk's first
    const std::optional<Replay> replay =
        replay_until_agreed(detector, walk.turns.head, agreed_at, walk.b_pushed);
    if (!replay) return false;
    if (replay->agreed && replay->next < walk.b_pushed) {
        record_chunk_turns(lists, walk.turns.events, replay->next - 1, walk.b_pushed, offset);
        detector.resume(walk.last_b, offset + walk.b_pushed, walk.prev);
    }
    return true;
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
    for (std::size_t i = 0; i < walks.size(); ++i) {
        const XChunkWalk<T>& walk = walks[i];
        const XChunkWalk<T>* before = i == 0 ? nullptr : &walks[i - 1];
        const std::optional<Agreement> agreement =
            catch_up(x, y, ranges[i], walk, before, settler, state);
        if (!agreement) return std::nullopt;
        const std::uint64_t first_start =
            settler.fused() != 0 ? settler.last()->end_index + 1 : ranges[i].start;
        joined.chunks.push_back({ranges[i], &walk.census,
                                 settler.place(walk.census.records, walk.census.last),
                                 first_start});
        if (!agreement->at_open_run &&
            !take_walk_turns(state.next(), joined.lists, walk, agreement->index)) {
            return std::nullopt;
        }
        state.adopt(walk.open_run, walk.open_run_end);
    }
    state.finish();
    joined.a_records = settler.total();
    // The fixed last records, which the settler knows only once the next chunk is placed.
    const std::vector<PlacedChunk<T>> placed = settler.finish();
    for (std::size_t i = 0; i < placed.size(); ++i) joined.chunks[i].placed = placed[i];
    return joined;
}

namespace {

// Record `index` of list A, made again from the nearest checkpoint of its chunk.
template <typename T>
FilteredPoint<T> a_record_at(const CoordinateView<T>& x, const CoordinateView<T>& y,
                             std::span<const PlacedXChunk<T>> chunks, std::uint64_t index) {
    const auto [i, record] = locate_a_record(chunks, index);
    const PlacedXChunk<T>& chunk = chunks[i];
    if (record + 1 == chunk.census->records) return chunk.last();
    FilteredPoint<T> found{};
    for_each_x_run(x, y, record_start(x, y, chunk.census->checkpoints, chunk.range.end, record),
                   chunk.range.end, [&found](const FilteredPoint<T>& r) {
                       found = r;
                       return false;
                   });
    return found;
}

}  // namespace

template <typename T>
bool y_runs_open_at_chunk_starts(const CoordinateView<T>& x, const CoordinateView<T>& y,
                                 std::span<const PlacedXChunk<T>> chunks,
                                 std::span<const SampleRange> y_chunks) {
    for (const SampleRange& chunk : y_chunks) {
        if (chunk.start == 0) continue;
        if (!opens_run(a_record_at(x, y, chunks, chunk.start - 1).y,
                       a_record_at(x, y, chunks, chunk.start).y)) {
            return false;
        }
    }
    return true;
}

template std::optional<JoinedWalks<float>> join_x_chunk_walks(const CoordinateView<float>&,
                                                              const CoordinateView<float>&,
                                                              std::span<const SampleRange>,
                                                              std::span<const XChunkWalk<float>>);
template std::optional<JoinedWalks<double>> join_x_chunk_walks(const CoordinateView<double>&,
                                                               const CoordinateView<double>&,
                                                               std::span<const SampleRange>,
                                                               std::span<const XChunkWalk<double>>);
template bool y_runs_open_at_chunk_starts(const CoordinateView<float>&,
                                          const CoordinateView<float>&,
                                          std::span<const PlacedXChunk<float>>,
                                          std::span<const SampleRange>);
template bool y_runs_open_at_chunk_starts(const CoordinateView<double>&,
                                          const CoordinateView<double>&,
                                          std::span<const PlacedXChunk<double>>,
                                          std::span<const SampleRange>);

}  // namespace vorlane
