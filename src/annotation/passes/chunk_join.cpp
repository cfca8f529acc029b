// The join of the x chunks' own walks. Each walk is exact from the point where its y rule
// and turn rule agree with the whole path's: that is where the true y rule, replayed over
// the chunk's first records of A (made again from the samples), opens a y run where the
// walk opened one, and then the first step after it that sets the direction by itself.
#include "annotation/passes/chunk_join.hpp"

#include <algorithm>

#include "annotation/model/run_rules.hpp"
#include "annotation/model/turn_detector.hpp"

namespace vorlane {

namespace {

// Where the true y rule caught up with a chunk's walk.
enum class Agreement { none, at_head_record, at_open_run };

// The true y rule's open run, the detector behind it, and the chunk's records of A being
// replayed into them.
template <typename T>
struct TrueState {
    explicit TrueState(TurningLists<T>& lists) : detector(lists) {}

    TurnDetector<T> detector;
    YRun<T> run;
    std::uint64_t run_end = 0;
    bool run_open = false;

    // Feeds one record of A; true when it opened a y run.
    bool push(const FilteredPoint<T>& a) {
        if (run_open && run.joins(a.y)) {
            run.add(a.x);
            run_end = a.end_index;
            return false;
        }
        if (run_open) detector.push(run.close(run_end));
        run.open(a);
        run_end = a.end_index;
        run_open = true;
        return true;
    }
};

}  // namespace

template <typename T>
std::optional<JoinedWalks<T>> join_x_chunk_walks(const CoordinateView<T>& x,
                                                 const CoordinateView<T>& y,
                                                 std::span<const SampleRange> ranges,
                                                 std::span<const XChunkWalk<T>> walks) {
    JoinedWalks<T> joined;
    joined.kept.resize(walks.size());
    TrueState<T> state(joined.lists);
    // The previous chunk's last record of A, which the next chunk's first records may still
    // fuse into, and the y run that holds it.
    std::optional<FilteredPoint<T>> pending;
    for (std::size_t i = 0; i < walks.size(); ++i) {
        const XChunkWalk<T>& walk = walks[i];
        const FilteredList<T>& head = walk.turns.head;
        const auto opens_at = [&](std::uint64_t start) -> std::pair<Agreement, std::uint64_t> {
            const auto found = std::lower_bound(
                head.begin(), head.end(), start,
                [](const FilteredPoint<T>& b, std::uint64_t s) { return b.start_index < s; });
            if (found != head.end() && found->start_index == start) {
                return {Agreement::at_head_record, static_cast<std::uint64_t>(found - head.begin())};
            }
            if (walk.open_run.start() == start) return {Agreement::at_open_run, 0};
            return {Agreement::none, 0};
        };

        // The walk's own y runs start no later than this; past it they cannot be matched.
        const std::uint64_t last_start =
            head.size() == walk.b_pushed ? walk.open_run.start()
                                         : (head.empty() ? 0 : head.back().start_index);
        std::uint64_t made = 0;
        std::uint64_t fused = 0;
        std::optional<FilteredPoint<T>> fixed;  // the previous chunk's last record, if it changed
        bool failed = false;
        Agreement agreement = Agreement::none;
        std::uint64_t agreed_at = 0;  // index in the walk's own B
        for_each_x_run(x, y, ranges[i].start, ranges[i].end, [&](const FilteredPoint<T>& r) {
            const std::uint64_t index = made++;
            if (index == fused && pending && within_tolerance(r.x, pending->x)) {
                fuse_by_samples<T, &FilteredPoint<T>::y>(*pending, r);
                ++fused;
                return true;
            }
            // The chunk's last record may still change at the next seam: the rules must
            // agree before it.
            if (index + 1 == walk.a_records) {
                failed = true;
                return false;
            }
            if (index == fused && pending) {
                // The previous chunk's last record is final now; if it changed, the y rule
                // must take it again, which it can when it opened a run of its own.
                if (fused != 0) {
                    const XChunkWalk<T>& before = walks[i - 1];
                    const bool alone = before.open_run.count() == 1 &&
                                       before.open_run.start() == pending->start_index;
                    if (!alone || (state.detector.count() != 0 &&
                                   within_tolerance(pending->y, state.detector.last().y))) {
                        failed = true;
                        return false;
                    }
                    state.run.open(*pending);
                    state.run_end = pending->end_index;
                    fixed = pending;
                }
                pending.reset();
            }
            if (state.push(r)) {
                std::tie(agreement, agreed_at) = opens_at(r.start_index);
                if (agreement != Agreement::none) return false;
            }
            failed = r.start_index >= last_start;
            return !failed;
        });
        if (failed || agreement == Agreement::none) return std::nullopt;
        if (fixed) joined.kept[i - 1].fixed_last = fixed;
        joined.kept[i] = {joined.a_records, fused, std::nullopt};
        joined.a_records += walk.a_records - fused;

        if (agreement == Agreement::at_head_record) {
            TurnDetector<T>& detector = state.detector;
            const std::uint64_t offset = detector.count() - agreed_at;  // B index of the walk's first
            const std::optional<Replay> replay =
                replay_until_agreed(detector, head, agreed_at, walk.b_pushed);
            if (!replay) return std::nullopt;
            if (replay->agreed && replay->next < walk.b_pushed) {
                record_chunk_turns(joined.lists, walk.turns.events, replay->next - 1,
                                   walk.b_pushed, offset);
                detector.resume(walk.last_b, offset + walk.b_pushed, walk.prev);
            }
        }
        state.run = walk.open_run;
        state.run_end = walk.open_run_end;
        state.run_open = true;
        pending = walk.last_a;
    }
    if (state.run_open) state.detector.push(state.run.close(state.run_end));
    return joined;
}

template <typename T>
std::vector<ChunkRecords<T>> chunk_records(std::span<const SampleRange> ranges,
                                           std::span<const XChunkWalk<T>> walks,
                                           const JoinedWalks<T>& joined) {
    std::vector<ChunkRecords<T>> chunks;
    for (std::size_t i = 0; i < walks.size(); ++i) {
        chunks.push_back({ranges[i], &walks[i].checkpoints, walks[i].a_records,
                          joined.kept[i].fixed_last.value_or(walks[i].last_a),
                          joined.kept[i].offset, joined.kept[i].fused});
    }
    return chunks;
}

namespace {

// Record `index` of list A, made again from the nearest checkpoint of its chunk.
template <typename T>
FilteredPoint<T> a_record_at(const CoordinateView<T>& x, const CoordinateView<T>& y,
                             std::span<const ChunkRecords<T>> chunks, std::uint64_t index) {
    std::size_t i = 0;
    while (index >= chunks[i].offset + (chunks[i].a_records - chunks[i].fused)) ++i;
    const ChunkRecords<T>& chunk = chunks[i];
    const std::uint64_t record = chunk.fused + (index - chunk.offset);
    if (record + 1 == chunk.a_records) return chunk.last;
    FilteredPoint<T> found{};
    for_each_x_run(x, y, record_start(x, y, *chunk.checkpoints, chunk.range.end, record),
                   chunk.range.end, [&found](const FilteredPoint<T>& r) {
                       found = r;
                       return false;
                   });
    return found;
}

}  // namespace

template <typename T>
bool y_runs_open_at_chunk_starts(const CoordinateView<T>& x, const CoordinateView<T>& y,
                                 std::span<const ChunkRecords<T>> chunks,
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

template std::optional<JoinedWalks<float>> join_x_chunk_walks(
    const CoordinateView<float>&, const CoordinateView<float>&, std::span<const SampleRange>,
    std::span<const XChunkWalk<float>>);
template std::optional<JoinedWalks<double>> join_x_chunk_walks(
    const CoordinateView<double>&, const CoordinateView<double>&, std::span<const SampleRange>,
    std::span<const XChunkWalk<double>>);
template std::vector<ChunkRecords<float>> chunk_records(std::span<const SampleRange>,
                                                       std::span<const XChunkWalk<float>>,
                                                       const JoinedWalks<float>&);
template std::vector<ChunkRecords<double>> chunk_records(std::span<const SampleRange>,
                                                        std::span<const XChunkWalk<double>>,
                                                        const JoinedWalks<double>&);
template bool y_runs_open_at_chunk_starts(const CoordinateView<float>&,
                                          const CoordinateView<float>&,
                                          std::span<const ChunkRecords<float>>,
                                          std::span<const SampleRange>);
template bool y_runs_open_at_chunk_starts(const CoordinateView<double>&,
                                          const CoordinateView<double>&,
                                          std::span<const ChunkRecords<double>>,
                                          std::span<const SampleRange>);

}  // namespace vorlane
