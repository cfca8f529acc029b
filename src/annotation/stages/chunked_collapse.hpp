// The chunked form of the two collapse stages: cut the input into at most one range per pool
// thread, collapse each range on the pool and join the chunk results with the seam merge.
#pragma once

#include <cstdint>
#include <vector>

#include "annotation/model/chunk_plan.hpp"
#include "annotation/model/records.hpp"

namespace vorlane {

// The x-stage run rule over samples [start, end), with global sample indices.
template <typename T>
FilteredList<T> collapse_x_chunk(const CoordinateView<T>& x, const CoordinateView<T>& y,
                                 SampleRange range);

// The y-stage run rule over records [start, end) of list A.
template <typename T>
FilteredList<T> collapse_y_chunk(const FilteredList<T>& a, SampleRange range);

// Seam merges joining the chunk results in range order: x stage keyed on x (y averaged by
// sample count), y stage keyed on y (x averaged by sample count). Each chunk result is freed
// as soon as it has been merged. The results are taken as the run rules make them: no record's
// key lies within the tolerance of the key before it in its chunk, so only a chunk's leading
// records can fuse.
template <typename T>
FilteredList<T> merge_x_seams(std::vector<FilteredList<T>>&& chunks);
template <typename T>
FilteredList<T> merge_y_seams(std::vector<FilteredList<T>>&& chunks);

// The whole chunked stages on a pool of p threads: the records of the seam merge over the
// chunk results above, written straight into the one output list.
template <typename T>
FilteredList<T> collapse_x_parallel(const CoordinateView<T>& x, const CoordinateView<T>& y,
                                    std::uint64_t p);
template <typename T>
FilteredList<T> collapse_y_parallel(const FilteredList<T>& a, std::uint64_t p);

}  // namespace vorlane
