// The block checks of plain_scan.hpp: one skeleton, with or without the y limits.
#include "annotation/passes/plain_scan.hpp"

#include <array>
#include <cstdint>

namespace vorlane {

namespace {

template <typename T>
using Lane = std::conditional_t<sizeof(T) == 8, std::int64_t, std::int32_t>;
template <typename T>
using Lanes [[gnu::vector_size(32)]] = T;
template <typename T>
using LaneMask [[gnu::vector_size(32)]] = Lane<T>;  // comparison results: -1 or 0 per lane

// Every bit but the sign: |v| lane by lane is v & LANE_MAGNITUDE.
template <typename T>
inline constexpr Lane<T> LANE_MAGNITUDE = std::numeric_limits<Lane<T>>::max();

// Which way y must move: up (+1) or down (-1). Subtracting in the matching order gives
// exactly sense * (y1 - y0), since negation is exact and rounding is symmetric.
enum class Sense { up, down };

// Blocks ahead of the one being checked whose samples are asked of memory meanwhile: the
// hardware's own prefetcher falls behind this loop, and one thread took 5 to 15 % longer on the
// benchmark's paths without it.
constexpr std::size_t PREFETCH_BLOCKS = 8;
constexpr std::size_t CACHE_LINE = 64;

// A prefetch of the line `ahead` bytes past `from`, which may lie past the input's end: a
// prefetch never faults, and the address is formed as an integer, not by pointer arithmetic.
[[gnu::always_inline]] inline void prefetch_ahead(const unsigned char* from,
                                                  std::size_t ahead) noexcept {
    __builtin_prefetch(
        reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(from) + ahead));
}

// The block is checked as a whole, so the per-lane work is kept to the least: a lane's
// steps are and-ed into one mask, and the magnitudes are only compared with their caps once,
// as a running maximum (a NaN that the maximum drops fails the x rule or the y step anyway).
template <typename T, bool WITH_Y, Sense SENSE>
[[gnu::always_inline]] inline bool block_lanes(const CoordinateView<T>& x,
                                               const CoordinateView<T>& y, std::uint64_t q, T x_cap,
                                               const StepLimits<T>& limits,
                                               std::uint64_t& changes) noexcept {
    constexpr std::size_t LANES = sizeof(Lanes<T>) / sizeof(T);
    static_assert(PLAIN_BLOCK % LANES == 0);
    const auto* xb = static_cast<const unsigned char*>(x.data) + (q - 1) * sizeof(T);
    const auto* yb = static_cast<const unsigned char*>(y.data) + (q - 1) * sizeof(T);
    const LaneMask<T> magnitude = LaneMask<T>{} + LANE_MAGNITUDE<T>;
    LaneMask<T> good = ~LaneMask<T>{};
    LaneMask<T> kept{};  // steps where x keeps its value
    Lanes<T> x_peak{};
    Lanes<T> y_peak{};
    for (std::size_t i = 0; i < PLAIN_BLOCK; i += LANES) {
        if (i * sizeof(T) % CACHE_LINE == 0) {
            prefetch_ahead(xb, (i + PREFETCH_BLOCKS * PLAIN_BLOCK) * sizeof(T));
            if constexpr (WITH_Y)
                prefetch_ahead(yb, (i + PREFETCH_BLOCKS * PLAIN_BLOCK) * sizeof(T));
        }
        Lanes<T> x0, x1;  // loaded by copy: any alignment
        std::memcpy(&x0, xb + i * sizeof(T), sizeof(x0));
        std::memcpy(&x1, xb + (i + 1) * sizeof(T), sizeof(x1));
        const Lanes<T> dx = x1 - x0;
        const Lanes<T> abs_dx = (Lanes<T>)((LaneMask<T>)dx & magnitude);
        const Lanes<T> abs_x1 = (Lanes<T>)((LaneMask<T>)x1 & magnitude);
        const LaneMask<T> same = x1 == x0;
        LaneMask<T> step_good = same | (abs_dx >= collapse_tolerance<T>);
        x_peak = abs_x1 > x_peak ? abs_x1 : x_peak;
        if constexpr (WITH_Y) {
            Lanes<T> y0, y1;
            std::memcpy(&y0, yb + i * sizeof(T), sizeof(y0));
            std::memcpy(&y1, yb + (i + 1) * sizeof(T), sizeof(y1));
            const Lanes<T> abs_y1 = (Lanes<T>)((LaneMask<T>)y1 & magnitude);
            y_peak = abs_y1 > y_peak ? abs_y1 : y_peak;
            const Lanes<T> moved_y = SENSE == Sense::up ? y1 - y0 : y0 - y1;
            step_good &= moved_y >= limits.smallest_step;
        }
        good &= step_good;
        kept -= same;
    }
    good &= (x_peak <= x_cap) & (y_peak <= limits.largest_y);
    // Reduced over 64-bit words, which the compiler does in a few instructions where it
    // would take the lanes out one by one: a mask lane is all ones or all zeros, and a lane
    // of `kept` counts at most PLAIN_BLOCK steps, so two 32-bit counts in a word never carry.
    std::array<std::uint64_t, sizeof(good) / 8> words;
    static_assert(sizeof words == sizeof good);
    std::memcpy(words.data(), &good, sizeof good);
    bool plain = true;
    for (const std::uint64_t word : words) plain = plain && word == ~std::uint64_t(0);
    std::memcpy(words.data(), &kept, sizeof kept);
    std::uint64_t kept_steps = 0;
    for (const std::uint64_t word : words) kept_steps += word;
    if constexpr (sizeof(Lane<T>) == 4)
        kept_steps = (kept_steps & 0xffffffffU) + (kept_steps >> 32);
    changes = PLAIN_BLOCK - kept_steps;
    return plain;
}

template <typename T, bool WITH_Y>
[[gnu::always_inline]] inline bool block_lanes(const CoordinateView<T>& x,
                                               const CoordinateView<T>& y, std::uint64_t q, T x_cap,
                                               const StepLimits<T>& limits,
                                               std::uint64_t& changes) noexcept {
    if (!WITH_Y || limits.sense > T(0))
        return block_lanes<T, WITH_Y, Sense::up>(x, y, q, x_cap, limits, changes);
    return block_lanes<T, WITH_Y, Sense::down>(x, y, q, x_cap, limits, changes);
}

}  // namespace

[[gnu::target_clones("avx2", "default")]] bool plain_block(const CoordinateView<float>& x,
                                                           std::uint64_t q,
                                                           std::uint64_t& changes) noexcept {
    return block_lanes<float, false>(x, x, q, std::numeric_limits<float>::max(), {}, changes);
}
[[gnu::target_clones("avx2", "default")]] bool plain_block(const CoordinateView<double>& x,
                                                           std::uint64_t q,
                                                           std::uint64_t& changes) noexcept {
    return block_lanes<double, false>(x, x, q, std::numeric_limits<double>::max(), {}, changes);
}
[[gnu::target_clones("avx2", "default")]] bool quiet_block(const CoordinateView<float>& x,
                                                           const CoordinateView<float>& y,
                                                           std::uint64_t q, float x_cap,
                                                           const StepLimits<float>& limits,
                                                           std::uint64_t& changes) noexcept {
    return block_lanes<float, true>(x, y, q, x_cap, limits, changes);
}
[[gnu::target_clones("avx2", "default")]] bool quiet_block(const CoordinateView<double>& x,
                                                           const CoordinateView<double>& y,
                                                           std::uint64_t q, double x_cap,
                                                           const StepLimits<double>& limits,
                                                           std::uint64_t& changes) noexcept {
    return block_lanes<double, true>(x, y, q, x_cap, limits, changes);
}

}  // namespace vorlane
