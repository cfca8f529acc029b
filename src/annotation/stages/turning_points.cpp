// Turning-point detection: one pass over the filtered point sequence.
#include "annotation/model/turn_detector.hpp"
#include "annotation/stages/stages.hpp"

namespace vorlane {

template <typename T>
TurningListPair<T> find_turning_points(const FilteredList<T>& points) {
    TurningListPair<T> lists;
    TurnDetector<T> detector(lists);
    for (const FilteredPoint<T>& point : points) detector.push(point);
    return lists;
}

template TurningListPair<float> find_turning_points(const FilteredList<float>&);
template TurningListPair<double> find_turning_points(const FilteredList<double>&);

}  // namespace vorlane
