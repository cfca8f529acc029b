// The fused sequential pass: the run rules and the turn rule fed one record at a time.
#include "annotation/fused_pass.hpp"

#include "annotation/run_rules.hpp"
#include "annotation/turn_detector.hpp"

namespace vorlane {

namespace {

// Receives list A record by record and passes each finished y run to the turn detector.
template <typename T>
class YRunToTurns {
public:
    explicit YRunToTurns(TurningLists<T>& lists) noexcept : detector_(lists) {}

    void push(const FilteredPoint<T>& a) {
        if (!open_) {
            run_.open(a);
            open_ = true;
        } else if (run_.joins(a.y)) {
            run_.add(a.x);
        } else {
            detector_.push(run_.close(last_end_));
            run_.open(a);
        }
        last_end_ = a.end_index;
    }

    void finish() {
        if (open_) detector_.push(run_.close(last_end_));
        open_ = false;
    }

private:
    YRun<T> run_;
    TurnDetector<T> detector_;
    std::uint64_t last_end_ = 0;
    bool open_ = false;
};

}  // namespace

template <typename T>
TurningLists<T> collapse_and_find_turning_points(const CoordinateView<T>& x,
                                                 const CoordinateView<T>& y) {
    TurningLists<T> lists;
    YRunToTurns<T> downstream(lists);
    for_each_x_run(x, y, 0, x.count, [&](const FilteredPoint<T>& r) { downstream.push(r); });
    downstream.finish();
    return lists;
}

template <typename T>
TurningLists<T> collapse_y_and_find_turning_points(const FilteredList<T>& a) {
    TurningLists<T> lists;
    YRunToTurns<T> downstream(lists);
    for (const FilteredPoint<T>& record : a) downstream.push(record);
    downstream.finish();
    return lists;
}

template TurningLists<float> collapse_and_find_turning_points(const CoordinateView<float>&,
                                                              const CoordinateView<float>&);
template TurningLists<double> collapse_and_find_turning_points(const CoordinateView<double>&,
                                                               const CoordinateView<double>&);
template TurningLists<float> collapse_y_and_find_turning_points(const FilteredList<float>&);
template TurningLists<double> collapse_y_and_find_turning_points(const FilteredList<double>&);

}  // namespace vorlane
