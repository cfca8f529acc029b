// Unit tests of the seam merges and of the whole chunked stages: records that meet at a chunk
// boundary fuse with sample-count weights in double; NaN keys never fuse.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

#include "annotation/stages/chunked_collapse.hpp"
#include "annotation/stages/stages.hpp"
#include "views.hpp"

namespace vorlane {
namespace {

using testing::eps;
using testing::nan;
using testing::point;
using testing::view_of;

template <typename T>
class SeamMergeTest : public ::testing::Test {};
using Widths = ::testing::Types<float, double>;
TYPED_TEST_SUITE(SeamMergeTest, Widths);

TYPED_TEST(SeamMergeTest, RunSplitAcrossABoundaryEndsInTheEarlierRecord) {
    using T = TypeParam;
    const T t = eps<T>;
    // Chunks [0, 2) and [2, 4): the run opened by sample 1 (x 0) continues in the next chunk
    // with 0.6 t and 1.2 t, which that chunk alone keeps together.
    std::vector<T> x{T(5), T(0), T(0.6) * t, T(1.2) * t}, y{T(1), T(2), T(4), T(6)};
    const FilteredList<T> sequential = collapse_x(view_of(x), view_of(y));
    EXPECT_EQ(sequential, (FilteredList<T>{point(T(5), T(1), 0, 0), point(T(0), T(3), 1, 2),
                                           point(T(1.2) * t, T(6), 3, 3)}));
    // y: (5 * 2 + 2 * 1) / 3 = 4, weighted by the samples each side covers.
    EXPECT_EQ(collapse_x_parallel(view_of(x), view_of(y), 2),
              (FilteredList<T>{point(T(5), T(1), 0, 0), point(T(0), T(4), 1, 3)}));
}

TYPED_TEST(SeamMergeTest, YSeamWeighsBySampleCount) {
    using T = TypeParam;
    const FilteredList<T> a{point(T(0), T(5), 0, 2), point(T(1), T(5), 3, 3)};
    EXPECT_EQ(collapse_y(a), (FilteredList<T>{point(T(0.5), T(5), 0, 3)}));
    EXPECT_EQ(collapse_y_parallel(a, 2), (FilteredList<T>{point(T(0.25), T(5), 0, 3)}));
}

TYPED_TEST(SeamMergeTest, OneXEverywhereFusesAllChunks) {
    using T = TypeParam;
    const std::size_t n = 10;
    std::vector<T> x(n, T(3)), y(n);
    for (std::size_t j = 0; j < n; ++j) y[j] = static_cast<T>(j);
    for (std::uint64_t p : {2u, 3u, 7u}) {
        const auto ranges = make_chunk_ranges(n, p);
        // Each chunk's own mean, then the running sample-weighted mean over the chunks.
        double merged = 0;
        std::uint64_t covered = 0;
        for (const auto& range : ranges) {
            T sum = y[range.start];
            for (std::uint64_t j = range.start + 1; j < range.end; ++j) sum = sum + y[j];
            const std::uint64_t count = range.end - range.start;
            const T mean = count == 1 ? sum : sum / static_cast<T>(count);
            if (covered == 0) {
                merged = static_cast<double>(mean);
            } else {
                merged = static_cast<double>(
                    static_cast<T>((static_cast<double>(mean) * static_cast<double>(count) +
                                    merged * static_cast<double>(covered)) /
                                   (static_cast<double>(count) + static_cast<double>(covered))));
            }
            covered += count;
        }
        EXPECT_EQ(collapse_x_parallel(view_of(x), view_of(y), p),
                  (FilteredList<T>{point(T(3), static_cast<T>(merged), 0, n - 1)}))
            << "p = " << p;
    }
}

TYPED_TEST(SeamMergeTest, LaterRecordsOfAChunkMergeIntoTheFusedRecord) {
    using T = TypeParam;
    const T t = eps<T>;
    // 0.6 t and -0.6 t are two runs of their own chunk, but both lie within t of the key 0.
    std::vector<FilteredList<T>> chunks{
        {point(T(7), T(1), 0, 0), point(T(0), T(2), 1, 1)},
        {point(T(0.6) * t, T(5), 2, 3), point(T(-0.6) * t, T(8), 4, 4), point(T(1), T(0), 5, 5)}};
    // y: (5 * 2 + 2 * 1) / 3 = 4, then (8 * 1 + 4 * 3) / 4 = 5.
    EXPECT_EQ(merge_x_seams(std::move(chunks)),
              (FilteredList<T>{point(T(7), T(1), 0, 0), point(T(0), T(5), 1, 4),
                               point(T(1), T(0), 5, 5)}));
}

TYPED_TEST(SeamMergeTest, NanKeysNeverMerge) {
    using T = TypeParam;
    struct Case {
        const char* name;
        T last_key;
        T first_key;
    };
    const Case cases[] = {{"NaN after NaN", nan<T>, nan<T>},
                          {"NaN after a number", T(1), nan<T>},
                          {"a number after NaN", nan<T>, T(1)}};
    for (const auto& c : cases) {
        std::vector<FilteredList<T>> x_chunks{{point(c.last_key, T(1), 0, 0)},
                                              {point(c.first_key, T(2), 1, 1)}};
        EXPECT_EQ(merge_x_seams(std::move(x_chunks)).size(), 2u) << c.name;
        std::vector<FilteredList<T>> y_chunks{{point(T(1), c.last_key, 0, 0)},
                                              {point(T(2), c.first_key, 1, 1)}};
        EXPECT_EQ(merge_y_seams(std::move(y_chunks)).size(), 2u) << c.name;
    }
}

TYPED_TEST(SeamMergeTest, EmptyChunkListsMergeToNothing) {
    using T = TypeParam;
    std::vector<FilteredList<T>> chunks{{}, {point(T(1), T(1), 0, 0)}, {}};
    EXPECT_EQ(merge_x_seams(std::move(chunks)), (FilteredList<T>{point(T(1), T(1), 0, 0)}));
    EXPECT_TRUE(merge_y_seams(std::vector<FilteredList<T>>{}).empty());
}

TEST(SeamMerge, FloatWeightedMeanIsTakenInDouble) {
    // (7 (1 + e) + 3 (1 + 2e)) / 10 = 1 + 1.3 e rounds to 1 + e; the same sum in float rounds
    // its products and gives 1 + 2e.
    const float e = eps<float>;
    std::vector<FilteredList<float>> chunks{{point(0.0f, 1.0f + 2 * e, 0, 2)},
                                            {point(0.0f, 1.0f + e, 3, 9)}};
    EXPECT_EQ(merge_x_seams(std::move(chunks)), (FilteredList<float>{point(0.0f, 1.0f + e, 0, 9)}));
}

template <typename T>
void expect_same_records(const FilteredList<T>& got, const FilteredList<T>& expected,
                         const std::string& what) {
    ASSERT_EQ(got.size(), expected.size()) << what;
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_TRUE(testing::same_bits(got[i].x, expected[i].x) &&
                    testing::same_bits(got[i].y, expected[i].y) &&
                    got[i].start_index == expected[i].start_index &&
                    got[i].end_index == expected[i].end_index)
            << what << ", record " << i << ": got (" << got[i].x << ", " << got[i].y << ", "
            << got[i].start_index << ".." << got[i].end_index << "), expected (" << expected[i].x
            << ", " << expected[i].y << ", " << expected[i].start_index << ".."
            << expected[i].end_index << ")";
    }
}

// Inputs whose seams fuse a lot: keys drifting within the tolerance, alternating +-0.6 t
// (every record of a chunk then fuses into one before it), constant stretches, NaN and
// infinities.
template <typename T>
std::vector<T> seam_keys(std::mt19937_64& rng, std::size_t n) {
    std::uniform_int_distribution<int> pick(0, 11);
    const T t = eps<T>;
    std::vector<T> keys(n);
    T base = T(0);
    int mode = 0;
    for (std::size_t j = 0; j < n; ++j) {
        if (pick(rng) == 0) mode = pick(rng) % 5;
        if (pick(rng) == 0) base = static_cast<T>(pick(rng) % 3);
        switch (mode) {
            case 0:
                keys[j] = base;
                break;
            case 1:
                keys[j] = base + static_cast<T>(static_cast<int>(j % 4)) * T(0.4) * t;
                break;
            case 2:
                keys[j] = base + (j % 2 == 0 ? T(0.6) : T(-0.6)) * t;
                break;
            case 3:
                keys[j] = static_cast<T>(pick(rng));
                break;
            default:
                keys[j] = pick(rng) == 0 ? nan<T> : testing::inf<T>;
        }
    }
    return keys;
}

TYPED_TEST(SeamMergeTest, ChunkedStagesEqualTheMergeOfTheChunkResults) {
    using T = TypeParam;
    std::mt19937_64 rng(5);
    for (int round = 0; round < 30; ++round) {
        const std::size_t n = 1 + rng() % 600;
        const std::vector<T> x = seam_keys<T>(rng, n);
        std::vector<T> y(n);
        for (auto& v : y) v = static_cast<T>(rng() % 7) / T(4);
        const FilteredList<T> a = collapse_x(view_of(x), view_of(y));
        // List A with y keys of the same kinds, to exercise the y seams as hard.
        FilteredList<T> a_keys = a;
        const std::vector<T> y_keys = seam_keys<T>(rng, a.size());
        for (std::size_t i = 0; i < a.size(); ++i) a_keys[i].y = y_keys[i];
        for (std::uint64_t p : {2u, 3u, 5u, 16u, 700u}) {
            const auto ranges = make_chunk_ranges(n, p);
            std::vector<FilteredList<T>> x_chunks;
            for (const auto& range : ranges) {
                x_chunks.push_back(collapse_x_chunk(view_of(x), view_of(y), range));
            }
            const std::string what = "round " + std::to_string(round) + ", p " + std::to_string(p);
            expect_same_records(collapse_x_parallel(view_of(x), view_of(y), p),
                                merge_x_seams(std::move(x_chunks)), "x stage, " + what);
            std::vector<FilteredList<T>> y_chunks;
            for (const auto& range : make_chunk_ranges(a_keys.size(), p)) {
                y_chunks.push_back(collapse_y_chunk(a_keys, range));
            }
            expect_same_records(collapse_y_parallel(a_keys, p), merge_y_seams(std::move(y_chunks)),
                                "y stage, " + what);
        }
    }
}

// The seam rule record by record, each record tested against the last one kept, whichever
// chunk it came from: the model the merges are held to.
template <typename T, T FilteredPoint<T>::* Key, T FilteredPoint<T>::* Value>
FilteredList<T> merge_record_by_record(const std::vector<FilteredList<T>>& chunks) {
    FilteredList<T> merged;
    for (const FilteredList<T>& chunk : chunks) {
        for (const FilteredPoint<T>& r : chunk) {
            if (merged.empty() || !(std::fabs(r.*Key - merged.back().*Key) < eps<T>)) {
                merged.push_back(r);
                continue;
            }
            FilteredPoint<T>& last = merged.back();
            const double w_last = static_cast<double>(last.end_index - last.start_index + 1);
            const double w_r = static_cast<double>(r.end_index - r.start_index + 1);
            const double sum =
                static_cast<double>(r.*Value) * w_r + static_cast<double>(last.*Value) * w_last;
            last.*Value = static_cast<T>(sum / (w_r + w_last));
            last.end_index = r.end_index;
        }
    }
    return merged;
}

TYPED_TEST(SeamMergeTest, MergesFuseEveryRecordThatMeetsTheLastKept) {
    using T = TypeParam;
    std::mt19937_64 rng(7);
    const auto value = [&rng] { return static_cast<T>(rng() % 7) / T(4); };
    for (int round = 0; round < 30; ++round) {
        const std::size_t n = 1 + rng() % 600;
        const std::vector<T> x = seam_keys<T>(rng, n);
        std::vector<T> y(n);
        for (auto& v : y) v = value();
        // List A with y keys of the same kinds and plain x values, for the y seams.
        FilteredList<T> a = collapse_x(view_of(x), view_of(y));
        const std::vector<T> y_keys = seam_keys<T>(rng, a.size());
        for (std::size_t i = 0; i < a.size(); ++i)
            a[i] = point(value(), y_keys[i], a[i].start_index, a[i].end_index);
        for (std::uint64_t p : {2u, 3u, 16u, 700u}) {
            std::vector<FilteredList<T>> x_chunks;
            for (const auto& range : make_chunk_ranges(n, p)) {
                x_chunks.push_back(collapse_x_chunk(view_of(x), view_of(y), range));
            }
            std::vector<FilteredList<T>> y_chunks;
            for (const auto& range : make_chunk_ranges(a.size(), p)) {
                y_chunks.push_back(collapse_y_chunk(a, range));
            }
            const std::string what = "round " + std::to_string(round) + ", p " + std::to_string(p);
            expect_same_records(
                merge_x_seams(std::vector(x_chunks)),
                merge_record_by_record<T, &FilteredPoint<T>::x, &FilteredPoint<T>::y>(x_chunks),
                "x stage, " + what);
            expect_same_records(
                merge_y_seams(std::vector(y_chunks)),
                merge_record_by_record<T, &FilteredPoint<T>::y, &FilteredPoint<T>::x>(y_chunks),
                "y stage, " + what);
        }
    }
}

// With x values that are either equal or far apart, no run depends on where a chunk starts:
// the chunked stage must then find the sequential runs exactly, whatever p.
TYPED_TEST(SeamMergeTest, ChunkedStagesKeepTheSequentialRunsOfSeparatedValues) {
    using T = TypeParam;
    std::mt19937_64 rng(11);
    std::uniform_int_distribution<int> pick(0, 5);
    const std::size_t n = 4000;
    std::vector<T> x(n), y(n);
    T current = T(0);
    for (std::size_t j = 0; j < n; ++j) {
        if (pick(rng) == 0) current = static_cast<T>(pick(rng));
        x[j] = current;
        y[j] = static_cast<T>(pick(rng) % 2);
    }
    const FilteredList<T> a = collapse_x(view_of(x), view_of(y));
    const FilteredList<T> b = collapse_y(a);
    for (std::uint64_t p : {1u, 2u, 3u, 7u, 64u}) {
        const FilteredList<T> chunked_a = collapse_x_parallel(view_of(x), view_of(y), p);
        const FilteredList<T> chunked_b = collapse_y_parallel(a, p);
        for (const auto& [seq, par, stage] :
             {std::tuple{&a, &chunked_a, "x"}, std::tuple{&b, &chunked_b, "y"}}) {
            ASSERT_EQ(par->size(), seq->size()) << stage << " stage, p = " << p;
            for (std::size_t i = 0; i < seq->size(); ++i) {
                const auto& s = (*seq)[i];
                const auto& c = (*par)[i];
                ASSERT_TRUE(s.start_index == c.start_index && s.end_index == c.end_index)
                    << stage << " stage, p = " << p << ", record " << i;
                // The key is copied; the mean only agrees up to rounding.
                if (*stage == 'x') {
                    ASSERT_EQ(s.x, c.x);
                    ASSERT_NEAR(s.y, c.y, 1e-4) << "p = " << p << ", record " << i;
                } else {
                    ASSERT_EQ(s.y, c.y);
                }
            }
        }
        if (p == 1) {
            EXPECT_EQ(chunked_a, a) << "one chunk is the sequential x stage";
            EXPECT_EQ(chunked_b, b) << "one chunk is the sequential y stage";
        }
    }
}

}  // namespace
}  // namespace vorlane
