// The bitwise rank selection against std::nth_element: the same value at every rank tried, on
// clustered values with outliers, ties, zeros of either sign, infinities and tiny inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "robust/rank_select.hpp"

namespace vorlane::testing {
namespace {

double by_sorting(std::vector<double> values, std::size_t rank) {
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(rank),
                     values.end());
    return values[rank];
}

void expect_every_rank_sampled(const std::vector<double>& values) {
    const std::size_t n = values.size();
    for (std::size_t rank : {std::size_t{0}, n / 4, n / 2, (3 * n) / 4, n - 1}) {
        std::vector<double> scratch = values;
        const double got = robust::value_at_rank(scratch, rank);
        EXPECT_EQ(got, by_sorting(values, rank)) << "rank " << rank << " of " << n;
    }
}

TEST(RankSelect, MatchesNthElementOnStepLikeValues) {
    std::mt19937_64 engine(7);
    std::normal_distribution<double> step(0.01, 0.0005);
    for (const std::size_t n : {1, 2, 255, 256, 257, 5000, 262144}) {
        std::vector<double> values(n);
        for (std::size_t i = 0; i < n; ++i) {
            values[i] = std::fabs(step(engine));
            if (i % 97 == 0) values[i] = 3.0 * static_cast<double>(i % 11);  // jumps and dwell
        }
        expect_every_rank_sampled(values);
    }
}

TEST(RankSelect, HandlesTiesZerosAndInfinities) {
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> values(3000, 0.25);
    expect_every_rank_sampled(values);  // all equal
    for (std::size_t i = 0; i < values.size(); i += 3) values[i] = (i % 2 == 0) ? 0.0 : -0.0;
    for (std::size_t i = 1; i < values.size(); i += 50) values[i] = inf;
    for (std::size_t i = 2; i < values.size(); i += 7) values[i] = std::ldexp(1.0, -1074);
    expect_every_rank_sampled(values);
    // Values that differ only in their last bit.
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = i % 3 == 0 ? 1.0 : std::nextafter(1.0, 2.0);
    expect_every_rank_sampled(values);
}

TEST(RankSelect, PutsNaNAboveEveryNumber) {
    std::vector<double> values(1000, 1.0);
    for (std::size_t i = 0; i < values.size(); i += 4)
        values[i] = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> scratch = values;
    EXPECT_EQ(robust::value_at_rank(scratch, 749), 1.0);
    scratch = values;
    EXPECT_TRUE(std::isnan(robust::value_at_rank(scratch, 750)));
}

}  // namespace
}  // namespace vorlane::testing
