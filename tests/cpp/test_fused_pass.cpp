// The fused pass must give exactly the turning points of the stage-by-stage path, on random
// and adversarial inputs (NaN, infinities, huge and tiny differences, long repeats).
#include <gtest/gtest.h>

#include <random>

#include "annotation/fused_pass.hpp"
#include "annotation/stages.hpp"
#include "views.hpp"

namespace vorlane {
namespace {

using testing::view_of;

template <typename T>
class FusedPassTest : public ::testing::Test {};
using Widths = ::testing::Types<float, double>;
TYPED_TEST_SUITE(FusedPassTest, Widths);

template <typename T>
std::vector<T> adversarial_values(std::mt19937_64& rng, std::size_t n) {
    const std::vector<T> specials{std::numeric_limits<T>::quiet_NaN(),
                                  std::numeric_limits<T>::infinity(),
                                  -std::numeric_limits<T>::infinity(),
                                  std::numeric_limits<T>::max(),
                                  std::numeric_limits<T>::denorm_min(),
                                  T(-0.0),
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
            for (std::size_t r = rng() % 20; r > 0 && values.size() < n; --r) values.push_back(repeated);
        } else {
            walk += noise(rng);
            values.push_back(static_cast<T>(std::round(walk * 4.0) / 4.0));
        }
    }
    return values;
}

template <typename T>
void expect_same_turns(const std::vector<T>& x, const std::vector<T>& y) {
    const FilteredList<T> a = collapse_x(view_of(x), view_of(y));
    const TurningLists<T> staged = find_turning_points(collapse_y(a));
    const TurningLists<T> fused = collapse_and_find_turning_points(view_of(x), view_of(y));
    const TurningLists<T> half_fused = collapse_y_and_find_turning_points(a);
    // Bit for bit, except that any two NaNs match: the compiler may swap the operands of an
    // addition, which changes which NaN's sign and payload propagate, never a comparison.
    auto same = [](T a, T b) { return (std::isnan(a) && std::isnan(b)) || testing::same_bits(a, b); };
    auto bytes_equal = [&](const TurningList<T>& p, const TurningList<T>& q) {
        if (p.size() != q.size()) return false;
        for (std::size_t i = 0; i < p.size(); ++i) {
            if (p[i].filtered_index != q[i].filtered_index || p[i].start_index != q[i].start_index ||
                p[i].end_index != q[i].end_index || !same(p[i].prev_dist_sq, q[i].prev_dist_sq) ||
                !same(p[i].line_dist_sq, q[i].line_dist_sq) || !same(p[i].x, q[i].x) ||
                !same(p[i].y, q[i].y)) {
                return false;
            }
        }
        return true;
    };
    EXPECT_TRUE(bytes_equal(staged.falling_turns, fused.falling_turns));
    EXPECT_TRUE(bytes_equal(staged.rising_turns, fused.rising_turns));
    EXPECT_TRUE(bytes_equal(staged.falling_turns, half_fused.falling_turns));
    EXPECT_TRUE(bytes_equal(staged.rising_turns, half_fused.rising_turns));
}

TYPED_TEST(FusedPassTest, MatchesTheStagesOnAdversarialPaths) {
    using T = TypeParam;
    std::mt19937_64 rng(20261208);
    for (int trial = 0; trial < 400; ++trial) {
        const std::size_t n = 1 + rng() % 300;
        expect_same_turns(adversarial_values<T>(rng, n), adversarial_values<T>(rng, n));
        if (this->HasFailure()) {
            ADD_FAILURE() << "trial " << trial;
            return;
        }
    }
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
            if (event == 2 && x.size() > 1) x.back() = x[x.size() - 2] + std::numeric_limits<T>::epsilon() / T(2);
            if (event == 3) y.back() = std::numeric_limits<T>::max();
        }
    }
}

TYPED_TEST(FusedPassTest, MatchesTheStagesOnQuietRasters) {
    using T = TypeParam;
    std::mt19937_64 rng(7);
    for (int trial = 0; trial < 300; ++trial) {
        std::vector<T> x, y;
        raster<T>(rng, 2 + rng() % 6, x, y);
        expect_same_turns(x, y);
        if (this->HasFailure()) {
            ADD_FAILURE() << "trial " << trial;
            return;
        }
    }
}

}  // namespace
}  // namespace vorlane
