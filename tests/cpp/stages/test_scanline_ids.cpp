// Unit tests of the id assignment: reversal and spacing tests, the worked example and its
// variants, and the 32-bit id limit.
#include <gtest/gtest.h>

#include <limits>

#include "annotation/stages/scanline_ids.hpp"
#include "annotation/stages/stages.hpp"
#include "platform/fault.hpp"
#include "views.hpp"

namespace vorlane {
namespace {

using testing::nan;

template <typename T>
class ScanlineIdsTest : public ::testing::Test {};
using Widths = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ScanlineIdsTest, Widths);

TYPED_TEST(ScanlineIdsTest, ReversalNeedsMoreThan150Degrees) {
    using T = TypeParam;
    using V = Vector2<T>;
    EXPECT_FALSE(is_reversal(V{10, 0}, V{0, 10})) << "right angle";
    EXPECT_FALSE(is_reversal(V{10, 0}, V{-5, 5})) << "135 degrees";
    EXPECT_TRUE(is_reversal(V{10, 1}, V{-10, 1})) << "zig-zag";
    EXPECT_FALSE(is_reversal(V{0, 0}, V{-10, 1})) << "zero vector";
    EXPECT_FALSE(is_reversal(V{nan<T>, 1}, V{-10, 1})) << "NaN";
}

// Ids for the worked example: n = 30, turning points with runs 4..5, 10..13, 18..18, 24..26.
template <typename T>
ScanlineIds worked_example(T line3, T prev1, T prev2) {
    const TurningList<T> turns{
        {1, T(0), T(4), T(0), T(0), 4, 5},
        {2, prev1, T(4), T(10), T(1), 10, 13},
        {3, prev2, T(4), T(0), T(2), 18, 18},
        {4, T(4), line3, T(10), T(3), 24, 26},
    };
    const T threshold = compute_segment_threshold(turns);
    EXPECT_EQ(threshold, T(400));
    return assign_scanline_ids(30, turns, threshold);
}

ScanlineIds expected(std::initializer_list<std::tuple<int, int, int>> ranges) {
    ScanlineIds ids(30, -1);
    for (auto [first, last, id] : ranges) {
        for (int j = first; j <= last; ++j) ids[static_cast<std::size_t>(j)] = id;
    }
    return ids;
}

TYPED_TEST(ScanlineIdsTest, WorkedExampleAndVariants) {
    using T = TypeParam;
    EXPECT_EQ(worked_example<T>(T(1.5), T(4), T(4)),
              expected({{6, 11, 1}, {12, 18, 2}, {19, 23, 3}}))
        << "entry 3 fails the spacing test and closes the segment";
    EXPECT_EQ(worked_example<T>(T(4), T(4), T(4)), expected({{6, 11, 1}, {12, 18, 2}, {19, 25, 3}}))
        << "entry 3 passes";
    EXPECT_EQ(worked_example<T>(T(4), T(4), T(500)),
              expected({{6, 11, 1}, {12, 17, 2}, {19, 25, 3}}))
        << "entry 2 fails: its run stays -1";
    EXPECT_EQ(worked_example<T>(T(4), T(500), T(500)), expected({{19, 25, 1}}))
        << "entries 1 and 2 fail with no open segment: no id consumed";
}

TYPED_TEST(ScanlineIdsTest, FewTurnsLabelNothing) {
    using T = TypeParam;
    for (std::size_t m : {0, 1, 2}) {
        TurningList<T> turns;
        for (std::uint64_t i = 0; i < m; ++i)
            turns.push_back({i + 1, T(1), T(1), T(i), T(0), i, i});
        EXPECT_EQ(assign_scanline_ids<T>(5, turns, T(100)), ScanlineIds(5, -1)) << "m = " << m;
    }
}

TYPED_TEST(ScanlineIdsTest, SpacingTestIsStrict) {
    using T = TypeParam;
    // Entry 1 can pass through the reversal at entry 1, so its spacing decides; entry 2 is
    // too far and closes whatever is open.
    auto ids_with = [](T prev, T line) {
        const TurningList<T> turns{{1, T(0), T(4), T(0), T(0), 0, 0},
                                   {2, prev, line, T(10), T(1), 2, 3},
                                   {3, T(5000), T(4), T(0), T(2), 6, 6}};
        return assign_scanline_ids<T>(8, turns, T(1000));
    };
    EXPECT_EQ(ids_with(T(4), T(1.5)), ScanlineIds(8, -1)) << "4 * 0.5 > 1.5 fails";
    EXPECT_EQ(ids_with(T(4), T(2)), (ScanlineIds{-1, 1, 1, 2, 2, 2, -1, -1}))
        << "4 * 0.5 == 2 passes; mid of a two-sample run is its first sample";
    EXPECT_EQ(ids_with(nan<T>, T(2)), (ScanlineIds{-1, 1, 1, 2, 2, 2, -1, -1}))
        << "NaN never fails the spacing test";
}

TYPED_TEST(ScanlineIdsTest, WritesStopAtTheEndOfTheBuffer) {
    using T = TypeParam;
    const TurningList<T> turns{{1, T(0), T(4), T(0), T(0), 0, 0},
                               {2, T(4), T(4), T(10), T(1), 4, 12},
                               {3, T(4), T(4), T(0), T(2), 14, 14}};
    EXPECT_EQ(assign_scanline_ids<T>(6, turns, T(400)), (ScanlineIds{-1, 1, 1, 1, 1, 1}));
}

TEST(IdCounterTest, RefusesIdsBeyond32Bits) {
    IdCounter counter(std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(counter.consume(), std::numeric_limits<std::int32_t>::max());
    EXPECT_THROW(counter.consume(), InternalFault);
}

}  // namespace
}  // namespace vorlane
