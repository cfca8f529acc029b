// The settling of a lagged mirror onto each line: its rate measured from the data, and the
// line starts moved to where the mirror has settled, with no trim where nothing lags.
#include <gtest/gtest.h>

#include <cmath>

#include "robust/stages.hpp"
#include "robust_paths.hpp"

namespace vorlane::testing {
namespace {

constexpr double DEGREES = 30.0, SPACING = 0.1;
constexpr int LINES = 15;

Recorded lagged_meander(double time_constant, int lines = LINES) {
    Recorded path;
    add_meander(path, DEGREES, lines, 1.0, SPACING);
    if (time_constant > 0) path.add_lag(time_constant);
    return path;
}

// The stages up to the settling, over one chunk; returns the decay it measured.
double measured_decay(const Recorded& path) {
    const robust::Path<double> view{samples_of(path.x), samples_of(path.y), nullptr};
    const robust::Scales scales = robust::measure_scales(view, std::nan(""));
    auto segments = robust::straight_runs(view, scales, 0, path.size());
    robust::merge_collinear(segments, scales);
    robust::fit_and_trim(view, scales, segments);
    robust::judge_hatch(segments, scales);
    robust::extend_lines(view, scales, segments);
    return robust::settle_line_starts(view, scales, segments);
}

TEST(RobustSettling, DecayIsMeasuredFromLaggedStartsAndAbsentWithoutLag) {
    // A fast settling fades within a few of the samples the estimate pools, so it is measured
    // less closely than a slow one.
    struct Case {
        double time_constant, sigma, expected, within;
    };
    const Case cases[] = {
        {0.0, 0.0, 0.0, 0.0},
        {0.0, 0.001, 0.0, 0.0},
        {1.0, 0.0005, std::exp(-1.0), 0.12},  // a 20 us servo recorded at 50 kHz
        {3.0, 0.0005, std::exp(-1.0 / 3.0), 0.12},
        {10.0, 0.0005, std::exp(-1.0 / 10.0), 0.03},
        {10.0, 0.002, std::exp(-1.0 / 10.0), 0.03},
    };
    for (const Case& c : cases) {
        Recorded path = lagged_meander(c.time_constant, 40);
        path.add_noise(c.sigma, 5);
        EXPECT_NEAR(measured_decay(path), c.expected, c.within)
            << "time constant " << c.time_constant << " samples, noise " << c.sigma;
    }
}

// One-way lines along x: each jump back to the next line's start at five times the scan speed,
// a short delay there, and the line. The lagged mirror arrives from ahead of the start, along
// the line, and is still settling onto it sideways as the line begins.
Recorded lagged_one_way(double time_constant) {
    Recorded path;
    path.sample(0.0, 0.0, -1);
    for (int k = 0; k < 40; ++k) {
        path.move_to(0.0, k * SPACING, 0.05, -1);
        path.dwell(10, k + 1);
        path.move_to(1.0, k * SPACING, 0.01, k + 1);
        path.dwell(5, k + 1);
    }
    path.add_lag(time_constant);
    return path;
}

TEST(RobustSettling, DecayIsMeasuredFromOneWayLinesApproachedFromAhead) {
    for (double sigma : {0.0005, 0.002}) {
        Recorded path = lagged_one_way(10.0);
        path.add_noise(sigma, 9);
        EXPECT_NEAR(measured_decay(path), std::exp(-1.0 / 10.0), 0.03) << "noise " << sigma;
    }
}

// Distance of a point from meander line `line` (numbered from 1).
double offset_from_line(double x, double y, std::int32_t line) {
    const double a = DEGREES * 3.141592653589793 / 180.0;
    const double nx = -std::sin(a), ny = std::cos(a);
    return std::fabs(x * nx + y * ny - (line - 1) * SPACING);
}

// Lines that follow a turn begin where the lagged mirror has come within about a tenth of the
// sample step of them: the fit of each approach may miss by a sample or two under noise, but
// on average the starts sit at that offset, not at the straightness tolerance the labelling
// used before it knew of the lag (several micrometres), nor far into the settled line.
TEST(RobustSettling, LinesBeginWhereTheLaggedMirrorHasSettled) {
    for (double sigma : {0.0005, 0.002}) {
        const Recorded clean = lagged_meander(10.0);
        Recorded noisy = clean;
        noisy.add_noise(sigma, 9);
        const auto ids = label(noisy.x, noisy.y);
        std::int32_t seen = 0;
        double offsets = 0;
        for (std::size_t i = 0; i < ids.size(); ++i) {
            if (ids[i] <= seen) continue;
            seen = ids[i];
            if (seen == 1) continue;  // the path begins on it: nothing to settle from
            const double offset = offset_from_line(clean.x[i], clean.y[i], seen);
            offsets += offset;
            EXPECT_LT(offset, 0.007)
                << "line " << seen << " begins at " << i << ", noise " << sigma;
        }
        ASSERT_EQ(seen, LINES) << "noise " << sigma;
        const double mean = offsets / (LINES - 1);
        EXPECT_GT(mean, 0.0006) << "noise " << sigma;
        EXPECT_LT(mean, 0.0025) << "noise " << sigma;
    }
}

}  // namespace
}  // namespace vorlane::testing
