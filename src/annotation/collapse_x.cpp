// Sequential collapse of equal-x runs: one pass over the samples, one record per run.
#include "annotation/run_rules.hpp"
#include "annotation/stages.hpp"

namespace vorlane {

template <typename T>
FilteredList<T> collapse_x(const CoordinateView<T>& x, const CoordinateView<T>& y) {
    const std::uint64_t n = x.count;
    FilteredList<T> records;
    records.reserve(n / 2);
    XRun<T> run;
    run.open(0, x.at(0), y.at(0));
    for (std::uint64_t j = 1; j < n; ++j) {
        const T xj = x.at(j);
        if (run.joins(xj)) {
            run.add(y.at(j));
        } else {
            records.push_back(run.close(j - 1));
            run.open(j, xj, y.at(j));
        }
    }
    records.push_back(run.close(n - 1));
    return records;
}

template FilteredList<float> collapse_x(const CoordinateView<float>&, const CoordinateView<float>&);
template FilteredList<double> collapse_x(const CoordinateView<double>&,
                                         const CoordinateView<double>&);

}  // namespace vorlane
