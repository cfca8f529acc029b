// The scales the robust core measures from the data: noise, step, and the thresholds from them.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "robust/stages.hpp"
#include "robust_paths.hpp"

namespace vorlane::testing {
namespace {

robust::Scales scales_of(const Recorded& path, double tolerance = std::nan("")) {
    const robust::Path<double> view{samples_of(path.x), samples_of(path.y), nullptr};
    return robust::measure_scales(view, tolerance);
}

TEST(RobustScales, NoiseAndStepAreMeasuredFromTheData) {
    struct Case {
        double sigma;
        double noise_low, noise_high;
    };
    const Case cases[] = {{0.0, 0.0, 1e-6}, {0.0005, 0.0004, 0.0006}, {0.002, 0.0016, 0.0024}};
    for (const Case& c : cases) {
        Recorded path;
        add_meander(path, 23.0, 40, 2.0, 0.1);
        path.add_noise(c.sigma, 7);
        const robust::Scales s = scales_of(path);
        EXPECT_TRUE(s.usable) << c.sigma;
        EXPECT_GE(s.noise, c.noise_low) << "sigma " << c.sigma;
        EXPECT_LE(s.noise, c.noise_high) << "sigma " << c.sigma;
        EXPECT_NEAR(s.step, 0.01, 0.002) << "sigma " << c.sigma;
        EXPECT_GE(s.tolerance, 3 * c.sigma) << "a line's own noise must pass";
    }
}

TEST(RobustScales, DwellsAndJumpsDoNotMoveTheStep) {
    Recorded path;
    add_meander(path, 0.0, 10, 1.0, 0.1);
    for (int k = 0; k < 20; ++k) {
        path.dwell(20, -1);
        path.x.push_back(path.x.back() + 1.0);  // a jump of 100 steps in one sample
        path.y.push_back(path.y.back());
        path.truth.push_back(-1);
    }
    EXPECT_NEAR(scales_of(path).step, 0.01, 1e-9);
}

TEST(RobustScales, NoisyDelaysOutnumberingTheLinesDoNotSetTheStep) {
    // One-way lines of 50 samples, each after a 100-sample jump delay and followed by a jump
    // back at three times the scan speed, under 2 um of noise: the parked mirror's small steps
    // are most of the steps that move, and the jumps the fastest steady ones.
    Recorded path;
    path.sample(0.0, 0.0, -1);
    for (int k = 0; k < 60; ++k) {
        const double y = 0.1 * k;
        path.move_to(0.0, y, 0.03, -1);
        path.dwell(100, k + 1);
        path.move_to(0.5, y, 0.01, k + 1);
    }
    path.add_noise(0.002, 11);
    EXPECT_NEAR(scales_of(path).step, 0.01, 0.0005);
}

// An encoder's step is how close a settling mirror can be seen to come; without one, a tenth
// of the sample step stands for it. Grids that are no encoder's (a float's own near far
// coordinates, a clean raster laid on whole steps) must not pass for one.
TEST(RobustScales, TheEncoderStepSetsHowCloseASettledMirrorIs) {
    struct Case {
        const char* what;
        double degrees, offset, sigma, quantum;
        bool as_float;
        double settled;
    };
    const Case cases[] = {
        {"half-micrometre encoder", 23.0, 0.0, 0.0003, 0.0005, false, 0.0005},
        {"the same in float32 far out", 23.0, 140.0, 0.0003, 0.0005, true, 0.0005},
        {"a clean one at 45 degrees", 45.0, 0.0, 0.0, 0.001, false, 0.001},
        {"noise without an encoder", 23.0, 0.0, 0.0005, 0.0, false, 0.001},
        {"a grid too fine to be an encoder's", 23.0, 0.0, 0.0005, 1e-5, false, 0.001},
        {"float32 far out without an encoder", 23.0, 140.0, 0.0005, 0.0, true, 0.001},
    };
    for (const Case& c : cases) {
        Recorded path;
        add_meander(path, c.degrees, 40, 2.0, 0.1, c.offset, c.offset);
        path.add_noise(c.sigma, 5);
        for (std::vector<double>* axis : {&path.x, &path.y})
            for (double& v : *axis) {
                if (c.quantum > 0) v = std::nearbyint(v / c.quantum) * c.quantum;
                if (c.as_float) v = static_cast<float>(v);
            }
        robust::Scales s;
        if (c.as_float) {
            const std::vector<float> fx(path.x.begin(), path.x.end());
            const std::vector<float> fy(path.y.begin(), path.y.end());
            s = robust::measure_scales(robust::Path<float>{samples_of(fx), samples_of(fy), nullptr},
                                       std::nan(""));
        } else {
            s = scales_of(path);
        }
        EXPECT_NEAR(s.settled, c.settled, 0.02 * c.settled) << c.what;
    }
    Recorded raster;  // every step 10 um along an axis or across to the next line
    add_meander(raster, 0.0, 40, 2.0, 0.1);
    EXPECT_LE(scales_of(raster).settled, 0.001) << "the sample step is no encoder's";
}

TEST(RobustScales, GivenToleranceReplacesTheDerivedOne) {
    Recorded path;
    add_meander(path, 10.0, 10, 1.0, 0.1);
    EXPECT_DOUBLE_EQ(scales_of(path, 0.003).tolerance, 0.003);
    EXPECT_DOUBLE_EQ(scales_of(path, -1.0).tolerance, scales_of(path).tolerance);
}

TEST(RobustScales, PathsWithoutScaleAreNotUsable) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<std::vector<double>> xs = {{},
                                                 {1.0},
                                                 {2.0, 2.0, 2.0, 2.0},
                                                 {nan, nan, nan},
                                                 {inf, -inf, inf, -inf},
                                                 {0, 1e300, -1e300, 1e300}};
    for (const auto& x : xs) {
        Recorded path;
        path.x = x;
        path.y = std::vector<double>(x.size(), 0.0);
        EXPECT_FALSE(scales_of(path).usable) << "path of " << x.size() << " samples";
    }
}

}  // namespace
}  // namespace vorlane::testing
