// The vectorised block checks must agree with the step-by-step rule on every block: quiet and
// plain blocks, and blocks spoilt by one bad value anywhere (NaN, infinities, values beyond
// the caps, x moving by less than the tolerance, y standing, turning or stepping too little).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "annotation/passes/plain_scan.hpp"
#include "annotation/passes/quiet_stretch.hpp"
#include "views.hpp"

namespace vorlane {
namespace {

using testing::view_of;

template <typename T>
class PlainScanTest : public ::testing::Test {};
using Widths = ::testing::Types<float, double>;
TYPED_TEST_SUITE(PlainScanTest, Widths);

enum class Spoil { none, nan_x, nan_y, inf_x, inf_y, huge_x, huge_y, creep_x, stand_y, turn_y };

template <typename T>
struct Block {
    std::vector<T> x, y;
};

// PLAIN_BLOCK + 1 samples of a steep line in the sense `sense`, x on a grid so that it keeps
// its value or moves by a grid step, with one value spoilt at `at` (0 < at <= PLAIN_BLOCK).
template <typename T>
Block<T> make_block(std::mt19937_64& rng, T sense, const StepLimits<T>& limits, Spoil spoil,
                    std::size_t at) {
    Block<T> b;
    T xv = T(3), yv = T(5);
    for (std::size_t i = 0; i <= PLAIN_BLOCK; ++i) {
        if (i > 0 && rng() % 2) xv += T(0.25);
        if (i > 0) yv += sense * (limits.smallest_step * T(2) + T(0.5) * T(rng() % 3));
        b.x.push_back(xv);
        b.y.push_back(yv);
    }
    const T huge = std::numeric_limits<T>::max() / T(2);
    const T inf = std::numeric_limits<T>::infinity();
    const T nan = std::numeric_limits<T>::quiet_NaN();
    switch (spoil) {
        case Spoil::none:
            break;
        case Spoil::nan_x:
            b.x[at] = nan;
            break;
        case Spoil::nan_y:
            b.y[at] = nan;
            break;
        case Spoil::inf_x:
            b.x[at] = rng() % 2 ? inf : -inf;
            break;
        case Spoil::inf_y:
            b.y[at] = sense * inf;
            break;
        case Spoil::huge_x:
            b.x[at] = huge;
            break;
        case Spoil::huge_y:
            b.y[at] = sense * huge;
            break;
        case Spoil::creep_x:  // below 0.5 the grid of T is finer than the tolerance
            b.x[at - 1] = T(0.125);
            b.x[at] = T(0.125) + collapse_tolerance<T> / T(4);
            break;
        case Spoil::stand_y:
            b.y[at] = b.y[at - 1];
            break;
        case Spoil::turn_y:
            b.y[at] = b.y[at - 1] - sense;
            break;
    }
    return b;
}

TYPED_TEST(PlainScanTest, BlocksAgreeWithTheStepRule) {
    using T = TypeParam;
    std::mt19937_64 rng(64);
    const Spoil spoils[] = {Spoil::none,    Spoil::nan_x,  Spoil::nan_y,  Spoil::inf_x,
                            Spoil::inf_y,   Spoil::huge_x, Spoil::huge_y, Spoil::creep_x,
                            Spoil::stand_y, Spoil::turn_y};
    for (int trial = 0; trial < 2000; ++trial) {
        const T sense = rng() % 2 ? T(1) : T(-1);
        const StepLimits<T> limits = step_limits(sense, T(5));
        const Spoil spoil = spoils[rng() % std::size(spoils)];
        // The last sample often: a value spoilt there has no step after it to give it away.
        const std::size_t at = rng() % 4 == 0 ? PLAIN_BLOCK : 1 + rng() % PLAIN_BLOCK;
        const Block<T> b = make_block(rng, sense, limits, spoil, at);

        bool want_quiet = true, want_plain = true;
        std::uint64_t want_changes = 0;
        for (std::size_t i = 1; i <= PLAIN_BLOCK; ++i) {
            bool same = false;
            want_quiet =
                quiet_step(b.x[i - 1], b.x[i], b.y[i - 1], b.y[i], limits, same) && want_quiet;
            want_plain = want_plain && std::fabs(b.x[i]) <= std::numeric_limits<T>::max() &&
                         (same || std::fabs(b.x[i] - b.x[i - 1]) >= collapse_tolerance<T>);
            want_changes += same ? 0 : 1;
        }
        std::uint64_t changes = 0;
        const bool quiet =
            quiet_block(view_of(b.x), view_of(b.y), 1, COORDINATE_CAP<T>, limits, changes);
        ASSERT_EQ(quiet, want_quiet)
            << "trial " << trial << ", spoil " << int(spoil) << " at " << at << ", sense " << sense;
        if (quiet) {
            ASSERT_EQ(changes, want_changes) << "trial " << trial;
        }
        const bool plain = plain_block(view_of(b.x), 1, changes);
        ASSERT_EQ(plain, want_plain) << "trial " << trial << ", spoil " << int(spoil);
        if (plain) {
            ASSERT_EQ(changes, want_changes) << "trial " << trial;
        }
    }
}

}  // namespace
}  // namespace vorlane
