// A sample of the values brackets the rank; one counting pass checks that the bracket holds it,
// a second keeps the values inside it, and the search goes on among those few. Both passes are
// branch-free: partitioning by comparisons mispredicts a branch on every other value. Values are
// ordered by their bit patterns, which for non-negative floating-point values order as the
// values do.
#include "numeric/rank_select.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>

namespace vorlane {
namespace {

// From this many values on, a sample of BRACKET_SAMPLE of them brackets the rank, within
// BRACKET_DEVIATIONS standard deviations of the sample's quantile either side: it misses about
// once in two thousand calls on values in no particular order, and keeps some 15 % of them.
// Fewer values are selected by comparison at once.
constexpr std::size_t BRACKET_FROM = 4096;
constexpr std::size_t BRACKET_SAMPLE = 512;
constexpr double BRACKET_DEVIATIONS = 3.5;

template <typename T>
using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;

template <typename T>
Bits<T> pattern(T value) noexcept {
    // Every NaN above infinity, whatever its payload or sign.
    if (value != value) return std::numeric_limits<Bits<T>>::max();
    // -0 counts as the +0 it equals.
    return std::bit_cast<Bits<T>>(value == T(0) ? T(0) : value);
}

template <typename T>
bool pattern_before(T a, T b) noexcept {
    return pattern(a) < pattern(b);
}

template <typename T>
T select_by_comparison(std::span<T> values, std::size_t rank) {
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(rank),
                     values.end(), pattern_before<T>);
    return values[rank];
}

// [low, high] in the order of patterns, by comparisons of values: NaN lies inside only where
// the bracket has no upper end.
template <typename T>
struct Bracket {
    T low, high;
    bool nan_inside;
    // Bitwise, not short-circuit: a branch here would mispredict on every other value.
    [[gnu::always_inline]] std::size_t holds(T value) const noexcept {
        return static_cast<std::size_t>(!(value < low)) &
               static_cast<std::size_t>(!(value > high)) &
               static_cast<std::size_t>(nan_inside | (value == value));
    }
};

// How many values lie below the bracket and how many inside it, over vectors of lanes.
template <typename T>
[[gnu::always_inline]] inline void count_lanes(const T* values, std::size_t count,
                                               const Bracket<T>& bracket, std::size_t& below_count,
                                               std::size_t& inside_count) noexcept {
    constexpr std::size_t LANES = 32 / sizeof(T);
    using Lanes [[gnu::vector_size(32)]] = T;
    using Mask [[gnu::vector_size(32)]] = Bits<T>;  // comparison results: all ones or zero
    const Lanes low = Lanes{} + bracket.low;
    const Lanes high = Lanes{} + bracket.high;
    const Mask nan_inside = Mask{} - Bits<T>{bracket.nan_inside ? 1u : 0u};
    Mask below{}, inside{};
    std::size_t i = 0;
    for (; i + LANES <= count; i += LANES) {
        Lanes v;
        std::memcpy(&v, values + i, sizeof v);
        const Mask is_below = v < low;
        below -= is_below;
        inside -= ~is_below & ~(v > high) & ((v == v) | nan_inside);
    }
    below_count = 0;
    inside_count = 0;
    for (std::size_t lane = 0; lane < LANES; ++lane) {
        below_count += static_cast<std::size_t>(below[lane]);
        inside_count += static_cast<std::size_t>(inside[lane]);
    }
    for (; i < count; ++i) {
        below_count += values[i] < bracket.low ? 1 : 0;
        inside_count += bracket.holds(values[i]);
    }
}

// Built for AVX2 as well as the baseline, the one to run chosen when the module loads; the
// counts are the same either way. Like every function built twice, they take plain pointers
// and construct nothing: a clone's call to a constructor the compiler never emitted left the
// cross-compiled module unloadable.
[[gnu::target_clones("avx2", "default")]] void count_around(const float* values, std::size_t count,
                                                            const Bracket<float>& bracket,
                                                            std::size_t& below,
                                                            std::size_t& inside) noexcept {
    count_lanes<float>(values, count, bracket, below, inside);
}

[[gnu::target_clones("avx2", "default")]] void count_around(const double* values, std::size_t count,
                                                            const Bracket<double>& bracket,
                                                            std::size_t& below,
                                                            std::size_t& inside) noexcept {
    count_lanes<double>(values, count, bracket, below, inside);
}

// Where an evenly spread sample of the values puts the rank, widened either side; nothing
// where the lower bound would be NaN, which no comparison orders.
template <typename T>
std::optional<Bracket<T>> bracket_from_sample(std::span<const T> values, std::size_t rank) {
    const std::size_t n = values.size();
    std::array<T, BRACKET_SAMPLE> sample;
    for (std::size_t i = 0; i < BRACKET_SAMPLE; ++i)
        sample[i] = values[static_cast<std::size_t>((static_cast<std::uint64_t>(2 * i + 1) * n) /
                                                    (2 * BRACKET_SAMPLE))];
    const double share = (static_cast<double>(rank) + 0.5) / static_cast<double>(n);
    const double centre = share * static_cast<double>(BRACKET_SAMPLE);
    const double margin =
        BRACKET_DEVIATIONS * std::sqrt(static_cast<double>(BRACKET_SAMPLE) * share * (1 - share)) +
        1;
    // A bound beyond the sample's ends is no bound.
    const double low_at = std::floor(centre - margin);
    const double high_at = std::ceil(centre + margin);
    // Only the two bounds are needed, not the whole sample in order.
    const auto sample_at = [&](double at, auto from) {
        const auto bound = sample.begin() + static_cast<std::ptrdiff_t>(at);
        std::nth_element(from, bound, sample.end(), pattern_before<T>);
        return bound;
    };
    const T infinity = std::numeric_limits<T>::infinity();
    Bracket<T> bracket{-infinity, infinity, true};
    auto above_low = sample.begin();
    if (low_at >= 0) {
        above_low = sample_at(low_at, sample.begin());
        bracket.low = *above_low;
    }
    if (high_at < static_cast<double>(BRACKET_SAMPLE)) {
        bracket.high = *sample_at(high_at, above_low);
        bracket.nan_inside = bracket.high != bracket.high;
        if (bracket.nan_inside) bracket.high = infinity;
    }
    if (bracket.low != bracket.low) return std::nullopt;
    return bracket;
}

}  // namespace

template <typename T>
T value_at_rank(std::span<T> values, std::size_t rank) {
    while (values.size() >= BRACKET_FROM) {
        const std::optional<Bracket<T>> bracket = bracket_from_sample<T>(values, rank);
        if (!bracket) break;
        std::size_t below = 0, inside = 0;
        count_around(values.data(), values.size(), *bracket, below, inside);
        // A miss: the values lie in an order that the sample's stride does not see through.
        if (rank < below || rank - below >= inside) break;
        // A bracket that keeps every value (they cluster within a few patterns) narrows
        // nothing.
        if (inside == values.size()) break;
        std::size_t kept = 0;
        for (const T value : values) {
            values[kept] = value;  // kept never passes the value being read
            kept += bracket->holds(value);
        }
        values = values.first(kept);
        rank -= below;
    }
    return select_by_comparison(values, rank);
}

template float value_at_rank(std::span<float>, std::size_t);
template double value_at_rank(std::span<double>, std::size_t);

}  // namespace vorlane
