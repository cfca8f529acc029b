// The block checks of plain_scan.hpp: one skeleton, with or without the y limits.
#include "annotation/passes/plain_scan.hpp"

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

template <typename T, bool WITH_Y>
[[gnu::always_inline]] inline bool block_lanes(const CoordinateView<T>& x,
                                               const CoordinateView<T>& y, std::uint64_t q, T x_cap,
                                               const StepLimits<T>& limits,
                                               std::uint64_t& changes) noexcept {
    constexpr std::size_t LANES = sizeof(Lanes<T>) / sizeof(T);
    static_assert(PLAIN_BLOCK % LANES == 0);
    const auto* xb = static_cast<const unsigned char*>(x.data) + (q - 1) * sizeof(T);
    const auto* yb = static_cast<const unsigned char*>(y.data) + (q - 1) * sizeof(T);
    const LaneMask<T> magnitude = LaneMask<T>{} + LANE_MAGNITUDE<T>;
    LaneMask<T> loud{};
    LaneMask<T> moves{};
    for (std::size_t i = 0; i < PLAIN_BLOCK; i += LANES) {
        Lanes<T> x0, x1;  // loaded by copy: any alignment
        std::memcpy(&x0, xb + i * sizeof(T), sizeof(x0));
        std::memcpy(&x1, xb + (i + 1) * sizeof(T), sizeof(x1));
        const Lanes<T> dx = x1 - x0;
        const Lanes<T> abs_dx = (Lanes<T>)((LaneMask<T>)dx & magnitude);
        const Lanes<T> abs_x1 = (Lanes<T>)((LaneMask<T>)x1 & magnitude);
        const LaneMask<T> same = x1 == x0;
        const LaneMask<T> moved = abs_dx >= collapse_tolerance<T>;
        LaneMask<T> good = (same | moved) & (abs_x1 <= x_cap);
        if constexpr (WITH_Y) {
            Lanes<T> y0, y1;
            std::memcpy(&y0, yb + i * sizeof(T), sizeof(y0));
            std::memcpy(&y1, yb + (i + 1) * sizeof(T), sizeof(y1));
            const Lanes<T> abs_y1 = (Lanes<T>)((LaneMask<T>)y1 & magnitude);
            good &=
                (abs_y1 <= limits.largest_y) & (limits.sense * (y1 - y0) >= limits.smallest_step);
        }
        loud |= ~good;
        moves += ~same & 1;
    }
    bool plain = true;
    changes = 0;
    for (std::size_t lane = 0; lane < LANES; ++lane) {
        plain = plain && loud[lane] == 0;
        changes += static_cast<std::uint64_t>(moves[lane]);
    }
    return plain;
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
