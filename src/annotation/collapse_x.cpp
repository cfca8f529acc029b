// Sequential collapse of equal-x runs: one pass over the samples, one record per run.
#include "annotation/run_rules.hpp"
#include "annotation/stages.hpp"

namespace vorlane {

template <typename T>
FilteredList<T> collapse_x(const CoordinateView<T>& x, const CoordinateView<T>& y) {
    FilteredList<T> records;
    records.reserve(x.count / 2);
    for_each_x_run(x, y, 0, x.count, [&](const FilteredPoint<T>& r) { records.push_back(r); });
    return records;
}

template FilteredList<float> collapse_x(const CoordinateView<float>&, const CoordinateView<float>&);
template FilteredList<double> collapse_x(const CoordinateView<double>&,
                                         const CoordinateView<double>&);

}  // namespace vorlane
