// The bitwise rank selection against std::nth_element, in both widths: the same value at every
// rank tried, on clustered values with outliers, ties, zeros of either sign, infinities and tiny
// inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "numeric/rank_select.hpp"

namespace vorlane::testing {
namespace {

template <typename T>
class RankSelect : public ::testing::Test {};
using Widths = ::testing::Types<float, double>;
TYPED_TEST_SUITE(RankSelect, Widths);

template <typename T>
T by_sorting(std::vector<T> values, std::size_t rank) {
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(rank),
                     values.end());
    return values[rank];
}

template <typename T>
void expect_every_rank_sampled(const std::vector<T>& values) {
    const std::size_t n = values.size();
    for (std::size_t rank : {std::size_t{0}, n / 4, n / 2, (3 * n) / 4, n - 1}) {
        std::vector<T> scratch = values;
        const T got = value_at_rank(std::span<T>(scratch), rank);
        EXPECT_EQ(got, by_sorting(values, rank)) << "rank " << rank << " of " << n;
    }
}

TYPED_TEST(RankSelect, MatchesNthElementOnStepLikeValues) {
    using T = TypeParam;
    std::mt19937_64 engine(7);
    std::normal_distribution<T> step(T(0.01), T(0.0005));
    for (const std::size_t n : {1, 2, 255, 256, 257, 5000, 262144}) {
        std::vector<T> values(n);
        for (std::size_t i = 0; i < n; ++i) {
            values[i] = std::fabs(step(engine));
            if (i % 97 == 0) values[i] = T(3) * static_cast<T>(i % 11);  // jumps and dwell
        }
        expect_every_rank_sampled(values);
    }
}

TYPED_TEST(RankSelect, HandlesTiesZerosAndInfinities) {
    using T = TypeParam;
    const T inf = std::numeric_limits<T>::infinity();
    std::vector<T> values(3000, T(0.25));
    expect_every_rank_sampled(values);  // all equal
    for (std::size_t i = 0; i < values.size(); i += 3) values[i] = (i % 2 == 0) ? T(0) : -T(0);
    for (std::size_t i = 1; i < values.size(); i += 50) values[i] = inf;
    for (std::size_t i = 2; i < values.size(); i += 7)
        values[i] = std::numeric_limits<T>::denorm_min();
    expect_every_rank_sampled(values);
    // Values that differ only in their last bit.
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = i % 3 == 0 ? T(1) : std::nextafter(T(1), T(2));
    expect_every_rank_sampled(values);
}

TYPED_TEST(RankSelect, PutsNaNAboveEveryNumber) {
    using T = TypeParam;
    std::vector<T> values(1000, T(1));
    for (std::size_t i = 0; i < values.size(); i += 4)
        values[i] = std::numeric_limits<T>::quiet_NaN();
    std::vector<T> scratch = values;
    EXPECT_EQ(value_at_rank(std::span<T>(scratch), 749), T(1));
    scratch = values;
    EXPECT_TRUE(std::isnan(value_at_rank(std::span<T>(scratch), 750)));
}

}  // namespace
}  // namespace vorlane::testing
