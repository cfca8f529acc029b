// The id pass in slices on the pool must write exactly the ids of the one-thread pass, every
// sample of the buffer, whatever the slices' number and wherever they cut a range.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <limits>
#include <random>

#include "annotation/passes/pooled_ids.hpp"
#include "annotation/stages/stages.hpp"
#include "generated_paths.hpp"
#include "views.hpp"

namespace vorlane {
namespace {

using testing::adversarial_values;
using testing::raster;
using testing::view_of;

// Garbage in every sample, so that a sample no slice writes shows.
constexpr std::int32_t UNWRITTEN = 0x5a5a5a5a;

ScanlineIds slice_written(std::uint64_t n, const std::vector<IdRange>& ranges, std::uint64_t begin,
                          std::uint64_t end) {
    ScanlineIds ids(n, UNWRITTEN);
    write_id_slice(ids, ranges, begin, end);
    return ids;
}

TEST(IdSliceTest, WritesItsSliceOnly) {
    const std::vector<IdRange> ranges{{2, 4, 1}, {5, 6, 2}, {9, 40, 3}};
    constexpr std::int32_t U = UNWRITTEN;
    struct Case {
        const char* what;
        std::uint64_t begin, end;
        ScanlineIds want;
    };
    const Case cases[] = {
        {"whole buffer", 0, 12, {-1, -1, 1, 1, 1, 2, 2, -1, -1, 3, 3, 3}},
        {"cuts a range at both ends", 3, 6, {U, U, U, 1, 1, 2, U, U, U, U, U, U}},
        {"a gap alone", 7, 9, {U, U, U, U, U, U, U, -1, -1, U, U, U}},
        {"a range past the buffer's end is clipped", 10, 100, {U, U, U, U, U, U, U, U, U, U, 3, 3}},
        {"empty slice", 5, 5, {U, U, U, U, U, U, U, U, U, U, U, U}},
        {"slice beyond the end", 12, 20, {U, U, U, U, U, U, U, U, U, U, U, U}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(slice_written(12, ranges, c.begin, c.end), c.want) << c.what;
    }
    EXPECT_EQ(slice_written(4, {}, 0, 4), ScanlineIds(4, -1)) << "no ranges";
    const std::vector<IdRange> to_the_last{{1, std::numeric_limits<std::uint64_t>::max(), 9}};
    EXPECT_EQ(slice_written(3, to_the_last, 0, 3), (ScanlineIds{-1, 9, 9})) << "no wrap";
}

template <typename T>
class PooledIdsTest : public ::testing::Test {};
using Widths = ::testing::Types<float, double>;
TYPED_TEST_SUITE(PooledIdsTest, Widths);

template <typename T>
void expect_same_ids(const std::vector<T>& x, const std::vector<T>& y) {
    const TurningList<T> turns =
        order_turning_points(find_turning_points(collapse_y(collapse_x(view_of(x), view_of(y)))));
    const T threshold = compute_segment_threshold(turns);
    const ScanlineIds want = assign_scanline_ids(x.size(), turns, threshold);
    EXPECT_EQ(scanline_id_ranges(turns, threshold).empty(),
              std::count(want.begin(), want.end(), -1) == std::ssize(want));
    for (std::uint64_t slices : {1, 2, 3, 7, 64}) {
        ScanlineIds pooled(x.size(), UNWRITTEN);
        assign_scanline_ids_pooled<T>(pooled, turns, threshold, slices);
        EXPECT_EQ(pooled, want) << slices << " slices, n = " << x.size();
    }
}

TYPED_TEST(PooledIdsTest, MatchesTheOneThreadPassOnRasters) {
    using T = TypeParam;
    std::mt19937_64 rng(16);
    for (int trial = 0; trial < 40; ++trial) {
        std::vector<T> x, y;
        raster<T>(rng, 4 + rng() % 40, x, y);
        expect_same_ids(x, y);
        if (this->HasFailure()) {
            ADD_FAILURE() << "trial " << trial;
            return;
        }
    }
}

TYPED_TEST(PooledIdsTest, MatchesTheOneThreadPassOnAdversarialPaths) {
    using T = TypeParam;
    std::mt19937_64 rng(1016);
    for (int trial = 0; trial < 40; ++trial) {
        const std::size_t n = 1 + rng() % 5000;
        expect_same_ids(adversarial_values<T>(rng, n), adversarial_values<T>(rng, n));
        if (this->HasFailure()) {
            ADD_FAILURE() << "trial " << trial;
            return;
        }
    }
}

}  // namespace
}  // namespace vorlane
