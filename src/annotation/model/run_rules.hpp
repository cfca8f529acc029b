// The run rules of the two collapse stages, written once as accumulators. The sequential
// stages, the per-chunk functions of the parallel form and the fused pass all use these.
#pragma once

#include <cmath>
#include <cstdint>
#include <type_traits>

#include "annotation/model/records.hpp"

namespace vorlane {

// Mean of `count` values summed in T: the count is rounded to T first. A run of one needs no
// division (sum / 1 is the sum itself, NaN included).
template <typename T>
inline T run_mean(T sum, std::uint64_t count) noexcept {
    return count == 1 ? sum : sum / static_cast<T>(count);
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

// Feeds sink(record) with the y runs of records a[start, end) in order (start < end).
template <typename T, typename Sink>
inline void for_each_y_run(const FilteredList<T>& a, std::size_t start, std::size_t end,
                           Sink&& sink) {
    YRun<T> run;
    run.open(a[start]);
    for (std::size_t i = start + 1; i < end; ++i) {
        if (run.joins(a[i].y)) {
            run.add(a[i].x);
        } else {
            if (!deliver(sink, run.close(a[i - 1].end_index))) return;
            run.open(a[i]);
        }
    }
    deliver(sink, run.close(a[end - 1].end_index));
}

// The seam merge of the chunked stages: fuses r into last, Value becoming the mean of the
// two weighted by their sample counts, taken in double.
template <typename T>
double sample_count(const FilteredPoint<T>& record) {
    return static_cast<double>(record.end_index - record.start_index + 1);
}

template <typename T, T FilteredPoint<T>::*Value>
void fuse_by_samples(FilteredPoint<T>& last, const FilteredPoint<T>& r) {
    const double w_last = sample_count(last);
    const double w_r = sample_count(r);
    const double numerator =
        static_cast<double>(r.*Value) * w_r + static_cast<double>(last.*Value) * w_last;
    last.*Value = static_cast<T>(numerator / (w_r + w_last));
    last.end_index = r.end_index;
}

}  // namespace vorlane
