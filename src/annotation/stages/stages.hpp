// The stages of the annotation core, each written once over the coordinate type T and
// instantiated for float and double in its own source file.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "annotation/model/records.hpp"

namespace vorlane {

// Collapse of equal-x runs over all n samples (n >= 1, unit stride).
template <typename T>
FilteredList<T> collapse_x(const CoordinateView<T>& x, const CoordinateView<T>& y);

// Collapse of equal-y runs over list A (at least one record).
template <typename T>
FilteredList<T> collapse_y(const FilteredList<T>& a);

template <typename T>
TurningListPair<T> find_turning_points(const FilteredList<T>& points);

template <typename T>
TurningList<T> order_turning_points(TurningListPair<T>&& lists);

// Turning points in path order, wherever they are stored.
template <typename T>
using TurningView = std::span<const TurningPoint<T>>;

template <typename T>
T compute_segment_threshold(TurningView<T> turns);
template <typename T>
T compute_segment_threshold(const TurningList<T>& turns) {
    return compute_segment_threshold(TurningView<T>(turns));
}

template <typename T>
struct Vector2 {
    T x;
    T y;
};

template <typename T>
bool is_reversal(Vector2<T> a, Vector2<T> b) noexcept;

template <typename T>
ScanlineIds assign_scanline_ids(std::uint64_t n, const TurningList<T>& turns, T segment_threshold);

// The same pass writing into a caller's buffer of n ids (the boundary's result array).
template <typename T>
void assign_scanline_ids_into(std::span<std::int32_t> ids, TurningView<T> turns,
                              T segment_threshold);
template <typename T>
void assign_scanline_ids_into(std::span<std::int32_t> ids, const TurningList<T>& turns,
                              T segment_threshold) {
    assign_scanline_ids_into(ids, TurningView<T>(turns), segment_threshold);
}

// Samples first..last (inclusive) that get one scanline id.
struct IdRange {
    std::uint64_t first;
    std::uint64_t last;
    std::int32_t id;

    bool operator==(const IdRange&) const = default;
};

// The non-empty ranges the id pass writes, ascending and disjoint; every other sample gets -1.
// A range may reach beyond the last sample, whose positions the writers skip.
template <typename T>
std::vector<IdRange> scanline_id_ranges(TurningView<T> turns, T segment_threshold);
template <typename T>
std::vector<IdRange> scanline_id_ranges(const TurningList<T>& turns, T segment_threshold) {
    return scanline_id_ranges(TurningView<T>(turns), segment_threshold);
}

}  // namespace vorlane
