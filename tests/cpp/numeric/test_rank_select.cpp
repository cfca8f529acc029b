// The rank selection against std::nth_element, in both widths: the same value at every rank
// tried, on clustered values with outliers, ties, zeros of either sign, infinities, NaN, tiny
// inputs, and values laid out so that an evenly spread sample of them misleads.
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

// NaN above every number, as the selection orders it.
template <typename T>
T by_sorting(std::vector<T> values, std::size_t rank) {
    const auto order = [](T a, T b) { return a < b || (b != b && a == a); };
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(rank),
                     values.end(), order);
    return values[rank];
}

template <typename T>
void expect_every_rank_sampled(const std::vector<T>& values) {
    const std::size_t n = values.size();
    for (std::size_t rank : {std::size_t{0}, n / 4, n / 2, (3 * n) / 4, n - 1}) {
        std::vector<T> scratch = values;
        const T got = value_at_rank(std::span<T>(scratch), rank);
        const T wanted = by_sorting(values, rank);
        if (std::isnan(wanted))
            EXPECT_TRUE(std::isnan(got)) << "rank " << rank << " of " << n;
        else
            EXPECT_EQ(got, wanted) << "rank " << rank << " of " << n;
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

// Sizes below and above the point where a sample first brackets the rank.
constexpr std::size_t FEW = 3000;
constexpr std::size_t MANY = 40000;

TYPED_TEST(RankSelect, HandlesTiesZerosAndInfinities) {
    using T = TypeParam;
    const T inf = std::numeric_limits<T>::infinity();
    for (const std::size_t n : {FEW, MANY}) {
        std::vector<T> values(n, T(0.25));
        expect_every_rank_sampled(values);  // all equal
        for (std::size_t i = 0; i < n; i += 3) values[i] = (i % 2 == 0) ? T(0) : -T(0);
        for (std::size_t i = 1; i < n; i += 50) values[i] = inf;
        for (std::size_t i = 2; i < n; i += 7) values[i] = std::numeric_limits<T>::denorm_min();
        expect_every_rank_sampled(values);
        // Values that differ only in their last bit.
        for (std::size_t i = 0; i < n; ++i)
            values[i] = i % 3 == 0 ? T(1) : std::nextafter(T(1), T(2));
        expect_every_rank_sampled(values);
    }
}

TYPED_TEST(RankSelect, PutsNaNAboveEveryNumber) {
    using T = TypeParam;
    const T nan = std::numeric_limits<T>::quiet_NaN();
    for (const std::size_t n : {std::size_t{1000}, MANY}) {
        std::vector<T> values(n, T(1));
        for (std::size_t i = 0; i < n; i += 4) values[i] = i % 8 == 0 ? nan : -nan;
        const std::size_t first_nan = n - n / 4;
        std::vector<T> scratch = values;
        EXPECT_EQ(value_at_rank(std::span<T>(scratch), first_nan - 1), T(1)) << n;
        scratch = values;
        EXPECT_TRUE(std::isnan(value_at_rank(std::span<T>(scratch), first_nan))) << n;
        // The rank right at a bracket's lower end, with NaN in the sample around it.
        for (std::size_t i = 0; i < n; ++i) values[i] = i % 2 == 0 ? nan : static_cast<T>(i);
        expect_every_rank_sampled(values);
    }
}

TYPED_TEST(RankSelect, FindsTheRankWhereAnEvenSampleMisleads) {
    using T = TypeParam;
    std::mt19937_64 engine(11);
    std::uniform_real_distribution<T> spread(T(1), T(2));
    for (const std::size_t n : {std::size_t{4096}, MANY, std::size_t{262144}}) {
        // Small values every so many places, large ones elsewhere: a sample taken at a fixed
        // stride sees mostly one kind or the other.
        for (const std::size_t period : {std::size_t{2}, std::size_t{8}, std::size_t{80}}) {
            std::vector<T> values(n);
            for (std::size_t i = 0; i < n; ++i)
                values[i] = (i % period == 0 ? T(0) : T(100)) + spread(engine);
            expect_every_rank_sampled(values);
        }
        // Sorted either way, and a cluster a few units of the last place wide.
        std::vector<T> values(n);
        for (std::size_t i = 0; i < n; ++i) values[i] = static_cast<T>(i);
        expect_every_rank_sampled(values);
        std::reverse(values.begin(), values.end());
        expect_every_rank_sampled(values);
        T near_one = T(1);
        for (std::size_t i = 0; i < n; ++i)
            values[i] = i % 5 == 0 ? spread(engine) : (near_one = std::nextafter(near_one, T(2)));
        for (std::size_t i = 0; i < n; ++i)
            if (values[i] > T(1) + T(1e-3)) values[i] = T(1) + T(16) * (values[i] - T(1));
        expect_every_rank_sampled(values);
    }
}

}  // namespace
}  // namespace vorlane::testing
