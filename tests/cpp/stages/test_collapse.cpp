// Unit tests of the sequential x and y collapses: run rules, strict tolerance, means.
#include <gtest/gtest.h>

#include <cmath>

#include "annotation/stages/stages.hpp"
#include "views.hpp"

namespace vorlane {
namespace {

using testing::eps;
using testing::inf;
using testing::nan;
using testing::point;
using testing::view_of;

template <typename T>
class CollapseTest : public ::testing::Test {};
using Widths = ::testing::Types<float, double>;
TYPED_TEST_SUITE(CollapseTest, Widths);

TYPED_TEST(CollapseTest, XOneSampleIsOneRecord) {
    using T = TypeParam;
    std::vector<T> x{T(3)}, y{T(4)};
    EXPECT_EQ(collapse_x(view_of(x), view_of(y)), (FilteredList<T>{point(T(3), T(4), 0, 0)}));
}

TYPED_TEST(CollapseTest, XSameValueMakesOneRunWithMeanY) {
    using T = TypeParam;
    std::vector<T> x(5, T(2)), y{T(1), T(2), T(3), T(4), T(5)};
    EXPECT_EQ(collapse_x(view_of(x), view_of(y)), (FilteredList<T>{point(T(2), T(3), 0, 4)}));
}

TYPED_TEST(CollapseTest, XToleranceIsStrictAtOne) {
    using T = TypeParam;
    const T one_up = T(1) + eps<T>;  // differs from 1 by exactly the tolerance
    std::vector<T> x{T(1), one_up, one_up}, y{T(0), T(1), T(3)};
    EXPECT_EQ(collapse_x(view_of(x), view_of(y)),
              (FilteredList<T>{point(T(1), T(0), 0, 0), point(one_up, T(2), 1, 2)}));
}

TYPED_TEST(CollapseTest, XComparesWithRunsFirstValueNotPrevious) {
    using T = TypeParam;
    const T t = eps<T>;
    std::vector<T> x{T(0), T(0.6) * t, T(1.2) * t}, y{T(1), T(3), T(5)};
    EXPECT_EQ(collapse_x(view_of(x), view_of(y)),
              (FilteredList<T>{point(T(0), T(2), 0, 1), point(T(1.2) * t, T(5), 2, 2)}));
}

TYPED_TEST(CollapseTest, XNonFiniteKeysStandAlone) {
    using T = TypeParam;
    std::vector<T> x{nan<T>, nan<T>, inf<T>, inf<T>, T(1)}, y{T(1), T(2), T(3), T(4), T(5)};
    const FilteredList<T> a = collapse_x(view_of(x), view_of(y));
    ASSERT_EQ(a.size(), 5u) << "NaN and infinite x never join a run";
    for (std::uint64_t i = 0; i < 5; ++i) {
        EXPECT_EQ(a[i].start_index, i);
        EXPECT_EQ(a[i].end_index, i);
        EXPECT_EQ(a[i].y, y[i]);
    }
}

TYPED_TEST(CollapseTest, XNanValueSpoilsOnlyItsRecord) {
    using T = TypeParam;
    std::vector<T> x{T(0), T(0), T(1)}, y{T(1), nan<T>, T(7)};
    const FilteredList<T> a = collapse_x(view_of(x), view_of(y));
    ASSERT_EQ(a.size(), 2u);
    EXPECT_TRUE(std::isnan(a[0].y));
    EXPECT_EQ(a[1], point(T(1), T(7), 2, 2));
}

TYPED_TEST(CollapseTest, XMeanSumsInTheCoordinateType) {
    using T = TypeParam;
    // 1 + eps/2 rounds back to 1 in T, so a wider sum would give a different mean.
    const T tiny = eps<T> / T(2);
    std::vector<T> x(3, T(0)), y{T(1), tiny, tiny};
    T sum = T(1);
    sum = sum + tiny;
    sum = sum + tiny;
    EXPECT_EQ(collapse_x(view_of(x), view_of(y))[0].y, sum / T(3));
}

TYPED_TEST(CollapseTest, YMeanIsUnweightedOverRecords) {
    using T = TypeParam;
    FilteredList<T> a{point(T(0), T(5), 0, 2), point(T(1), T(5), 3, 3), point(T(2), T(7), 4, 9)};
    EXPECT_EQ(collapse_y(a), (FilteredList<T>{point(T(0.5), T(5), 0, 3), point(T(2), T(7), 4, 9)}));
}

TYPED_TEST(CollapseTest, YToleranceIsStrictAndAlternationCopies) {
    using T = TypeParam;
    const T one_up = T(1) + eps<T>;
    FilteredList<T> a{point(T(0), T(1), 0, 0), point(T(1), one_up, 1, 4), point(T(2), T(1), 5, 5)};
    EXPECT_EQ(collapse_y(a), a);
}

TYPED_TEST(CollapseTest, YNonFiniteKeysStandAloneAndNanXSpoilsItsRun) {
    using T = TypeParam;
    FilteredList<T> a{point(T(3), nan<T>, 0, 0), point(T(4), nan<T>, 1, 1),
                      point(T(5), inf<T>, 2, 2), point(T(6), inf<T>, 3, 3),
                      point(T(1), T(0), 4, 5),   point(nan<T>, T(0), 6, 6)};
    const FilteredList<T> b = collapse_y(a);
    ASSERT_EQ(b.size(), 5u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(b[i].x, a[i].x);
    EXPECT_TRUE(std::isnan(b[4].x));
    EXPECT_EQ(b[4].start_index, 4u);
    EXPECT_EQ(b[4].end_index, 6u);
}

TYPED_TEST(CollapseTest, YSingleRecordIsCopied) {
    using T = TypeParam;
    FilteredList<T> a{point(T(2), T(3), 0, 7)};
    EXPECT_EQ(collapse_y(a), a);
}

}  // namespace
}  // namespace vorlane
