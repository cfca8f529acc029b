// The turning-point rule as an accumulator fed one filtered point at a time, so that the
// stage and the fused pass share it.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "annotation/records.hpp"
#include "annotation/run_rules.hpp"

namespace vorlane {

// Direction value of the step from p to q: only its sign and whether it is a number matter.
// Steps flat in x or in y within tolerance carry the previous value.
template <typename T>
inline T step_direction(const FilteredPoint<T>& p, const FilteredPoint<T>& q, T carry) noexcept {
    if (within_tolerance(p.x, q.x)) return carry;
    if (within_tolerance(p.y, q.y)) return carry;
    const T d = q.y - p.y;
    // A failed comparison (NaN) takes the negated difference, as the rule demands.
    const T numerator = q.x > p.x ? d : -d;
    const T dx = q.x - p.x;
    return numerator / dx;
}

// NaN for NaN, else 1 carrying the sign bit of v: -0 and -inf are negative.
template <typename T>
inline T sign_class(T v) noexcept {
    return std::isnan(v) ? std::numeric_limits<T>::quiet_NaN() : std::copysign(T(1), v);
}

template <typename T>
inline T squared(T v) noexcept {
    return v * v;
}

template <typename T>
class TurnDetector {
public:
    explicit TurnDetector(TurningLists<T>& lists) noexcept : lists_(lists) {}

    // Feeds the next filtered point of the path.
    void push(const FilteredPoint<T>& point) {
        if (count_ >= 2) {
            const T cur = step_direction(last_, point, prev_);
            // NaN classes compare unequal to themselves, so a NaN direction always turns.
            if (!(sign_class(cur) == sign_class(prev_))) record_turn(cur);
            prev_ = cur;
        } else if (count_ == 1) {
            prev_ = step_direction(last_, point, T(1));
            const TurningPoint<T> seed{0, T(0), T(0), last_.x, last_.y, last_.start_index,
                                       last_.end_index};
            lists_.falling_turns.push_back(seed);
            lists_.rising_turns.push_back(seed);
        }
        last_ = point;
        ++count_;
    }

private:
    // last_ (filtered point count_ - 1) is the vertex where the step with direction cur begins.
    void record_turn(T cur) {
        const TurningPoint<T>& f = lists_.falling_turns.back();
        const TurningPoint<T>& r = lists_.rising_turns.back();
        const T x = last_.x;
        const T y = last_.y;
        T line_dist_sq;
        if (within_tolerance(r.x, f.x)) {
            line_dist_sq = squared(x - r.x);
        } else {
            const T m = (r.y - f.y) / (r.x - f.x);
            const T b = f.y - f.x * m;
            const T offset = x * m - y + b;
            line_dist_sq = squared(offset) / (m * m + T(1));
        }
        TurningList<T>& target = cur < T(0) ? lists_.falling_turns : lists_.rising_turns;
        const TurningPoint<T>& l = target.back();
        const T prev_dist_sq = squared(l.x - x) + squared(l.y - y);
        target.push_back(TurningPoint<T>{count_ - 1, prev_dist_sq, line_dist_sq, x, y,
                                         last_.start_index, last_.end_index});
    }

    TurningLists<T>& lists_;
    std::uint64_t count_ = 0;
    FilteredPoint<T> last_{};
    T prev_ = T(1);
};

}  // namespace vorlane
