// The streaming pass's vector loops against plain scalar models of them: the same bits, at every
// offset and length, so that lanes, tails and the choice of build cannot change an id.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "robust/stream_kernels.hpp"

namespace vorlane::testing {
namespace {

using robust::ChordLimits;
using robust::DriftTest;
using robust::FitSums;

// A noisy walk that turns now and then, so that every test sees both outcomes.
struct Walk {
    std::vector<double> x, y;
    explicit Walk(std::size_t n, unsigned seed) {
        std::mt19937_64 engine(seed);
        std::normal_distribution<double> noise(0.0, 0.002);
        double px = 140.0, py = -60.0, heading = 0.3;
        for (std::size_t i = 0; i < n; ++i) {
            if (i % 37 == 0) heading += 0.4;
            px += 0.01 * std::cos(heading);
            py += 0.01 * std::sin(heading);
            x.push_back(px + noise(engine));
            y.push_back(py + noise(engine));
        }
    }
};

TEST(StreamKernels, ChordFlagsAreTheScalarTestAtEveryLength) {
    const Walk walk(300, 1);
    const ChordLimits limits{6, 0.03 * 0.03, 0.09 * 0.09, 0.004 * 0.004};
    for (std::size_t count : {0u, 1u, 3u, 4u, 5u, 63u, 294u}) {
        std::vector<std::uint8_t> flags(count + 1, 7);
        robust::chord_flags(walk.x.data(), walk.y.data(), count, limits, {}, flags.data());
        // Prefetching the samples ahead, up to the end of the walk, changes no flag.
        std::vector<std::uint8_t> prefetched(count + 1, 7);
        const auto bytes = [](const std::vector<double>& v, std::size_t from) {
            return reinterpret_cast<const unsigned char*>(v.data() + from);
        };
        const robust::Lookahead ahead{bytes(walk.x, count), bytes(walk.y, count),
                                      (walk.x.size() - count) * sizeof(double), sizeof(double)};
        robust::chord_flags(walk.x.data(), walk.y.data(), count, limits, ahead, prefetched.data());
        EXPECT_EQ(prefetched, flags);
        for (std::size_t j = 0; j < count; ++j) {
            const double dx = walk.x[j + 6] - walk.x[j], dy = walk.y[j + 6] - walk.y[j];
            const double ex = walk.x[j + 3] - walk.x[j], ey = walk.y[j + 3] - walk.y[j];
            const double length2 = dx * dx + dy * dy, cross = ex * dy - ey * dx;
            const bool straight = length2 >= limits.min2 && length2 <= limits.max2 &&
                                  cross * cross <= limits.bend2 * length2;
            ASSERT_EQ(flags[j], straight ? 1 : 0) << "chord " << j << " of " << count;
        }
        EXPECT_EQ(flags[count], 7) << "wrote past " << count << " flags";
    }
}

TEST(StreamKernels, FitSumsAreFourScalarLanesBitForBit) {
    const Walk walk(200, 2);
    const std::vector<std::pair<std::size_t, std::size_t>> ranges = {
        {0, 0}, {3, 5}, {5, 9}, {1, 200}, {17, 150}};
    for (const auto& [from, to] : ranges) {
        FitSums sums{walk.x[from], walk.y[0]};
        sums.add(1.0, 2.0);  // sums already under way
        FitSums model = sums;
        robust::accumulate(walk.x.data(), walk.y.data(), from, to, sums);
        double lanes[5][4] = {};
        std::size_t j = from;
        for (; j + 4 <= to; j += 4) {
            for (std::size_t l = 0; l < 4; ++l) {
                const double u = walk.x[j + l] - model.origin_x;
                const double v = walk.y[j + l] - model.origin_y;
                lanes[0][l] += u, lanes[1][l] += v;
                lanes[2][l] += u * u, lanes[3][l] += u * v, lanes[4][l] += v * v;
            }
        }
        for (; j < to; ++j) model.add(walk.x[j], walk.y[j]);
        model.n += static_cast<double>((to - from) / 4 * 4);
        double* const fields[5] = {&model.su, &model.sv, &model.suu, &model.suv, &model.svv};
        for (int f = 0; f < 5; ++f)
            *fields[f] += (lanes[f][0] + lanes[f][1]) + (lanes[f][2] + lanes[f][3]);
        EXPECT_EQ(std::memcmp(&sums, &model, sizeof sums), 0) << "[" << from << ", " << to << ")";
    }
}

TEST(StreamKernels, FirstDriftIsTheFirstScalarDriftConfirmedByTheNextTest) {
    const Walk walk(400, 3);
    for (std::size_t first : {0u, 1u, 2u, 9u}) {
        for (std::size_t to : {first, first + 3, first + 40, std::size_t{390}}) {
            const DriftTest test{5, walk.x[first], walk.y[first], 0.003 * 0.003};
            const auto drifted = [&](std::size_t j) {
                const double fx = walk.x[j + 5] - test.origin_x, fy = walk.y[j + 5] - test.origin_y;
                const double gx = walk.x[j] - test.origin_x, gy = walk.y[j] - test.origin_y;
                const double cross = gx * fy - gy * fx;
                return !(cross * cross <= test.bend2 * (fx * fx + fy * fy));
            };
            std::size_t expected = to;
            for (std::size_t j = first; j < to && expected == to; j += 4)
                if (drifted(j) && j + 4 < to && drifted(j + 4)) expected = j;
            EXPECT_EQ(robust::first_drift(walk.x.data(), walk.y.data(), first, to, test), expected)
                << "tests from " << first << " below " << to;
        }
    }
}

TEST(StreamKernels, ReadingWidensAnyAddressAndSpotsEveryNonFiniteValue) {
    const double bad[] = {std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity()};
    const std::size_t n = 13;
    for (int width : {4, 8}) {
        for (std::size_t at = 0; at <= n; ++at) {  // at == n: all finite
            for (double value : bad) {
                std::vector<unsigned char> bytes(2 * n * 8 + 1);  // starts one byte in
                for (std::size_t i = 0; i < 2 * n; ++i) {
                    const double v = i % n == at ? value : 60.0 + 0.1 * static_cast<double>(i);
                    const float f = static_cast<float>(v);
                    const void* source = width == 4 ? static_cast<const void*>(&f) : &v;
                    std::memcpy(bytes.data() + 1 + i * width, source, width);
                }
                std::vector<double> xs(n), ys(n);
                const unsigned char* x = bytes.data() + 1;
                const unsigned char* y = x + n * width;
                const bool finite =
                    width == 4 ? robust::read_floats_checked(x, y, n, xs.data(), ys.data())
                               : robust::read_doubles_checked(x, y, n, xs.data(), ys.data());
                EXPECT_EQ(finite, at == n) << width << "-byte values, bad at " << at;
                EXPECT_TRUE(robust::all_finite(xs.data(), ys.data(), n) == (at == n));
                const double first = width == 4 ? static_cast<float>(60.0) : 60.0;
                if (at != 0) {
                    EXPECT_EQ(xs[0], first);
                }
            }
        }
    }
}

}  // namespace
}  // namespace vorlane::testing
