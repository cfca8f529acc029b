// Hatch vectors too short to move along: a dot of delays between two jumps, beside the family's
// lines, is a line of its own; a dot parked away from them is not.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "robust_paths.hpp"

namespace vorlane::testing {
namespace {

constexpr double STEP = 0.01, SPACING = 0.1, LENGTH = 1.0, JUMP_STEP = 0.05;
constexpr int LINES = 12;
constexpr int DELAY = 20;

// Lines along y, SPACING apart, meandering, each jumped to and parked at both ends. After line
// `dot_after` come `dots` vectors of two steps, each one spacing beyond the one before and parked
// at both ends; after line `park_after` the mirror parks as long far from every line. `laser_on`
// gets the laser signal: off over the jumps and the delays after them, on over the vectors and
// the delays that end them. `lead_dots` such vectors lead into the first line.
Recorded lines_with_a_dot(int dot_after, int park_after,
                          std::vector<std::uint8_t>* laser_on = nullptr, int dots = 1,
                          int lead_dots = 0) {
    Recorded path;
    std::int32_t label = 1;
    const auto add_dot = [&](double x, double b) {
        path.move_to(x, b, JUMP_STEP, -1);
        path.truth.back() = label;
        path.dwell(DELAY, label);
        path.move_to(x, b + (b > 0 ? -2 : 2) * STEP, STEP, label);
        path.dwell(DELAY, label);
        ++label;
    };
    path.sample(-(lead_dots + 1) * SPACING, 0.5, -1);
    for (int d = lead_dots; d > 0; --d) add_dot(-d * SPACING, 0.0);
    path.move_to(0.0, 0.0, JUMP_STEP, -1);
    path.truth.back() = label;
    for (int k = 0; k < LINES; ++k) {
        const double x = k * SPACING;
        const double a = k % 2 == 0 ? 0.0 : LENGTH, b = LENGTH - a;
        if (k > 0) {
            path.move_to(x, a, JUMP_STEP, -1);
            path.truth.back() = label;
        }
        path.dwell(DELAY, label);
        path.move_to(x, b, STEP, label);
        path.dwell(DELAY, label);
        ++label;
        if (k == dot_after)
            for (int d = 1; d <= dots; ++d) add_dot(x + d * SPACING, b);
        if (k == park_after) {
            path.move_to(5.0, 5.0, JUMP_STEP, -1);
            path.dwell(2 * DELAY, -1);
        }
    }
    if (laser_on != nullptr) {
        // A vector's samples and its end's delay follow the delay after the jump to it.
        laser_on->assign(path.size(), 1);
        std::size_t parked = 0;
        for (std::size_t i = 1; i < path.size(); ++i) {
            const bool jumped =
                std::hypot(path.x[i] - path.x[i - 1], path.y[i] - path.y[i - 1]) > 1.5 * STEP;
            const bool still = path.x[i] == path.x[i - 1] && path.y[i] == path.y[i - 1];
            parked = jumped ? DELAY + 1 : (still && parked > 0 ? parked - 1 : 0);
            if (jumped || parked > 0) (*laser_on)[i] = 0;
        }
    }
    return path;
}

TEST(RobustDots, AVectorTooShortToMoveAlongIsALineBesideItsNeighbours) {
    Recorded path = lines_with_a_dot(LINES / 2, LINES / 4);
    path.add_noise(0.0005, 5);
    const auto ids = label(path.x, path.y);
    EXPECT_EQ(lines_recovered(ids, path.truth), LINES + 1);
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (path.x[i] > 4.0) {
            EXPECT_EQ(ids[i], -1) << "the parking at " << i;
        }
    }
}

// With the laser signal the delay before the short vector is unexposed: the dot is its exposed
// samples alone, which follow an unusable stretch in the same run between two jumps.
TEST(RobustDots, WithTheLaserSignalADotIsItsExposedSamples) {
    std::vector<std::uint8_t> on;
    const Recorded path = lines_with_a_dot(LINES / 2, LINES / 4, &on);
    const auto ids = label(path.x, path.y, on.data());
    std::vector<std::int32_t> exposed_truth = path.truth;
    for (std::size_t i = 0; i < path.size(); ++i)
        if (on[i] == 0) exposed_truth[i] = -1;
    EXPECT_EQ(lines_recovered(ids, exposed_truth), LINES + 1);
}

// Meandering lines joined by exposed connectors along the hatch's normal, but for one: after
// line `dot_after` the next vector is two steps long, reached by its connector, and ends in a
// delay before a jump on to the line after it. Only the jump and the delay after it are
// unexposed.
TEST(RobustDots, AShortVectorReachedByAConnectorIsFoundWithTheLaserSignal) {
    constexpr int dot_after = 5;
    Recorded path;
    std::vector<std::uint8_t> on;
    const auto exposed = [&](bool laser) { on.resize(path.size(), laser ? 1 : 0); };
    std::int32_t id = 1;
    path.sample(0.0, 0.0, id);
    exposed(true);
    for (int k = 0; k < LINES; ++k) {
        const double x = k * SPACING, a = k % 2 == 0 ? 0.0 : LENGTH, b = LENGTH - a;
        if (k == dot_after + 1) {  // the short vector, then the jump on
            path.move_to(x, a, STEP, -1);
            path.truth.back() = id;
            path.move_to(x, a + (a > 0 ? -2 : 2) * STEP, STEP, id);
            path.dwell(DELAY, id);
            exposed(true);
            ++id;
            path.move_to(x + SPACING, b, JUMP_STEP, -1);
            path.dwell(DELAY, -1);
            exposed(false);
            continue;
        }
        if (k > 0 && k != dot_after + 2) {
            path.move_to(x, a, STEP, -1);  // the connector
            path.truth.back() = id;
        }
        path.move_to(x, b, STEP, id);
        exposed(true);
        ++id;
    }
    path.add_noise(0.0005, 7);
    EXPECT_EQ(lines_recovered(label(path.x, path.y, on.data()), path.truth), id - 1);
}

// At a corner of a stripe or island the vectors may shorten one after another to nothing: each
// is found beside the one found before it, as are those before the recording's first line.
TEST(RobustDots, ARunOfShortVectorsIsFoundDotByDot) {
    Recorded path = lines_with_a_dot(LINES / 2, -1, nullptr, 4, 3);
    path.add_noise(0.0005, 6);
    const auto ids = label(path.x, path.y);
    EXPECT_EQ(lines_recovered(ids, path.truth), LINES + 7);
}

}  // namespace
}  // namespace vorlane::testing
