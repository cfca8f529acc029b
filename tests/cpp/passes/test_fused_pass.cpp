// The fused pass must give exactly the turning points of the stage-by-stage path (and, in its
// path-ordered form, the ordering stage's list), on random and adversarial inputs (NaN,
// infinities, huge and tiny differences, long repeats).
#include <gtest/gtest.h>

#include "annotation/passes/fused_pass.hpp"
#include "annotation/stages/stages.hpp"
#include "generated_paths.hpp"
#include "views.hpp"

namespace vorlane {
namespace {

using testing::adversarial_values;
using testing::raster;
using testing::same_turns;
using testing::view_of;

template <typename T>
class FusedPassTest : public ::testing::Test {};
using Widths = ::testing::Types<float, double>;
TYPED_TEST_SUITE(FusedPassTest, Widths);

template <typename T>
void expect_same_turns(const std::vector<T>& x, const std::vector<T>& y) {
    const FilteredList<T> a = collapse_x(view_of(x), view_of(y));
    const TurningListPair<T> staged = find_turning_points(collapse_y(a));
    const TurningListPair<T> fused = collapse_and_find_turning_points(view_of(x), view_of(y));
    const TurningListPair<T> half_fused = collapse_y_and_find_turning_points(a);
    EXPECT_TRUE(same_turns(staged, fused));
    EXPECT_TRUE(same_turns(staged, half_fused));
    // The pass that records its turns in path order must give the ordering stage's list.
    const TurningListPair<T> ordered{order_turning_points(TurningListPair<T>(staged)), {}};
    const PagedList<TurningPoint<T>> paged =
        collapse_and_order_turning_points(view_of(x), view_of(y));
    const TurningListPair<T> recorded{{paged.view().begin(), paged.view().end()}, {}};
    EXPECT_TRUE(same_turns(ordered, recorded)) << "recorded in path order";
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

// Short calls take the shortcut too, and a stretch may then run into the end of the input:
// every prefix of a raster's first lines, cut anywhere along a line.
TYPED_TEST(FusedPassTest, MatchesTheStagesOnEveryPrefixOfARaster) {
    using T = TypeParam;
    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 20; ++trial) {
        std::vector<T> x, y;
        raster<T>(rng, 2, x, y);
        for (std::size_t n = 1; n <= std::min<std::size_t>(x.size(), 160); ++n) {
            expect_same_turns(std::vector<T>(x.begin(), x.begin() + n),
                              std::vector<T>(y.begin(), y.begin() + n));
            if (this->HasFailure()) {
                ADD_FAILURE() << "trial " << trial << ", first " << n << " samples";
                return;
            }
        }
    }
}

}  // namespace
}  // namespace vorlane
