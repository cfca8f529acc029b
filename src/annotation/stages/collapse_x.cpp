// Sequential collapse of equal-x runs: the x-stage run rule over all the samples, which is
// the chunk function over the one range [0, n).
#include "annotation/stages/chunked_collapse.hpp"
#include "annotation/stages/stages.hpp"

namespace vorlane {

template <typename T>
FilteredList<T> collapse_x(const CoordinateView<T>& x, const CoordinateView<T>& y) {
    return collapse_x_chunk(x, y, SampleRange{0, x.count});
}

template FilteredList<float> collapse_x(const CoordinateView<float>&, const CoordinateView<float>&);
template FilteredList<double> collapse_x(const CoordinateView<double>&,
                                         const CoordinateView<double>&);

}  // namespace vorlane
