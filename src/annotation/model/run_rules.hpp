// The run rules of the two collapse stages, written once as accumulators, and the loops that
// feed them. The sequential and chunked stages and every pass use these.
#pragma once

#include <cmath>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "annotation/model/records.hpp"

namespace vorlane {

// Mean of `count` values summed in T: the count is rounded to T first. A run of one needs no
// division (sum / 1 is the sum itself, NaN included). Counts stay below 2^63, so the count is
// converted as signed: the same value, in one instruction where x86-64 needs several for an
// unsigned one.
template <typename T>
inline T run_mean(T sum, std::uint64_t count) noexcept {
    return count == 1 ? sum : sum / static_cast<T>(static_cast<std::int64_t>(count));
}

// Within tolerance: |a - run_first| < epsilon, strictly; false for NaN.
template <typename T>
inline bool within_tolerance(T value, T run_first) noexcept {
    T difference = value - run_first;
    return std::fabs(difference) < collapse_tolerance<T>;
}

// Whether the run rule opens a run at a value whatever run holds the value before it: the
// open run's first value lies within the tolerance of `before`, so a step of four
// tolerances (three, after rounding) leaves it by more than one. NaN never joins a run.
template <typename T>
bool opens_run(T before, T at) noexcept {
    return std::isnan(before) || std::isnan(at) ||
           std::fabs(at - before) >= T(4) * collapse_tolerance<T>;
}

// A run of samples whose x stays within tolerance of the run's first x; y is summed in T
// from the run's first y.
template <typename T>
class XRun {
  public:
    void open(std::uint64_t index, T x, T y) noexcept {
        start_ = index;
        x_ = x;
        y_sum_ = y;
        count_ = 1;
    }
    bool joins(T x) const noexcept { return within_tolerance(x, x_); }
    void add(T y) noexcept {
        y_sum_ = y_sum_ + y;
        ++count_;
    }
    FilteredPoint<T> close(std::uint64_t end_index) const noexcept {
        return {x_, run_mean(y_sum_, count_), start_, end_index};
    }
    std::uint64_t start() const noexcept { return start_; }

  private:
    std::uint64_t start_ = 0;
    std::uint64_t count_ = 0;
    T x_{};
    T y_sum_{};
};

// A run of filtered points whose y stays within tolerance of the run's first y; the record x
// is the unweighted mean of the points' x, summed in T from the first.
template <typename T>
class YRun {
  public:
    void open(const FilteredPoint<T>& point) noexcept {
        start_ = point.start_index;
        y_ = point.y;
        x_sum_ = point.x;
        count_ = 1;
    }
    bool joins(T y) const noexcept { return within_tolerance(y, y_); }
    void add(T x) noexcept {
        x_sum_ = x_sum_ + x;
        ++count_;
    }
    FilteredPoint<T> close(std::uint64_t end_index) const noexcept {
        return {run_mean(x_sum_, count_), y_, start_, end_index};
    }
    std::uint64_t start() const noexcept { return start_; }
    std::uint64_t count() const noexcept { return count_; }

  private:
    std::uint64_t start_ = 0;
    std::uint64_t count_ = 0;
    T y_{};
    T x_sum_{};
};

}  // namespace vorlane

namespace vorlane {

// Hands a record to a sink; a sink returning bool stops the walk by returning false.
template <typename Sink, typename Record>
inline bool deliver(Sink& sink, const Record& record) {
    if constexpr (std::is_same_v<decltype(sink(record)), bool>) {
        return sink(record);
    } else {
        sink(record);
        return true;
    }
}

// Feeds sink(record) with the x runs of samples [start, end) in order (start < end).
template <typename T, typename Sink>
inline void for_each_x_run(const CoordinateView<T>& x, const CoordinateView<T>& y,
                           std::uint64_t start, std::uint64_t end, Sink&& sink) {
    XRun<T> run;
    run.open(start, x.at(start), y.at(start));
    for (std::uint64_t j = start + 1; j < end; ++j) {
        const T xj = x.at(j);
        if (run.joins(xj)) {
            run.add(y.at(j));
        } else {
            if (!deliver(sink, run.close(j - 1))) return;
            run.open(j, xj, y.at(j));
        }
    }
    deliver(sink, run.close(end - 1));
}

// The y rule fed one record of list A at a time: each y run, once closed, goes on to `next`
// (anything with push(record)) as a record of list B. The last run stays open until finish(),
// since in a chunk of the path the seam may still change it.
template <typename T, typename Next>
class YRunStream {
  public:
    template <typename... Args>
    explicit YRunStream(Args&&... args) : next_(std::forward<Args>(args)...) {}

    // Feeds the next record of A; true when it opened a y run.
    bool push(const FilteredPoint<T>& a) {
        if (open_ && run_.joins(a.y)) {
            run_.add(a.x);
            last_end_ = a.end_index;
            return false;
        }
        if (open_) next_.push(run_.close(last_end_));
        restart(a);
        return true;
    }

    void finish() {
        if (open_) next_.push(run_.close(last_end_));
        open_ = false;
    }

    // Opens a fresh y run at record a, dropping the open one.
    void restart(const FilteredPoint<T>& a) noexcept {
        run_.open(a);
        last_end_ = a.end_index;
        open_ = true;
    }
    // Takes `run`, which holds records up to sample `end`, as the open run.
    void adopt(const YRun<T>& run, std::uint64_t end) noexcept {
        run_ = run;
        last_end_ = end;
        open_ = true;
    }

    // True when the open y run is the single record covering samples [start, end].
    bool holds_only(std::uint64_t start, std::uint64_t end) const noexcept {
        return open_ && run_.count() == 1 && run_.start() == start && last_end_ == end;
    }

    // The open y run as a record, not yet handed on, and as a run.
    FilteredPoint<T> open_record() const noexcept { return run_.close(last_end_); }
    const YRun<T>& open_run() const noexcept { return run_; }
    std::uint64_t open_run_end() const noexcept { return last_end_; }

    Next& next() noexcept { return next_; }
    const Next& next() const noexcept { return next_; }

  private:
    YRun<T> run_;
    Next next_;
    std::uint64_t last_end_ = 0;
    bool open_ = false;
};

// A sink as the next step of a stream: a sink returning false stops it.
template <typename Sink>
struct SinkStep {
    explicit SinkStep(Sink& s) noexcept : sink(s) {}
    template <typename Record>
    void push(const Record& record) {
        if (!stopped) stopped = !deliver(sink, record);
    }
    Sink& sink;
    bool stopped = false;
};

// Feeds sink(record) with the y runs of records a[start, end) in order (start < end).
template <typename T, typename Sink>
inline void for_each_y_run(const FilteredList<T>& a, std::size_t start, std::size_t end,
                           Sink&& sink) {
    YRunStream<T, SinkStep<std::remove_reference_t<Sink>>> stream(sink);
    for (std::size_t i = start; i < end && !stream.next().stopped; ++i) stream.push(a[i]);
    stream.finish();
}

}  // namespace vorlane
