// Helpers shared by the core's unit tests: views over vectors and record literals.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "annotation/model/records.hpp"

namespace vorlane::testing {

template <typename T>
CoordinateView<T> view_of(const std::vector<T>& values) {
    return CoordinateView<T>{values.data(), values.size(), 1};
}

template <typename T>
constexpr T eps = std::numeric_limits<T>::epsilon();

template <typename T>
constexpr T nan = std::numeric_limits<T>::quiet_NaN();

template <typename T>
constexpr T inf = std::numeric_limits<T>::infinity();

template <typename T>
FilteredPoint<T> point(T x, T y, std::uint64_t start, std::uint64_t end) {
    return FilteredPoint<T>{x, y, start, end};
}

// Filtered points of one sample each, at consecutive sample indices.
template <typename T>
FilteredList<T> path_of(const std::vector<std::pair<T, T>>& coordinates) {
    FilteredList<T> points;
    for (std::size_t i = 0; i < coordinates.size(); ++i) {
        points.push_back(point(coordinates[i].first, coordinates[i].second, i, i));
    }
    return points;
}

// Same bits (so NaN equals NaN), for checking exact results.
template <typename T>
bool same_bits(T a, T b) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

}  // namespace vorlane::testing
