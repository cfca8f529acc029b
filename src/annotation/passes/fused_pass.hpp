// The fused pass: the sequential x collapse, y collapse and turning-point detection chained
// sample by sample on the calling thread, so that lists A and B are never stored.
#pragma once

#include "annotation/model/records.hpp"
#include "platform/paged_list.hpp"

namespace vorlane {

// Equal to find_turning_points(collapse_y(collapse_x(x, y))) for n >= 1 unit-stride samples.
template <typename T>
TurningListPair<T> collapse_and_find_turning_points(const CoordinateView<T>& x,
                                                    const CoordinateView<T>& y);

// Equal to order_turning_points(collapse_and_find_turning_points(x, y)), without the two lists
// ever standing beside their merge.
template <typename T>
PagedList<TurningPoint<T>> collapse_and_order_turning_points(const CoordinateView<T>& x,
                                                             const CoordinateView<T>& y);

// Equal to find_turning_points(collapse_y(a)).
template <typename T>
TurningListPair<T> collapse_y_and_find_turning_points(const FilteredList<T>& a);

}  // namespace vorlane
