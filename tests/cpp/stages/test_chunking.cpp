// Unit tests of the chunked collapse: the range list and the per-chunk run rules, whose
// records carry global indices and which over the whole input are the sequential stages.
#include <gtest/gtest.h>

#include <random>

#include "annotation/stages/chunked_collapse.hpp"
#include "annotation/stages/stages.hpp"
#include "platform/fault.hpp"
#include "views.hpp"

namespace vorlane {
namespace {

using testing::eps;
using testing::point;
using testing::view_of;

struct RangeCase {
    std::uint64_t n;
    std::uint64_t p;
    std::vector<SampleRange> ranges;
};

TEST(ChunkRanges, MatchTheWorkedExamples) {
    const std::vector<RangeCase> cases = {
        {500000, 3, {{0, 166667}, {166667, 333334}, {333334, 500000}}},
        {500000,
         7,
         {{0, 71429},
          {71429, 142858},
          {142858, 214287},
          {214287, 285716},
          {285716, 357145},
          {357145, 428574},
          {428574, 500000}}},
        {500000, 1, {{0, 500000}}},
        {2, 3, {{0, 1}, {1, 2}}},  // fewer samples than threads
        {1, 7, {{0, 1}}},
        {5, 4, {{0, 2}, {2, 4}, {4, 5}}},  // ceil(5 / 4) = 2 leaves only three chunks
        {0, 3, {}},
        {4, 0, {{0, 4}}},  // a zero thread count is taken as one
    };
    for (const auto& c : cases) {
        EXPECT_EQ(make_chunk_ranges(c.n, c.p), c.ranges) << "n = " << c.n << ", p = " << c.p;
    }
}

TEST(ChunkRanges, TileTheInputWithAtMostPNonEmptyRanges) {
    for (std::uint64_t n = 1; n <= 120; ++n) {
        for (std::uint64_t p = 1; p <= 12; ++p) {
            const auto ranges = make_chunk_ranges(n, p);
            const std::uint64_t length = (n + p - 1) / p;
            ASSERT_FALSE(ranges.empty());
            ASSERT_LE(ranges.size(), p) << "n = " << n << ", p = " << p;
            std::uint64_t next = 0;
            for (std::size_t i = 0; i < ranges.size(); ++i) {
                ASSERT_EQ(ranges[i].start, next) << "n = " << n << ", p = " << p;
                ASSERT_LT(ranges[i].start, ranges[i].end);
                if (i + 1 < ranges.size()) {
                    ASSERT_EQ(ranges[i].end - ranges[i].start, length);
                }
                next = ranges[i].end;
            }
            ASSERT_EQ(next, n) << "n = " << n << ", p = " << p;
        }
    }
}

TEST(ChunkRanges, DoNotOverflowNearTheTopOfTheIndexRange) {
    const std::uint64_t n = ~std::uint64_t{0};
    const auto ranges = make_chunk_ranges(n, 2);
    ASSERT_EQ(ranges.size(), 2u);
    EXPECT_EQ(ranges[1].end, n);
}

template <typename T>
class ChunkTest : public ::testing::Test {};
using Widths = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ChunkTest, Widths);

TYPED_TEST(ChunkTest, XChunkUsesGlobalSampleIndices) {
    using T = TypeParam;
    std::vector<T> x{T(9), T(9), T(1), T(1), T(1), T(2), T(3), T(3)};
    std::vector<T> y{T(0), T(0), T(1), T(2), T(6), T(5), T(4), T(8)};
    // Starting inside the run of 1s, the chunk opens its first run at sample 3.
    EXPECT_EQ(collapse_x_chunk(view_of(x), view_of(y), {3, 7}),
              (FilteredList<T>{point(T(1), T(4), 3, 4), point(T(2), T(5), 5, 5),
                               point(T(3), T(4), 6, 6)}));
    EXPECT_TRUE(collapse_x_chunk(view_of(x), view_of(y), {4, 4}).empty());
}

TYPED_TEST(ChunkTest, YChunkUsesGlobalSampleIndices) {
    using T = TypeParam;
    const FilteredList<T> a{point(T(0), T(5), 0, 2), point(T(1), T(5), 3, 3),
                            point(T(3), T(5), 4, 6), point(T(2), T(7), 7, 9)};
    EXPECT_EQ(collapse_y_chunk(a, {1, 4}),
              (FilteredList<T>{point(T(2), T(5), 3, 6), point(T(2), T(7), 7, 9)}));
    EXPECT_TRUE(collapse_y_chunk(a, {2, 2}).empty());
}

TYPED_TEST(ChunkTest, RangesOutsideTheInputAreFaults) {
    using T = TypeParam;
    std::vector<T> x(4, T(0)), y(4, T(0));
    ::testing::internal::CaptureStderr();  // the fault reports
    EXPECT_THROW(collapse_x_chunk(view_of(x), view_of(y), {2, 5}), InternalFault);
    const FilteredList<T> a{point(T(0), T(0), 0, 3)};
    EXPECT_THROW(collapse_y_chunk(a, {0, 2}), InternalFault);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("lies outside the 1 elements"),
              std::string::npos);
}

// Paths with runs of equal x, drifts within the tolerance and some non-finite values.
template <typename T>
void random_path(std::mt19937_64& rng, std::size_t n, std::vector<T>& x, std::vector<T>& y) {
    std::uniform_int_distribution<int> pick(0, 9);
    x.assign(n, T(0));
    y.assign(n, T(0));
    T current = T(0);
    for (std::size_t j = 0; j < n; ++j) {
        const int choice = pick(rng);
        if (choice < 3) current = static_cast<T>(pick(rng));
        if (choice == 3) current = current + T(0.4) * eps<T>;
        if (choice == 4 && j % 17 == 0) current = testing::nan<T>;
        if (choice == 5 && std::isnan(current)) current = T(1);
        x[j] = current;
        y[j] = static_cast<T>(pick(rng) % 3);
    }
}

TYPED_TEST(ChunkTest, WholeRangeChunksAreTheSequentialStages) {
    using T = TypeParam;
    std::mt19937_64 rng(7);
    for (std::size_t n : {1u, 2u, 3u, 10u, 257u, 1000u}) {
        std::vector<T> x, y;
        random_path(rng, n, x, y);
        const FilteredList<T> a = collapse_x(view_of(x), view_of(y));
        const FilteredList<T> chunk_a = collapse_x_chunk(view_of(x), view_of(y), {0, n});
        ASSERT_EQ(chunk_a.size(), a.size()) << "n = " << n;
        for (std::size_t i = 0; i < a.size(); ++i) {
            ASSERT_TRUE(testing::same_bits(chunk_a[i].x, a[i].x) &&
                        testing::same_bits(chunk_a[i].y, a[i].y) &&
                        chunk_a[i].start_index == a[i].start_index &&
                        chunk_a[i].end_index == a[i].end_index)
                << "record " << i << " of " << n << " samples";
        }
        const FilteredList<T> b = collapse_y(a);
        const FilteredList<T> chunk_b = collapse_y_chunk(a, {0, a.size()});
        ASSERT_EQ(chunk_b.size(), b.size()) << "n = " << n;
        for (std::size_t i = 0; i < b.size(); ++i) {
            ASSERT_TRUE(testing::same_bits(chunk_b[i].x, b[i].x) &&
                        testing::same_bits(chunk_b[i].y, b[i].y) &&
                        chunk_b[i].start_index == b[i].start_index &&
                        chunk_b[i].end_index == b[i].end_index)
                << "record " << i << " of " << n << " samples";
        }
    }
}

}  // namespace
}  // namespace vorlane
