// Sequential collapse of equal-y runs over list A: the y-stage run rule over all the records,
// which is the chunk function over the one range [0, m).
#include "annotation/stages/chunked_collapse.hpp"
#include "annotation/stages/stages.hpp"

namespace vorlane {

template <typename T>
FilteredList<T> collapse_y(const FilteredList<T>& a) {
    return collapse_y_chunk(a, SampleRange{0, a.size()});
}

template FilteredList<float> collapse_y(const FilteredList<float>&);
template FilteredList<double> collapse_y(const FilteredList<double>&);

}  // namespace vorlane
