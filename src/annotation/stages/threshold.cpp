// The segment threshold: 100 times the median line distance, never below 1.
#include <span>
#include <type_traits>
#include <vector>

#include "annotation/stages/stages.hpp"
#include "numeric/rank_select.hpp"

namespace vorlane {

namespace {

template <typename T>
constexpr T min_line_dist_sq() {
    // Written as a literal of T so that float gets the float nearest to 1e-8, not the double
    // nearest rounded again.
    if constexpr (std::is_same_v<T, float>) {
        return 1e-8f;
    } else {
        return 1e-8;
    }
}

template <typename T>
constexpr T MIN_LINE_DIST_SQ = min_line_dist_sq<T>();
template <typename T>
constexpr T THRESHOLD_SCALE = T(100);
template <typename T>
constexpr T THRESHOLD_FLOOR = T(1);

}  // namespace

template <typename T>
T compute_segment_threshold(TurningView<T> turns) {
    std::vector<T> spacings;
    spacings.reserve(turns.size());
    for (const TurningPoint<T>& turn : turns) {
        // NaN fails the comparison and is left out; +inf passes.
        if (turn.line_dist_sq > MIN_LINE_DIST_SQ<T>) spacings.push_back(turn.line_dist_sq);
    }
    if (spacings.empty()) return THRESHOLD_FLOOR<T>;
    // Every spacing kept is positive (or +inf), so the bitwise selection finds the very value
    // a selection by comparison would.
    const T median = value_at_rank(std::span<T>(spacings), spacings.size() / 2);
    const T scaled = median * THRESHOLD_SCALE<T>;
    return scaled > THRESHOLD_FLOOR<T> ? scaled : THRESHOLD_FLOOR<T>;
}

template float compute_segment_threshold(TurningView<float>);
template double compute_segment_threshold(TurningView<double>);

}  // namespace vorlane
