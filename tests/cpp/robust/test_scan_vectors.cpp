// Unit tests of the per-line fit: known lines at several angles and widths, the rows and their
// order for scattered ids, degenerate and non-finite lines, and reads at any stride.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "robust/scan_vectors.hpp"

namespace vorlane::robust {
namespace {

template <typename T>
StridedSamples<T> contiguous(const std::vector<T>& values) {
    return {reinterpret_cast<const unsigned char*>(values.data()), values.size(),
            static_cast<std::int64_t>(sizeof(T))};
}

// n samples (n even) from (x0, y0) along `degrees` over `length`, in pairs at one place along
// the line, +offset and -offset across it: the least-squares line is the centre line.
template <typename T>
void zigzag_line(double x0, double y0, double degrees, double length, int n, double offset,
                 std::vector<T>& x, std::vector<T>& y) {
    const double radians = degrees * std::numbers::pi / 180.0;
    for (int i = 0; i < n; ++i) {
        const double along = length * (i / 2) / (n / 2 - 1);
        const double across = (i % 2 == 0 ? offset : -offset);
        x.push_back(static_cast<T>(x0 + along * std::cos(radians) - across * std::sin(radians)));
        y.push_back(static_cast<T>(y0 + along * std::sin(radians) + across * std::cos(radians)));
    }
}

template <typename T>
class ScanVectorsTest : public ::testing::Test {};
using Widths = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ScanVectorsTest, Widths);

TYPED_TEST(ScanVectorsTest, RecoversKnownLinesAtAnyAngle) {
    using T = TypeParam;
    struct Case {
        double degrees, x0, y0, length, offset;
    };
    const Case cases[] = {{0, 1, 2, 10, 0.01},       {30, -5, 3, 2, 0.001},  {90, 0, 0, 20, 0.05},
                          {135, 150, 150, 2, 0.002}, {179.5, 80, -80, 5, 0}, {60, 0, 0, 1e-3, 0}};
    for (const Case& c : cases) {
        std::vector<T> x, y;
        zigzag_line<T>(c.x0, c.y0, c.degrees, c.length, 40, c.offset, x, y);
        const std::vector<std::int32_t> ids(x.size(), 7);
        const auto rows =
            scan_vectors<T, std::int32_t>(contiguous(x), contiguous(y), contiguous(ids));
        ASSERT_EQ(rows.size(), 1u);
        const ScanVector& row = rows[0];
        // float32 coordinates near 150 are 8e-6 apart; the fit itself is exact to double.
        const double tolerance = std::is_same_v<T, float> ? 2e-5 * (1 + std::fabs(c.x0)) : 1e-9;
        EXPECT_EQ(row.id, 7);
        EXPECT_EQ(row.count, 40);
        const double angle_tolerance = std::is_same_v<T, float> ? 0.05 : 1e-7;
        EXPECT_NEAR(row.angle_deg, c.degrees, angle_tolerance) << c.degrees;
        EXPECT_NEAR(row.length, c.length, tolerance) << c.degrees;
        EXPECT_NEAR(row.rms, c.offset, tolerance) << c.degrees;
        EXPECT_NEAR(row.x0, c.x0, tolerance) << c.degrees;
        EXPECT_NEAR(row.y0, c.y0, tolerance) << c.degrees;
        EXPECT_GE(row.angle_deg, 0.0);
        EXPECT_LT(row.angle_deg, 180.0);
    }
}

TYPED_TEST(ScanVectorsTest, StraightLineFarFromTheOriginHasNoSpread) {
    // Uncentred second moments would cancel to noise here; centred ones are exactly zero.
    using T = TypeParam;
    std::vector<T> x, y;
    for (int i = 0; i < 1000; ++i) {
        x.push_back(static_cast<T>(150.0 + i * 0.001));
        y.push_back(static_cast<T>(149.5));
    }
    const std::vector<std::int64_t> ids(x.size(), 1);
    const auto rows = scan_vectors<T, std::int64_t>(contiguous(x), contiguous(y), contiguous(ids));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].rms, 0.0);
    EXPECT_EQ(rows[0].angle_deg, 0.0);
    EXPECT_EQ(rows[0].y0, static_cast<double>(static_cast<T>(149.5)));
}

TEST(ScanVectors, RowsFollowIdOrderWithScatteredAndDegenerateLines) {
    const double nan = std::nan("");
    // id:          5    5    -1   2    0    5    9    9    3    3
    std::vector<double> x{0.0, 1.0, 7.0, 4.0, 8.0, 2.0, 1.0, 1.0, nan, 3.0};
    std::vector<double> y{0.0, 0.0, 7.0, 4.0, 8.0, 0.0, 2.0, 2.0, 0.0, 5.0};
    std::vector<std::int32_t> ids{5, 5, -1, 2, 0, 5, 9, 9, 3, 3};
    const auto rows =
        scan_vectors<double, std::int32_t>(contiguous(x), contiguous(y), contiguous(ids));
    ASSERT_EQ(rows.size(), 4u);
    struct Expected {
        std::int64_t id, first, last, count;
    };
    const Expected expected[] = {{2, 3, 3, 1}, {3, 8, 9, 2}, {5, 0, 5, 3}, {9, 6, 7, 2}};
    for (std::size_t r = 0; r < rows.size(); ++r) {
        EXPECT_EQ(rows[r].id, expected[r].id);
        EXPECT_EQ(rows[r].first, expected[r].first) << rows[r].id;
        EXPECT_EQ(rows[r].last, expected[r].last) << rows[r].id;
        EXPECT_EQ(rows[r].count, expected[r].count) << rows[r].id;
    }
    // One sample, a NaN beside one finite sample, and two coincident samples: no direction.
    for (const std::size_t r : {0u, 1u, 3u}) {
        EXPECT_EQ(rows[r].length, 0.0) << rows[r].id;
        EXPECT_TRUE(std::isnan(rows[r].angle_deg)) << rows[r].id;
        EXPECT_EQ(rows[r].rms, 0.0) << rows[r].id;
    }
    EXPECT_EQ(rows[1].x0, 3.0);  // the NaN sample is left out of the fit
    EXPECT_EQ(rows[2].length, 2.0);
    EXPECT_EQ(rows[2].angle_deg, 0.0);
}

TEST(ScanVectors, LineWithoutFiniteSamplesHasNaNFit) {
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> x{inf, std::nan("")};
    std::vector<double> y{0.0, 0.0};
    std::vector<std::int64_t> ids{4, 4};
    const auto rows =
        scan_vectors<double, std::int64_t>(contiguous(x), contiguous(y), contiguous(ids));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].count, 2);
    for (double field : {rows[0].x0, rows[0].y1, rows[0].length, rows[0].angle_deg, rows[0].rms}) {
        EXPECT_TRUE(std::isnan(field));
    }
    const std::vector<std::int64_t> unlabelled{0, -3};
    const auto none =
        scan_vectors<double, std::int64_t>(contiguous(x), contiguous(y), contiguous(unlabelled));
    EXPECT_TRUE(none.empty());
}

TEST(ScanVectors, ReversedMisalignedRecordsReadLikeContiguousCopies) {
    std::vector<double> x, y;
    zigzag_line<double>(3, 4, 20, 5, 10, 0.01, x, y);
    zigzag_line<double>(9, 1, 110, 3, 8, 0.02, x, y);
    std::vector<std::int32_t> ids(x.size(), 1);
    for (std::size_t i = 10; i < ids.size(); ++i) ids[i] = 2;
    // Records of 21 bytes (a tag byte, then x, y and an int32 id): every field is misaligned
    // and the stride is no multiple of the element size.
    constexpr std::int64_t record = 21;
    std::vector<unsigned char> bytes(x.size() * record);
    for (std::size_t i = 0; i < x.size(); ++i) {
        std::memcpy(&bytes[i * record + 1], &x[i], 8);
        std::memcpy(&bytes[i * record + 9], &y[i], 8);
        std::memcpy(&bytes[i * record + 17], &ids[i], 4);
    }
    const std::uint64_t n = x.size();
    const unsigned char* last = bytes.data() + (n - 1) * record;
    const auto reversed = scan_vectors<double, std::int32_t>(
        {last + 1, n, -record}, {last + 9, n, -record}, {last + 17, n, -record});
    std::vector<double> rx(x.rbegin(), x.rend()), ry(y.rbegin(), y.rend());
    std::vector<std::int32_t> rids(ids.rbegin(), ids.rend());
    const auto copied =
        scan_vectors<double, std::int32_t>(contiguous(rx), contiguous(ry), contiguous(rids));
    ASSERT_EQ(reversed.size(), 2u);
    ASSERT_EQ(copied.size(), 2u);
    for (std::size_t r = 0; r < 2; ++r) {
        EXPECT_EQ(std::memcmp(&reversed[r], &copied[r], sizeof(ScanVector)), 0) << "row " << r;
    }
}

}  // namespace
}  // namespace vorlane::robust
