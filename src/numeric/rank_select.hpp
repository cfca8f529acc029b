// The value of a given rank among many, as std::nth_element finds it, at a fraction of its cost
// on the hundreds of thousands of values a spacing or a scale is measured from.
#pragma once

#include <cstddef>
#include <span>

namespace vorlane {

// The value that would stand at index `rank` (< values.size()) if the non-negative values were
// sorted; the values are reordered. NaN sorts above every number. T is float or double.
template <typename T>
T value_at_rank(std::span<T> values, std::size_t rank);

}  // namespace vorlane
