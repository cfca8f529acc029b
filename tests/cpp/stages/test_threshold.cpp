// Unit tests of the segment threshold: selection at position N/2, floor, overflow.
#include <gtest/gtest.h>

#include <cmath>

#include "annotation/stages/stages.hpp"
#include "views.hpp"

namespace vorlane {
namespace {

using testing::inf;
using testing::nan;

template <typename T>
class ThresholdTest : public ::testing::Test {};
using Widths = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ThresholdTest, Widths);

template <typename T>
TurningList<T> with_line_distances(std::vector<T> values) {
    TurningList<T> turns;
    std::uint64_t i = 1;
    for (T v : values) turns.push_back(TurningPoint<T>{i, T(0), v, T(0), T(0), i, i}), ++i;
    return turns;
}

TYPED_TEST(ThresholdTest, SelectsUpperMiddleTimesHundredWithFloor) {
    using T = TypeParam;
    const T min_line = std::is_same_v<T, float> ? T(1e-8f) : T(1e-8);
    struct Case {
        std::vector<T> values;
        T expected;
        const char* why;
    };
    const std::vector<Case> cases{
        {{}, T(1), "empty"},
        {{T(0), T(0), T(0)}, T(1), "nothing above the minimum"},
        {{min_line, min_line}, T(1), "the minimum itself is left out"},
        {{T(0.75), T(0.25), T(0.5)}, T(0.5) * T(100), "odd count: the middle"},
        {{T(1), T(0.5), T(0.25), T(0.75)}, T(0.75) * T(100), "even: the upper middle"},
        {{T(0.001), T(0.004)}, T(1), "0.4 is below the floor"},
        {{nan<T>, T(0.5)}, T(0.5) * T(100), "NaN is ignored"},
        {{T(3)}, T(300), "single value"},
        {{inf<T>, T(2), inf<T>}, inf<T>, "+inf counts"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(compute_segment_threshold(with_line_distances(c.values)), c.expected) << c.why;
    }
}

TEST(ThresholdTest, FloatMinimumIsTheFloatNearestTo1e8) {
    const float just_above = std::nextafter(9.99999993922529e-09f, 1.0f);
    EXPECT_EQ(compute_segment_threshold(with_line_distances<float>({9.99999993922529e-09f})), 1.0f);
    EXPECT_EQ(compute_segment_threshold(with_line_distances<float>({just_above, just_above})),
              1.0f);  // collected, but 100 times it is below the floor
}

TEST(ThresholdTest, FloatProductOverflowsToInfinity) {
    EXPECT_EQ(compute_segment_threshold(with_line_distances<float>({1e37f})),
              std::numeric_limits<float>::infinity());
    EXPECT_EQ(compute_segment_threshold(with_line_distances<double>({1e37})), 1e39);
}

}  // namespace
}  // namespace vorlane
