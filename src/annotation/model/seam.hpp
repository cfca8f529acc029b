// The rules at a chunk seam, written once for every chunked form: where a stage may be cut,
// how the leading records of a chunk fuse into the record kept before it, and where a chunk's
// own walk of the turn rule agrees again with the whole path's.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "annotation/model/chunk_plan.hpp"
#include "annotation/model/records.hpp"
#include "annotation/model/run_rules.hpp"
#include "annotation/model/turn_detector.hpp"

namespace vorlane {

// Cuts. A sequential stage may be walked in pieces cut where its run rule opens a run
// whatever came before (opens_run), for restarting the rule there changes nothing and the
// seam tests never fuse.

// Up to `pieces` ranges of [0, n), cut near the even cuts at the first index where the run
// rule opens a run whatever came before, as `first_opening(from, limit)` finds it in
// [from, limit); a cut with none a little way after it is left out.
template <typename FirstOpening>
std::vector<SampleRange> split_at_run_starts(std::uint64_t n, std::uint64_t pieces,
                                             const FirstOpening& first_opening) {
    constexpr std::uint64_t SEARCH = 256;
    std::vector<SampleRange> ranges;
    std::uint64_t start = 0;
    for (const SampleRange& even : make_chunk_ranges(n, pieces)) {
        if (even.start == 0) continue;
        const std::uint64_t from = std::max(even.start, start + 1);
        if (from >= n) break;
        if (const std::optional<std::uint64_t> cut =
                first_opening(from, std::min(n, from + SEARCH))) {
            ranges.push_back({start, *cut});
            start = *cut;
        }
    }
    ranges.push_back({start, n});
    return ranges;
}

// The first sample j in [from, limit) (from >= 1) at which the x rule opens a run whatever
// came before.
template <typename T>
std::optional<std::uint64_t> first_x_opening(const CoordinateView<T>& x, std::uint64_t from,
                                             std::uint64_t limit) {
    for (std::uint64_t j = from; j < limit; ++j) {
        if (opens_run(x.at(j - 1), x.at(j))) return j;
    }
    return std::nullopt;
}

// The x ranges of the chunked x stage, or of the pieces of the sequential one.
template <typename T>
std::vector<SampleRange> x_ranges_for(const CoordinateView<T>& x, const ChunkPlan& plan) {
    const std::uint64_t n = x.count;
    if (plan.chunks_x(n)) return make_chunk_ranges(n, plan.x_threads);
    return split_at_run_starts(n, plan.x_threads, [&](std::uint64_t from, std::uint64_t limit) {
        return first_x_opening(x, from, limit);
    });
}

// Fusing.

// The seam merge: fuses r into last, Value becoming the mean of the two weighted by their
// sample counts, taken in double.
template <typename T>
double sample_count(const FilteredPoint<T>& record) {
    return static_cast<double>(record.end_index - record.start_index + 1);
}

template <typename T, T FilteredPoint<T>::* Value>
void fuse_by_samples(FilteredPoint<T>& last, const FilteredPoint<T>& r) {
    const double w_last = sample_count(last);
    const double w_r = sample_count(r);
    const double numerator =
        static_cast<double>(r.*Value) * w_r + static_cast<double>(last.*Value) * w_last;
    last.*Value = static_cast<T>(numerator / (w_r + w_last));
    last.end_index = r.end_index;
}

// Where one chunk's records stand in the list the seam merge joins.
template <typename T>
struct PlacedChunk {
    std::uint64_t fused = 0;   // leading records fused into an earlier chunk's record
    std::uint64_t offset = 0;  // index in the joined list of its first record kept
    std::optional<FilteredPoint<T>> fixed_last;  // its last record, when later ones fused into it

    std::uint64_t kept(std::uint64_t records) const noexcept { return records - fused; }
};

// Places the chunks in order. For each chunk its leading records are offered to fuse() until
// one does not fuse, then place() takes the chunk's record count and last record. Key is the
// compared coordinate, Value the one averaged by sample count.
template <typename T, T FilteredPoint<T>::* Key, T FilteredPoint<T>::* Value>
class SeamSettler {
  public:
    // True when r, the chunk's next leading record, fused into the record kept last.
    bool fuse(const FilteredPoint<T>& r) {
        if (!leading_ || !last_ || !within_tolerance(r.*Key, (*last_).*Key)) {
            leading_ = false;
            return false;
        }
        fuse_by_samples<T, Value>(*last_, r);
        ++fused_;
        absorbed_ = true;
        return true;
    }

    // The chunk's `records` records, the last of them `last`, minus the leading ones fused.
    const PlacedChunk<T>& place(std::uint64_t records, const FilteredPoint<T>& last) {
        placed_.push_back({fused_, total_, std::nullopt});
        if (fused_ < records) {
            settle_last();
            total_ += records - fused_;
            last_ = last;
            last_chunk_ = placed_.size() - 1;
        }
        fused_ = 0;
        leading_ = true;
        return placed_.back();
    }

    // The record kept last, with whatever has fused into it so far.
    const std::optional<FilteredPoint<T>>& last() const noexcept { return last_; }
    std::uint64_t fused() const noexcept { return fused_; }
    std::uint64_t total() const noexcept { return total_; }

    std::vector<PlacedChunk<T>> finish() {
        settle_last();
        return std::move(placed_);
    }

  private:
    void settle_last() {
        if (absorbed_) placed_[last_chunk_].fixed_last = *last_;
        absorbed_ = false;
    }

    std::vector<PlacedChunk<T>> placed_;
    std::optional<FilteredPoint<T>> last_;
    std::size_t last_chunk_ = 0;
    std::uint64_t fused_ = 0;
    std::uint64_t total_ = 0;
    bool leading_ = true;
    bool absorbed_ = false;
};

template <typename T>
using XSeamSettler = SeamSettler<T, &FilteredPoint<T>::x, &FilteredPoint<T>::y>;
template <typename T>
using YSeamSettler = SeamSettler<T, &FilteredPoint<T>::y, &FilteredPoint<T>::x>;

// After a seam the turn rule is replayed from the whole path's state over the chunk's first
// records head[first, limit) until a step between two of them sets the direction by itself:
// from there on the chunk's own walk decided as the whole path's does. Empty when the head
// runs out first.
struct Replay {
    std::uint64_t next;  // first record not pushed
    bool agreed;
};

template <typename T>
std::optional<Replay> replay_until_agreed(TurnDetector<T>& detector, const FilteredList<T>& head,
                                          std::uint64_t first, std::uint64_t limit) {
    std::uint64_t t = first;
    while (t < limit) {
        if (t >= head.size()) return std::nullopt;
        detector.push(head[t]);
        ++t;
        if (t - 1 > first && !carries_direction(head[t - 2], head[t - 1])) return Replay{t, true};
    }
    return Replay{t, false};
}

// The chunk's own turns at vertices from..to (its own indices), at B index offset + index.
template <typename T>
void record_chunk_turns(TurningListPair<T>& lists, const std::vector<TurnEvent<T>>& events,
                        std::uint64_t from, std::uint64_t to, std::uint64_t offset) {
    for (const TurnEvent<T>& event : events) {
        if (event.index >= from && event.index <= to) {
            const FilteredPoint<T>& v = event.vertex;
            record_turn(lists, v.x, v.y, v.start_index, v.end_index, offset + event.index,
                        event.cur);
        }
    }
}

}  // namespace vorlane
