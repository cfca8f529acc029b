// The whole robust labelling: what it labels, what it leaves, and inputs that must not break it.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "robust_paths.hpp"

namespace vorlane::testing {
namespace {

void expect_ids_in_order(const std::vector<std::int32_t>& ids) {
    std::int32_t last = 0;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (ids[i] == -1) continue;
        ASSERT_TRUE(ids[i] == last || ids[i] == last + 1) << "id " << ids[i] << " at " << i;
        last = ids[i];
    }
}

TEST(RobustLabels, HatchAtAnyAngleIsFoundAndNumberedInOrder) {
    for (double degrees : {0.0, 45.0, 90.0, 135.0, 179.0}) {
        for (double sigma : {0.0, 0.002}) {
            Recorded path;
            add_meander(path, degrees, 15, 1.0, 0.1, 150.0, -150.0);
            path.add_noise(sigma, 11);
            const std::vector<float> x(path.x.begin(), path.x.end()),
                y(path.y.begin(), path.y.end());
            robust::RobustInfo info;
            const auto ids = label(x, y, nullptr, &info);
            expect_ids_in_order(ids);
            EXPECT_EQ(lines_recovered(ids, path.truth), 15) << degrees << " deg, noise " << sigma;
            ASSERT_EQ(info.angles_deg.size(), 1u);
            EXPECT_NEAR(std::fmod(info.angles_deg[0] + 0.5, 180.0) - 0.5, std::fmod(degrees, 180.0),
                        0.5);
        }
    }
}

TEST(RobustLabels, ContoursAndCirclesAreNoHatch) {
    Recorded path;
    add_polygon(path, 0, 0, 3.0, 4, 45.0);  // a square whose edges share the hatch's angle
    add_polygon(path, 0, 0, 2.0, 720);
    const std::size_t contours = path.size();
    path.move_to(-1.0, -0.5, 0.05, -1);
    add_meander(path, 0.0, 10, 2.0, 0.1, -1.0, -0.5);
    const auto ids = label(path.x, path.y);
    for (std::size_t i = 0; i < contours; ++i) ASSERT_EQ(ids[i], -1) << "contour sample " << i;
    EXPECT_EQ(lines_recovered(ids, path.truth), 10);
}

// A contour one hatch spacing outside the part's boundary lies parallel to the connectors that
// run along the boundary; with corner delays its edges are many samples apart though they meet.
TEST(RobustLabels, ContourEdgeBesideBoundaryConnectorsIsNoHatch) {
    for (int corner_delay : {0, 20}) {
        Recorded path;
        add_meander(path, 90.0, 10, 1.0, 0.15);  // lines at x = 0, -0.15, ..., -1.35
        const std::size_t hatch = path.size();
        path.move_to(-1.5, 1.15, 0.05, -1);
        const double corners[][2] = {{0.15, 1.15}, {0.15, -0.15}, {-1.5, -0.15}, {-1.5, 1.15}};
        for (const auto& corner : corners) {
            path.move_to(corner[0], corner[1], 0.01, -1);
            path.dwell(corner_delay, -1);
        }
        path.add_noise(0.0005, 4);
        const auto ids = label(path.x, path.y);
        for (std::size_t i = hatch; i < path.size(); ++i)
            ASSERT_EQ(ids[i], -1) << "contour sample " << i << ", corner delay " << corner_delay;
        EXPECT_EQ(lines_recovered(ids, path.truth), 10) << "corner delay " << corner_delay;
    }
}

// A sliver of a part about a spacing wide, between two vertical edges, crossed by lines at 74
// degrees: each line is a third of a millimetre and begins along the common axis about where the
// one before ended, so neighbours share no extent. The connectors run along the edges.
TEST(RobustLabels, StaggeredLinesOfASliverAreHatch) {
    Recorded path;
    add_meander(path, 74.0, 15, 2.0, 0.1, -5.0, 0.0);
    const double a = 74.0 * 3.141592653589793 / 180.0;
    const double ux = std::cos(a), uy = std::sin(a), nx = -uy, ny = ux;
    const double width = 0.094, spacing = 0.1;
    const int sliver_lines = 8;
    for (int k = 0; k < sliver_lines; ++k) {
        const double bx = k * spacing * nx, by = k * spacing * ny;
        const double t_left = -bx / ux, t_right = (width - bx) / ux;
        const double t0 = k % 2 == 0 ? t_left : t_right, t1 = k % 2 == 0 ? t_right : t_left;
        path.move_to(bx + t0 * ux, by + t0 * uy, k == 0 ? 0.05 : 0.01, -1);
        path.truth.back() = 16 + k;
        path.move_to(bx + t1 * ux, by + t1 * uy, 0.01, 16 + k);
    }
    const auto ids = label(path.x, path.y);
    EXPECT_EQ(lines_recovered(ids, path.truth), 15 + sliver_lines);
    expect_ids_in_order(ids);
}

TEST(RobustLabels, DwellAtALineEndBelongsToIt) {
    Recorded path;
    add_meander(path, 30.0, 8, 1.0, 0.1);
    const std::size_t end_of_first = 100;
    path.x.insert(path.x.begin() + end_of_first, 30, path.x[end_of_first]);
    path.y.insert(path.y.begin() + end_of_first, 30, path.y[end_of_first]);
    const auto ids = label(path.x, path.y);
    for (std::size_t i = end_of_first; i < end_of_first + 30; ++i) EXPECT_EQ(ids[i], 1) << i;
}

TEST(RobustLabels, UnusableSamplesGetMinusOneAndEndTheirLine) {
    Recorded path;
    add_meander(path, 10.0, 10, 2.0, 0.1);
    path.x[100] = std::numeric_limits<double>::quiet_NaN();
    path.y[600] = std::numeric_limits<double>::infinity();
    std::vector<std::uint8_t> on(path.size(), 1);
    for (std::size_t i = 1000; i < 1010; ++i) on[i] = 0;
    const auto ids = label(path.x, path.y, on.data());
    EXPECT_EQ(ids[100], -1);
    EXPECT_EQ(ids[600], -1);
    EXPECT_NE(ids[99], ids[101]) << "a line spans a NaN";
    for (std::size_t i = 1000; i < 1010; ++i) EXPECT_EQ(ids[i], -1);
    EXPECT_NE(ids[999], ids[1010]) << "a line spans an off stretch";
    expect_ids_in_order(ids);
}

TEST(RobustLabels, AnyStrideReadsTheSameSamples) {
    Recorded path;
    add_meander(path, 80.0, 10, 1.0, 0.1);
    const auto plain = label(path.x, path.y);
    // Interleaved records of 13 bytes, read backwards from the last one: misaligned, negative.
    const std::size_t n = path.size(), record = 13;
    std::vector<unsigned char> bytes(n * record + 1);
    for (std::size_t i = 0; i < n; ++i) {
        std::memcpy(&bytes[1 + (n - 1 - i) * record], &path.x[i], 8);
    }
    std::vector<unsigned char> ybytes(n * record + 3);
    for (std::size_t i = 0; i < n; ++i) std::memcpy(&ybytes[3 + i * record], &path.y[i], 8);
    const robust::StridedSamples<double> x{&bytes[1 + (n - 1) * record], n,
                                           -static_cast<std::int64_t>(record)};
    const robust::StridedSamples<double> y{&ybytes[3], n, static_cast<std::int64_t>(record)};
    std::vector<std::int32_t> ids(n);
    robust::robust_scanlines<double>(x, y, nullptr, robust::RobustOptions{}, ids);
    EXPECT_EQ(ids, plain);
}

TEST(RobustLabels, DegenerateInputsGiveNoLines) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double big = std::numeric_limits<double>::max();
    const std::vector<std::vector<double>> inputs = {
        {},
        {1.0},
        {1.0, 2.0},
        {3.0, 3.0, 3.0, 3.0, 3.0, 3.0, 3.0, 3.0, 3.0, 3.0},
        std::vector<double>(100, nan),
        {big, -big, big, -big, big, -big, big, -big, big, -big},
        {1e-300, 2e-300, 3e-300, 4e-300, 5e-300, 6e-300, 7e-300, 8e-300, 9e-300, 1e-299}};
    for (const auto& x : inputs) {
        const auto ids = label(x, std::vector<double>(x.size(), 0.5));
        EXPECT_EQ(ids, std::vector<std::int32_t>(x.size(), -1)) << x.size() << " samples";
    }
}

}  // namespace
}  // namespace vorlane::testing
