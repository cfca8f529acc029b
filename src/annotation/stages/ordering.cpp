// Assembly of the two turning-point lists into one vector in path order.
#include <algorithm>
#include <iterator>

#include "annotation/stages/stages.hpp"

namespace vorlane {

template <typename T>
TurningList<T> order_turning_points(TurningListPair<T>&& lists) {
    TurningListPair<T> taken = std::move(lists);
    // The falling list loses its seed and the earliest falling turn, the rising list its seed.
    const std::size_t falling_skip = std::min<std::size_t>(2, taken.falling_turns.size());
    const std::size_t rising_skip = std::min<std::size_t>(1, taken.rising_turns.size());
    const auto falling_begin =
        taken.falling_turns.begin() + static_cast<std::ptrdiff_t>(falling_skip);
    const auto rising_begin = taken.rising_turns.begin() + static_cast<std::ptrdiff_t>(rising_skip);

    TurningList<T> ordered;
    ordered.reserve((taken.falling_turns.size() - falling_skip) +
                    (taken.rising_turns.size() - rising_skip));
    // Each list is already in ascending filtered_index and no key repeats, so a stable merge
    // gives exactly the order of a stable sort of the joined lists, in linear time.
    std::merge(falling_begin, taken.falling_turns.end(), rising_begin, taken.rising_turns.end(),
               std::back_inserter(ordered), [](const TurningPoint<T>& a, const TurningPoint<T>& b) {
                   return a.filtered_index < b.filtered_index;
               });
    return ordered;
}

template TurningList<float> order_turning_points(TurningListPair<float>&&);
template TurningList<double> order_turning_points(TurningListPair<double>&&);

}  // namespace vorlane
