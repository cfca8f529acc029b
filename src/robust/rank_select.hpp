// The value of a given rank among many, as std::nth_element finds it, at a fraction of its cost
// on the hundreds of thousands of values the scales are measured from.
#pragma once

#include <cstddef>
#include <span>

namespace vorlane::robust {

// The value that would stand at index `rank` (< values.size()) if the non-negative values were
// sorted; the values are reordered. NaN sorts above every number.
double value_at_rank(std::span<double> values, std::size_t rank);

}  // namespace vorlane::robust
