// Hatch vectors too short to move along: a dot of delays between two jumps, beside the family's
// lines, is a line of its own; a dot parked away from them is not.
#include <gtest/gtest.h>

#include "robust_paths.hpp"

namespace vorlane::testing {
namespace {

constexpr double STEP = 0.01, SPACING = 0.1, LENGTH = 1.0, JUMP_STEP = 0.05;
constexpr int LINES = 12;
constexpr int DELAY = 20;

// Lines along y, SPACING apart, meandering, each jumped to and parked at both ends. After line
// `dot_after` comes a vector of two steps one spacing beyond it, parked at both ends; after line
// `park_after` the mirror parks as long far from every line.
Recorded lines_with_a_dot(int dot_after, int park_after) {
    Recorded path;
    std::int32_t label = 1;
    path.sample(0.0, 0.0, label);
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
        if (k == dot_after) {
            path.move_to(x + SPACING, b, JUMP_STEP, -1);
            path.truth.back() = label;
            path.dwell(DELAY, label);
            path.move_to(x + SPACING, b + (b > 0 ? -2 : 2) * STEP, STEP, label);
            path.dwell(DELAY, label);
            ++label;
        }
        if (k == park_after) {
            path.move_to(5.0, 5.0, JUMP_STEP, -1);
            path.dwell(2 * DELAY, -1);
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

}  // namespace
}  // namespace vorlane::testing
