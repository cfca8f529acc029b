// Sequential collapse of equal-y runs over list A: one pass, one record per run.
#include "annotation/run_rules.hpp"
#include "annotation/stages.hpp"

namespace vorlane {

template <typename T>
FilteredList<T> collapse_y(const FilteredList<T>& a) {
    FilteredList<T> records;
    records.reserve(a.size());
    for_each_y_run(a, 0, a.size(), [&](const FilteredPoint<T>& r) { records.push_back(r); });
    return records;
}

template FilteredList<float> collapse_y(const FilteredList<float>&);
template FilteredList<double> collapse_y(const FilteredList<double>&);

}  // namespace vorlane
