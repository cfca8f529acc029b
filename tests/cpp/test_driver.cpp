// Unit tests of the driver: its checks in order, and whole paths end to end in both widths.
#include <gtest/gtest.h>

#include <variant>

#include "annotation/annotate.hpp"
#include "annotation/stages/stages.hpp"
#include "views.hpp"

namespace vorlane {
namespace {

using testing::view_of;

template <typename T>
class DriverTest : public ::testing::Test {};
using Widths = ::testing::Types<float, double>;
TYPED_TEST_SUITE(DriverTest, Widths);

template <typename T>
std::string error_of(const CoordinateView<T>& x, const CoordinateView<T>& y) {
    AnnotationResult result = annotate_scanlines(x, y);
    const auto* error = std::get_if<AnnotatorError>(&result);
    return error ? error->message : "<no error>";
}

template <typename T>
ScanlineIds ids_of(const std::vector<T>& x, const std::vector<T>& y) {
    AnnotationResult result = annotate_scanlines(view_of(x), view_of(y));
    EXPECT_TRUE(std::holds_alternative<ScanlineIds>(result));
    return std::get<ScanlineIds>(std::move(result));
}

TYPED_TEST(DriverTest, ChecksComeInOrder) {
    using T = TypeParam;
    std::vector<T> data(10, T(0));
    const CoordinateView<T> five{data.data(), 5, 1}, seven{data.data(), 7, 1};
    EXPECT_EQ(error_of(five, seven), "Input x and y length mismatch: 5 vs 7");
    EXPECT_EQ(error_of(seven, five), "Input x and y length mismatch: 7 vs 5");
    const CoordinateView<T> strided5{data.data(), 5, 2}, strided7{data.data(), 7, -1};
    EXPECT_EQ(error_of(strided5, strided7), "Input x and y length mismatch: 5 vs 7");

    const CoordinateView<T> packed{data.data(), 3, 1}, by_two{data.data(), 3, 2},
        reversed{data.data() + 2, 3, -1}, broadcast{data.data(), 3, 0};
    EXPECT_EQ(error_of(by_two, by_two), "x array must be contiguous");
    EXPECT_EQ(error_of(packed, by_two), "y array must be contiguous");
    EXPECT_EQ(error_of(reversed, packed), "x array must be contiguous");
    EXPECT_EQ(error_of(packed, broadcast), "y array must be contiguous");
}

TYPED_TEST(DriverTest, EmptyAndSingleSamples) {
    using T = TypeParam;
    const CoordinateView<T> empty{nullptr, 0, 7};
    AnnotationResult result = annotate_scanlines(empty, empty);
    ASSERT_TRUE(std::holds_alternative<ScanlineIds>(result));
    EXPECT_TRUE(std::get<ScanlineIds>(result).empty());

    T value = T(1);
    for (std::int64_t stride : {1, 0, -1, 5}) {
        const CoordinateView<T> one{&value, 1, stride};
        AnnotationResult single = annotate_scanlines(one, one);
        ASSERT_TRUE(std::holds_alternative<ScanlineIds>(single)) << "stride " << stride;
        EXPECT_EQ(std::get<ScanlineIds>(single), ScanlineIds{-1});
    }
}

TYPED_TEST(DriverTest, SixSteepLinesRaster) {
    using T = TypeParam;
    const std::vector<double> xs{0, 0.333333, 0.666667, 1, 2,  2.333333,  2.666667,  3,
                                 4, 4.333333, 4.666667, 5, 6,  6.333333,  6.666667,  7,
                                 8, 8.333333, 8.666667, 9, 10, 10.333333, 10.666667, 11};
    const std::vector<double> up{0, 3.333333, 6.666667, 10};
    std::vector<T> x, y;
    for (double v : xs) x.push_back(static_cast<T>(v));
    for (int line = 0; line < 6; ++line) {
        for (int k = 0; k < 4; ++k) y.push_back(static_cast<T>(line % 2 == 0 ? up[k] : up[3 - k]));
    }
    ScanlineIds expected(24, -1);
    for (int j = 9; j <= 11; ++j) expected[j] = 1;
    for (int j = 12; j <= 15; ++j) expected[j] = 2;
    for (int j = 16; j <= 19; ++j) expected[j] = 3;
    EXPECT_EQ(ids_of(x, y), expected);

    const FilteredList<T> b = collapse_y(collapse_x(view_of(x), view_of(y)));
    EXPECT_EQ(b.size(), 19u) << "the two samples at each line end join";
    TurningListPair<T> lists = find_turning_points(b);
    const TurningList<T> turns = order_turning_points(std::move(lists));
    ASSERT_EQ(turns.size(), 4u);
    EXPECT_EQ(turns[0].filtered_index, 6u);
    EXPECT_EQ(turns[3].filtered_index, 15u);
    EXPECT_NEAR(static_cast<double>(compute_segment_threshold(turns)), 1538.46, 0.01);
}

TYPED_TEST(DriverTest, PathsWithoutScanlines) {
    using T = TypeParam;
    // Horizontal lines stepping up in y: the collapsed path never changes its vertical sense.
    std::vector<T> x, y;
    for (int line = 0; line < 4; ++line) {
        for (int k = 0; k < 6; ++k) {
            x.push_back(T(line % 2 == 0 ? 2 * k : 10 - 2 * k));
            y.push_back(T(line));
        }
    }
    EXPECT_EQ(ids_of(x, y), ScanlineIds(24, -1));

    // A triangle wave turns by right angles only.
    std::vector<T> tx, ty;
    const int wave[8] = {0, 1, 2, 3, 4, 3, 2, 1};
    for (int k = 0; k <= 32; ++k) {
        tx.push_back(T(k));
        ty.push_back(T(wave[k % 8]));
    }
    EXPECT_EQ(ids_of(tx, ty), ScanlineIds(33, -1));
}

}  // namespace
}  // namespace vorlane
