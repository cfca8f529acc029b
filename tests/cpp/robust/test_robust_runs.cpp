// The streaming pass and its seam rule: one straight stretch per line, whatever the chunking.
#include <gtest/gtest.h>

#include <cmath>

#include "robust/stages.hpp"
#include "robust_paths.hpp"

namespace vorlane::testing {
namespace {

robust::Path<double> view_of(const Recorded& path) {
    return robust::Path<double>{samples_of(path.x), samples_of(path.y), nullptr};
}

std::vector<robust::Segment> joined_runs(const Recorded& path, std::uint64_t chunk) {
    const auto view = view_of(path);
    const robust::Scales scales = robust::measure_scales(view, std::nan(""));
    std::vector<robust::Segment> all;
    for (std::uint64_t begin = 0; begin < path.size(); begin += chunk) {
        auto part =
            robust::straight_runs(view, scales, begin, std::min(begin + chunk, path.size()));
        all.insert(all.end(), part.begin(), part.end());
    }
    robust::merge_collinear(all, scales);
    return all;
}

// The lines the later stages make of the stretches.
std::vector<robust::Segment> lines_of(const Recorded& path, std::uint64_t chunk) {
    const auto view = view_of(path);
    const robust::Scales scales = robust::measure_scales(view, std::nan(""));
    auto runs = joined_runs(path, chunk);
    robust::fit_and_trim(view, scales, runs);
    robust::judge_hatch(runs, scales);
    robust::extend_lines(view, scales, runs);
    std::erase_if(runs, [](const robust::Segment& s) { return s.rejected != nullptr; });
    return runs;
}

TEST(RobustRuns, EachLineIsOneStretchWhereverChunksAreCut) {
    Recorded path;
    add_meander(path, 67.0, 12, 1.5, 0.1);
    path.add_noise(0.001, 3);
    const auto whole = lines_of(path, path.size());
    ASSERT_EQ(whole.size(), 12u);
    for (std::uint64_t chunk : {150u, 433u, 1000u}) {
        const auto cut = lines_of(path, chunk);
        ASSERT_EQ(cut.size(), whole.size()) << "chunk " << chunk;
        for (std::size_t i = 0; i < cut.size(); ++i) {
            EXPECT_EQ(cut[i].first, whole[i].first) << "chunk " << chunk << " line " << i;
            EXPECT_EQ(cut[i].last, whole[i].last) << "chunk " << chunk << " line " << i;
        }
    }
}

TEST(RobustRuns, FitSumsHoldExactlyEachStretchsSamples) {
    // Drift splits and trims must keep the sums and the sample range in step, or a refit
    // after trimming follows samples the stretch no longer has.
    Recorded path;
    add_meander(path, 12.0, 6, 1.0, 0.1);
    add_polygon(path, 0.5, 3.0, 1.0, 360);
    path.add_noise(0.001, 5);
    const auto view = view_of(path);
    const robust::Scales scales = robust::measure_scales(view, std::nan(""));
    auto runs = joined_runs(path, path.size());
    robust::fit_and_trim(view, scales, runs);
    for (const auto& r : runs)
        EXPECT_EQ(r.sums.n, static_cast<double>(r.last - r.first + 1))
            << "stretch [" << r.first << ", " << r.last << "]";
}

TEST(RobustRuns, CircleSplitsWhereItsHeadingDrifts) {
    Recorded path;
    add_polygon(path, 0.0, 0.0, 3.0, 720);
    const auto runs = joined_runs(path, path.size());
    ASSERT_FALSE(runs.empty());
    for (const auto& r : runs) {
        const double chord = std::hypot(r.last_x - r.first_x, r.last_y - r.first_y);
        EXPECT_LT(chord, 1.5) << "a stretch of the circle is too long to be straight";
    }
}

TEST(RobustRuns, NoStretchSpansAnUnusableSample) {
    Recorded path;
    add_meander(path, 0.0, 1, 2.0, 0.1);
    path.y[100] = std::nan("");
    std::vector<std::uint8_t> on(path.size(), 1);
    on[150] = 0;
    const robust::Path<double> view{samples_of(path.x), samples_of(path.y), on.data()};
    const robust::Scales scales = robust::measure_scales(view, std::nan(""));
    auto runs = robust::straight_runs(view, scales, 0, path.size());
    robust::merge_collinear(runs, scales);
    for (const auto& r : runs) {
        EXPECT_FALSE(r.first <= 100 && r.last >= 100);
        EXPECT_FALSE(r.first <= 150 && r.last >= 150);
    }
}

TEST(RobustFit, MergedSumsMatchSumsGatheredInOne) {
    robust::FitSums one{140.0, 150.0}, left{140.0, 150.0}, right{147.0, 151.0};
    for (int i = 0; i < 100; ++i) {
        const double x = 140.0 + 0.01 * i, y = 150.0 + 0.004 * i + ((i % 3) - 1) * 1e-4;
        one.add(x, y);
        (i < 40 ? left : right).add(x, y);
    }
    left.merge(right);
    const auto a = robust::fit_line(one, 140.0, 150.0, 141.0, 150.4);
    const auto b = robust::fit_line(left, 140.0, 150.0, 141.0, 150.4);
    EXPECT_NEAR(a.cx, b.cx, 1e-12);
    EXPECT_NEAR(a.uy, b.uy, 1e-12);
    EXPECT_NEAR(a.rms, b.rms, 1e-9);
    EXPECT_GT(a.ux, 0.0) << "direction follows the recording";
}

}  // namespace
}  // namespace vorlane::testing
