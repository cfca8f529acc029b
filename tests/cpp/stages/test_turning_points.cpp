// Unit tests of turning-point detection and of the assembly of the two lists.
#include <gtest/gtest.h>

#include <cmath>

#include "annotation/stages/stages.hpp"
#include "views.hpp"

namespace vorlane {
namespace {

using testing::eps;
using testing::nan;
using testing::path_of;

template <typename T>
class TurningPointsTest : public ::testing::Test {};
using Widths = ::testing::Types<float, double>;
TYPED_TEST_SUITE(TurningPointsTest, Widths);

template <typename T>
TurningPoint<T> turn(std::uint64_t index, T prev, T line, T x, T y) {
    return TurningPoint<T>{index, prev, line, x, y, index, index};
}

template <typename T>
std::vector<std::uint64_t> indices(const TurningList<T>& turns) {
    std::vector<std::uint64_t> out;
    for (const auto& t : turns) out.push_back(t.filtered_index);
    return out;
}

TYPED_TEST(TurningPointsTest, ShortPathsHaveNoTurns) {
    using T = TypeParam;
    for (std::size_t s : {0, 1}) {
        auto lists = find_turning_points(path_of<T>(std::vector<std::pair<T, T>>(s, {T(0), T(0)})));
        EXPECT_TRUE(lists.falling_turns.empty() && lists.rising_turns.empty()) << "s = " << s;
    }
    auto lists = find_turning_points(path_of<T>({{T(0), T(0)}, {T(1), T(1)}}));
    EXPECT_EQ(lists.falling_turns.size(), 1u);
    EXPECT_EQ(lists.rising_turns.size(), 1u);
    EXPECT_EQ(lists.falling_turns[0], lists.rising_turns[0]) << "both lists start with the seed";
}

TYPED_TEST(TurningPointsTest, ZigzagListsAndDistances) {
    using T = TypeParam;
    auto lists = find_turning_points(
        path_of<T>({{T(0), T(0)}, {T(1), T(1)}, {T(2), T(0)}, {T(3), T(1)}, {T(4), T(0)}}));
    const TurningPoint<T> seed = turn<T>(0, T(0), T(0), T(0), T(0));
    EXPECT_EQ(lists.falling_turns, (TurningList<T>{seed, turn<T>(1, T(2), T(1), T(1), T(1)),
                                                   turn<T>(3, T(4), T(2), T(3), T(1))}));
    EXPECT_EQ(lists.rising_turns, (TurningList<T>{seed, turn<T>(2, T(4), T(2), T(2), T(0))}));

    const TurningList<T> ordered = order_turning_points(std::move(lists));
    EXPECT_EQ(indices(ordered), (std::vector<std::uint64_t>{2, 3}));
}

TYPED_TEST(TurningPointsTest, MonotonePathsHaveOnlySeeds) {
    using T = TypeParam;
    for (T sense : {T(1), T(-1)}) {
        auto lists = find_turning_points(
            path_of<T>({{T(0), T(0)}, {T(1), sense}, {T(2), T(3) * sense}, {T(4), T(4) * sense}}));
        EXPECT_EQ(lists.falling_turns.size(), 1u);
        EXPECT_EQ(lists.rising_turns.size(), 1u);
    }
}

TYPED_TEST(TurningPointsTest, FlatRunsCarryTheDirection) {
    using T = TypeParam;
    // Up, flat, flat, down: the turn is where the down step begins (filtered point 3).
    auto lists = find_turning_points(
        path_of<T>({{T(0), T(0)}, {T(1), T(1)}, {T(2), T(1)}, {T(3), T(1)}, {T(4), T(0)}}));
    EXPECT_EQ(indices(lists.falling_turns), (std::vector<std::uint64_t>{0, 3}));
    EXPECT_EQ(lists.falling_turns[1].line_dist_sq, T(9)) << "first turn: squared x offset";
    EXPECT_EQ(lists.falling_turns[1].prev_dist_sq, T(10)) << "measured from p[0]";
}

TYPED_TEST(TurningPointsTest, FlatFirstStepStartsRising) {
    using T = TypeParam;
    // The first step is flat in y, so the direction starts at 1: the first down step turns.
    auto lists = find_turning_points(
        path_of<T>({{T(0), T(0)}, {T(1), eps<T> / T(4)}, {T(2), T(-1)}, {T(3), T(-2)}}));
    EXPECT_EQ(indices(lists.falling_turns), (std::vector<std::uint64_t>{0, 1}));
}

TYPED_TEST(TurningPointsTest, NearVerticalLineUsesXOffsetFromRising) {
    using T = TypeParam;
    // A top at (1, 2) and a bottom at (1, 0): the next turn's line distance is its squared
    // x offset from the bottom.
    auto lists = find_turning_points(path_of<T>(
        {{T(0), T(0)}, {T(1), T(2)}, {T(2), T(1)}, {T(1), T(0)}, {T(4), T(3)}, {T(5), T(1)}}));
    EXPECT_EQ(indices(lists.falling_turns), (std::vector<std::uint64_t>{0, 1, 4}));
    EXPECT_EQ(indices(lists.rising_turns), (std::vector<std::uint64_t>{0, 3}));
    EXPECT_EQ(lists.falling_turns[2].line_dist_sq, T(9));
    EXPECT_EQ(lists.falling_turns[2].prev_dist_sq, T(10));
}

TYPED_TEST(TurningPointsTest, NanDirectionChainGoesToRising) {
    using T = TypeParam;
    // Steps into and out of a NaN x are NaN directions: each records a rising turn, until
    // the first numeric direction records one more in the list its sign selects.
    auto lists = find_turning_points(path_of<T>(
        {{T(0), T(0)}, {T(1), T(1)}, {nan<T>, T(2)}, {T(3), T(3)}, {T(4), T(4)}, {T(5), T(3)}}));
    EXPECT_EQ(indices(lists.rising_turns), (std::vector<std::uint64_t>{0, 1, 2, 3}));
    EXPECT_EQ(indices(lists.falling_turns), (std::vector<std::uint64_t>{0, 4}));
}

TYPED_TEST(TurningPointsTest, NegativeZeroDirectionTurnsButJoinsRising) {
    using T = TypeParam;
    const T huge = std::numeric_limits<T>::max();
    // Up, then a step of -eps over a huge x distance, whose quotient underflows to -0: a turn
    // (sign class -1) that joins the rising list because -0 is not below zero.
    auto lists =
        find_turning_points(path_of<T>({{T(0), T(0)}, {T(1), T(1)}, {huge, T(1) - eps<T>}}));
    EXPECT_EQ(indices(lists.rising_turns), (std::vector<std::uint64_t>{0, 1}));
    EXPECT_EQ(lists.falling_turns.size(), 1u);
}

TYPED_TEST(TurningPointsTest, OrderingTrimsAndInterleaves) {
    using T = TypeParam;
    const TurningPoint<T> seed = turn<T>(0, T(0), T(0), T(0), T(0));
    auto make = [&](std::vector<std::uint64_t> falling, std::vector<std::uint64_t> rising) {
        TurningListPair<T> lists{{seed}, {seed}};
        for (auto i : falling) lists.falling_turns.push_back(turn<T>(i, T(1), T(1), T(0), T(0)));
        for (auto i : rising) lists.rising_turns.push_back(turn<T>(i, T(1), T(1), T(0), T(0)));
        return indices(order_turning_points(std::move(lists)));
    };
    using V = std::vector<std::uint64_t>;
    EXPECT_EQ(make({}, {}), V{});
    EXPECT_EQ(make({4}, {}), V{}) << "a single falling turn is the earliest and is dropped";
    EXPECT_EQ(make({}, {4}), V{4});
    EXPECT_EQ(make({2, 4, 6}, {1, 3, 5, 7}), (V{1, 3, 4, 5, 6, 7}));
    EXPECT_EQ(make({4}, {3, 5}), (V{3, 5})) << "rising, falling, rising: the two rising meet";
    EXPECT_EQ(order_turning_points(TurningListPair<T>{}).size(), 0u);
}

}  // namespace
}  // namespace vorlane
