// Sequential collapse of equal-y runs over list A: one pass, one record per run.
#include "annotation/run_rules.hpp"
#include "annotation/stages.hpp"

namespace vorlane {

template <typename T>
FilteredList<T> collapse_y(const FilteredList<T>& a) {
    FilteredList<T> records;
    records.reserve(a.size());
    YRun<T> run;
    run.open(a.front());
    for (std::size_t i = 1; i < a.size(); ++i) {
        if (run.joins(a[i].y)) {
            run.add(a[i].x);
        } else {
            records.push_back(run.close(a[i - 1].end_index));
            run.open(a[i]);
        }
    }
    records.push_back(run.close(a.back().end_index));
    return records;
}

template FilteredList<float> collapse_y(const FilteredList<float>&);
template FilteredList<double> collapse_y(const FilteredList<double>&);

}  // namespace vorlane
