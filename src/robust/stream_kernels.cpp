// The streaming pass's inner loops over four-lane vectors (see stream_kernels.hpp). They take
// and return no vector, since the calling convention of vectors differs between the builds.
#include "robust/stream_kernels.hpp"

#include <algorithm>
#include <cstring>

namespace vorlane::robust {
namespace {

using Lanes [[gnu::vector_size(32)]] = double;
using LaneMask [[gnu::vector_size(32)]] = std::int64_t;  // comparison results: -1 or 0 a lane
using MaskBytes [[gnu::vector_size(32)]] = std::uint8_t;
using LaneBytes [[gnu::vector_size(4)]] = std::uint8_t;
constexpr std::size_t LANES = 4;

// Vectors pass by reference only: their calling convention differs between the builds.
[[gnu::always_inline]] inline void load(Lanes& into, const double* from) noexcept {
    std::memcpy(&into, from, sizeof into);
}

// v - v is zero for finite v and NaN otherwise, and a NaN stays in a sum: the sums are zero
// exactly when every value was finite, in whatever order they were added.
[[gnu::always_inline]] inline bool lanes_zero(const Lanes& sum) noexcept {
    return sum[0] == 0.0 && sum[1] == 0.0 && sum[2] == 0.0 && sum[3] == 0.0;
}

template <typename T>
[[gnu::always_inline]] inline bool read_lanes(const unsigned char* x, const unsigned char* y,
                                              std::size_t count, double* xs, double* ys) noexcept {
    using Source [[gnu::vector_size(LANES * sizeof(T))]] = T;
    Lanes finite{};
    std::size_t j = 0;
    for (; j + LANES <= count; j += LANES) {
        Source sx, sy;
        std::memcpy(&sx, x + j * sizeof(T), sizeof sx);
        std::memcpy(&sy, y + j * sizeof(T), sizeof sy);
        const Lanes vx = __builtin_convertvector(sx, Lanes);
        const Lanes vy = __builtin_convertvector(sy, Lanes);
        std::memcpy(xs + j, &vx, sizeof vx);
        std::memcpy(ys + j, &vy, sizeof vy);
        finite += (vx - vx) + (vy - vy);
    }
    for (; j < count; ++j) {
        T vx, vy;
        std::memcpy(&vx, x + j * sizeof(T), sizeof vx);
        std::memcpy(&vy, y + j * sizeof(T), sizeof vy);
        xs[j] = static_cast<double>(vx);
        ys[j] = static_cast<double>(vy);
        finite[0] += (xs[j] - xs[j]) + (ys[j] - ys[j]);
    }
    return lanes_zero(finite);
}

}  // namespace

[[gnu::target_clones("avx2", "default")]] bool read_floats_checked(const unsigned char* x,
                                                                   const unsigned char* y,
                                                                   std::size_t count, double* xs,
                                                                   double* ys) noexcept {
    return read_lanes<float>(x, y, count, xs, ys);
}

[[gnu::target_clones("avx2", "default")]] bool read_doubles_checked(const unsigned char* x,
                                                                    const unsigned char* y,
                                                                    std::size_t count, double* xs,
                                                                    double* ys) noexcept {
    return read_lanes<double>(x, y, count, xs, ys);
}

[[gnu::target_clones("avx2", "default")]] bool all_finite(const double* xs, const double* ys,
                                                          std::size_t count) noexcept {
    Lanes finite{};
    std::size_t j = 0;
    for (; j + LANES <= count; j += LANES) {
        Lanes vx, vy;
        load(vx, xs + j);
        load(vy, ys + j);
        finite += (vx - vx) + (vy - vy);
    }
    for (; j < count; ++j) finite[0] += (xs[j] - xs[j]) + (ys[j] - ys[j]);
    return lanes_zero(finite);
}

// Chord j..j+k is straight when its length lies in the speed band and its middle sample sits
// within the bend tolerance of it; a NaN fails every comparison.
[[gnu::target_clones("avx2", "default")]] void chord_flags(const double* xs, const double* ys,
                                                           std::size_t count,
                                                           const ChordLimits& limits,
                                                           const Lookahead& ahead,
                                                           std::uint8_t* flags) noexcept {
    constexpr std::size_t CACHE_LINE = 64;
    const std::size_t k = limits.window;
    const std::size_t half = k / 2;
    const Lanes min2 = Lanes{} + limits.min2;
    const Lanes max2 = Lanes{} + limits.max2;
    const Lanes bend2 = Lanes{} + limits.bend2;
    std::size_t j = 0;
    // Chords between two prefetches: a cache line's worth of the lookahead's samples, a whole
    // number of vectors (the widths divide the line); all of them without a lookahead.
    const std::size_t per_line =
        ahead.bytes > 0 ? std::max(LANES, CACHE_LINE / ahead.width / LANES * LANES) : count;
    for (std::size_t line = 0; j + LANES <= count; line += CACHE_LINE) {
        if (line < ahead.bytes) {
            __builtin_prefetch(ahead.x + line);
            __builtin_prefetch(ahead.y + line);
        }
        const std::size_t group_end = std::min(count, j + per_line);
        for (; j + LANES <= group_end; j += LANES) {
            Lanes x0, y0, xk, yk, xh, yh;
            load(x0, xs + j);
            load(y0, ys + j);
            load(xk, xs + j + k);
            load(yk, ys + j + k);
            load(xh, xs + j + half);
            load(yh, ys + j + half);
            const Lanes dx = xk - x0;
            const Lanes dy = yk - y0;
            const Lanes ex = xh - x0;
            const Lanes ey = yh - y0;
            const Lanes length2 = dx * dx + dy * dy;
            const Lanes cross = ex * dy - ey * dx;
            const LaneMask straight =
                (length2 >= min2) & (length2 <= max2) & (cross * cross <= bend2 * length2);
            // The low byte of each lane, picked by a shuffle: a narrowing conversion would extract
            // the lanes one by one.
            const MaskBytes mask_bytes = (MaskBytes)(straight & 1);
            const LaneBytes bytes = __builtin_shufflevector(mask_bytes, mask_bytes, 0, 8, 16, 24);
            std::memcpy(flags + j, &bytes, sizeof bytes);
        }
    }
    for (; j < count; ++j) {
        const double dx = xs[j + k] - xs[j];
        const double dy = ys[j + k] - ys[j];
        const double ex = xs[j + half] - xs[j];
        const double ey = ys[j + half] - ys[j];
        const double length2 = dx * dx + dy * dy;
        const double cross = ex * dy - ey * dx;
        const bool straight = length2 >= limits.min2 && length2 <= limits.max2 &&
                              cross * cross <= limits.bend2 * length2;
        flags[j] = straight ? 1 : 0;
    }
}

namespace {

// Whether sample j, seen from the origin, has left the chord from the origin to sample j + k.
[[gnu::always_inline]] inline bool drifted(const double* xs, const double* ys, std::size_t j,
                                           const DriftTest& test) noexcept {
    const double fx = xs[j + test.window] - test.origin_x;
    const double fy = ys[j + test.window] - test.origin_y;
    const double gx = xs[j] - test.origin_x;
    const double gy = ys[j] - test.origin_y;
    const double cross = gx * fy - gy * fx;
    return !(cross * cross <= test.bend2 * (fx * fx + fy * fy));
}

}  // namespace

// Four tests a vector, their samples gathered lane by lane; a lane that drifts is confirmed
// (or not) by the scalar test, whose arithmetic is the same. The samples a window on are read
// through pointers of their own, so that all sixteen loads are fixed offsets from four
// registers.
[[gnu::target_clones("avx2", "default")]] std::size_t first_drift(const double* xs,
                                                                  const double* ys,
                                                                  std::size_t first, std::size_t to,
                                                                  const DriftTest& test) noexcept {
    constexpr std::size_t E = DRIFT_EVERY;
    const double* const xk = xs + test.window;
    const double* const yk = ys + test.window;
    const Lanes ox = Lanes{} + test.origin_x;
    const Lanes oy = Lanes{} + test.origin_y;
    const Lanes bend2 = Lanes{} + test.bend2;
    const auto confirmed = [&](std::size_t j) {
        return j + E < to && drifted(xs, ys, j + E, test);
    };
    std::size_t j = first;
    for (; j + (LANES - 1) * E < to; j += LANES * E) {
        const Lanes gx = Lanes{xs[j], xs[j + E], xs[j + 2 * E], xs[j + 3 * E]} - ox;
        const Lanes gy = Lanes{ys[j], ys[j + E], ys[j + 2 * E], ys[j + 3 * E]} - oy;
        const Lanes fx = Lanes{xk[j], xk[j + E], xk[j + 2 * E], xk[j + 3 * E]} - ox;
        const Lanes fy = Lanes{yk[j], yk[j + E], yk[j + 2 * E], yk[j + 3 * E]} - oy;
        const Lanes cross = gx * fy - gy * fx;
        const LaneMask held = cross * cross <= bend2 * (fx * fx + fy * fy);
        if ((held[0] & held[1] & held[2] & held[3]) != 0) continue;
        for (std::size_t lane = 0; lane < LANES; ++lane) {
            const std::size_t at = j + lane * E;
            if (held[lane] == 0 && confirmed(at)) return at;
        }
    }
    for (; j < to; j += E)
        if (drifted(xs, ys, j, test) && confirmed(j)) return j;
    return to;
}

[[gnu::target_clones("avx2", "default")]] void accumulate(const double* xs, const double* ys,
                                                          std::size_t from, std::size_t to,
                                                          FitSums& sums) noexcept {
    const Lanes ox = Lanes{} + sums.origin_x;
    const Lanes oy = Lanes{} + sums.origin_y;
    Lanes su{}, sv{}, suu{}, suv{}, svv{};
    std::size_t j = from;
    for (; j + LANES <= to; j += LANES) {
        Lanes x, y;
        load(x, xs + j);
        load(y, ys + j);
        const Lanes u = x - ox;
        const Lanes v = y - oy;
        su += u;
        sv += v;
        suu += u * u;
        suv += u * v;
        svv += v * v;
    }
    for (; j < to; ++j) sums.add(xs[j], ys[j]);
    const auto fold = [](const Lanes& lanes) {
        return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
    };
    sums.n += static_cast<double>((to - from) - (to - from) % LANES);
    sums.su += fold(su);
    sums.sv += fold(sv);
    sums.suu += fold(suu);
    sums.suv += fold(suv);
    sums.svv += fold(svv);
}

}  // namespace vorlane::robust
