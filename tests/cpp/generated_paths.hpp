// Generated paths for the tests that hold a fast path against the stages: random walks with
// adversarial values, and steep quantised raster lines with what must stop a shortcut.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <random>
#include <vector>

#include "annotation/model/records.hpp"
#include "views.hpp"

namespace vorlane::testing {

template <typename T>
std::vector<T> adversarial_values(std::mt19937_64& rng, std::size_t n) {
    const std::vector<T> specials{
        std::numeric_limits<T>::quiet_NaN(),     std::numeric_limits<T>::infinity(),
        -std::numeric_limits<T>::infinity(),     std::numeric_limits<T>::max(),
        std::numeric_limits<T>::denorm_min(),    T(-0.0),
        T(1) + std::numeric_limits<T>::epsilon()};
    std::uniform_int_distribution<int> kind(0, 9);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<T> values;
    double walk = 0.0;
    while (values.size() < n) {
        const int k = kind(rng);
        if (k == 0) {
            values.push_back(specials[rng() % specials.size()]);
        } else if (k == 1) {
            // A long run of one value, as a quantised encoder gives.
            const T repeated = values.empty() ? T(0) : values.back();
            for (std::size_t r = rng() % 20; r > 0 && values.size() < n; --r)
                values.push_back(repeated);
        } else {
            walk += noise(rng);
            values.push_back(static_cast<T>(std::round(walk * 4.0) / 4.0));
        }
    }
    return values;
}

// Steep quantised raster lines, long enough for the quiet-stretch shortcut to engage, with
// the things that must stop it: tiny y steps near the rounding margin, x drifting by less
// than the tolerance, reversals, NaN, infinities and huge values.
template <typename T>
void raster(std::mt19937_64& rng, std::size_t lines, std::vector<T>& x, std::vector<T>& y) {
    std::uniform_int_distribution<int> pick(0, 99);
    std::normal_distribution<double> noise(0.0, 1.0);
    const double quantum = rng() % 2 ? 1e-3 : std::ldexp(1.0, -10);
    const double y_step = std::vector<double>{8e-3, 1e-3, 1e-6, 1e-12}[rng() % 4];
    const double x_step = std::vector<double>{5.6e-4, 2e-4, 1.5e-3}[rng() % 3];
    const double origin = std::vector<double>{0.0, 60.0, 1e5}[rng() % 3];
    for (std::size_t line = 0; line < lines; ++line) {
        const std::size_t samples = 50 + rng() % 400;
        for (std::size_t i = 0; i < samples; ++i) {
            const double along = static_cast<double>(line % 2 ? samples - i : i);
            double xv = origin + 0.1 * static_cast<double>(line) + along * x_step;
            double yv = origin + along * y_step;
            if (pick(rng) < 3) xv += quantum * noise(rng);
            if (pick(rng) < 3) yv += y_step * noise(rng);
            x.push_back(static_cast<T>(std::round(xv / quantum) * quantum));
            y.push_back(static_cast<T>(yv));
            const int event = pick(rng);
            if (event == 0) x.back() = std::numeric_limits<T>::quiet_NaN();
            if (event == 1) y.back() = std::numeric_limits<T>::infinity();
            if (event == 2 && x.size() > 1)
                x.back() = x[x.size() - 2] + std::numeric_limits<T>::epsilon() / T(2);
            if (event == 3) y.back() = std::numeric_limits<T>::max();
        }
    }
}

// Turning lists equal bit for bit, except that any two NaNs match: the compiler may swap the
// operands of an addition, which changes which NaN's sign and payload propagate, never a
// comparison.
template <typename T>
bool same_turns(const TurningListPair<T>& p, const TurningListPair<T>& q) {
    auto same = [](T a, T b) { return (std::isnan(a) && std::isnan(b)) || same_bits(a, b); };
    auto equal = [&](const TurningList<T>& u, const TurningList<T>& v) {
        if (u.size() != v.size()) return false;
        for (std::size_t i = 0; i < u.size(); ++i) {
            if (u[i].filtered_index != v[i].filtered_index ||
                u[i].start_index != v[i].start_index || u[i].end_index != v[i].end_index ||
                !same(u[i].prev_dist_sq, v[i].prev_dist_sq) ||
                !same(u[i].line_dist_sq, v[i].line_dist_sq) || !same(u[i].x, v[i].x) ||
                !same(u[i].y, v[i].y)) {
                return false;
            }
        }
        return true;
    };
    return equal(p.falling_turns, q.falling_turns) && equal(p.rising_turns, q.rising_turns);
}

}  // namespace vorlane::testing
