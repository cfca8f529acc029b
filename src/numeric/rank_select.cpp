// Narrows the values down to those that share the ranked one's bit pattern 11 bits at a time,
// from the highest bit in which any two differ: for non-negative floating-point values the
// patterns order as the values do. Each level is one counting pass and one pass keeping the
// bucket that holds the rank; partitioning by comparisons instead mispredicts a branch on every
// other value.
#include "numeric/rank_select.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <vector>

namespace vorlane {
namespace {

constexpr int BUCKET_BITS = 11;
constexpr std::size_t BUCKETS = std::size_t{1} << BUCKET_BITS;
// Values cluster in a few buckets, so consecutive values are counted in separate tables: one
// table would make each increment wait for the one before.
constexpr std::size_t TABLES = 4;
// Fewer values than this are cheaper to select by comparison.
constexpr std::size_t SELECT_BY_COMPARISON = 256;

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
Bits<T> differing_bits(std::span<const T> values) noexcept {
    Bits<T> differing = 0;
    const Bits<T> first = pattern(values[0]);
    for (const T value : values) differing |= pattern(value) ^ first;
    return differing;
}

}  // namespace

template <typename T>
T value_at_rank(std::span<T> values, std::size_t rank) {
    // Few values are selected by comparison at once; so are more than the 32-bit counts hold.
    const bool narrow = values.size() > SELECT_BY_COMPARISON &&
                        values.size() <= std::numeric_limits<std::uint32_t>::max();
    std::vector<std::array<std::uint32_t, TABLES>> counts(narrow ? BUCKETS : 0);
    Bits<T> differing = narrow ? differing_bits<T>(values) : 0;
    while (narrow && values.size() > SELECT_BY_COMPARISON) {
        if (differing == 0) return values[0];  // all the same
        const int top = std::bit_width(differing) - 1;
        const int shift = std::max(0, top - (BUCKET_BITS - 1));
        const auto bucket_of = [shift](T value) {
            return static_cast<std::size_t>((pattern(value) >> shift) & (BUCKETS - 1));
        };
        std::fill(counts.begin(), counts.end(), std::array<std::uint32_t, TABLES>{});
        std::size_t i = 0;
        for (; i + TABLES <= values.size(); i += TABLES)
            for (std::size_t t = 0; t < TABLES; ++t) ++counts[bucket_of(values[i + t])][t];
        for (; i < values.size(); ++i) ++counts[bucket_of(values[i])][0];
        std::size_t bucket = 0, below = 0;
        const auto total = [&](std::size_t b) {
            std::size_t sum = 0;
            for (const std::uint32_t c : counts[b]) sum += c;
            return sum;
        };
        while (below + total(bucket) <= rank) below += total(bucket++);
        // Keep that bucket's values, and find the bits in which they still differ.
        std::size_t kept = 0;
        Bits<T> first = 0;
        differing = 0;
        for (const T value : values) {
            if (bucket_of(value) != bucket) continue;
            if (kept == 0) first = pattern(value);
            values[kept++] = value;
            differing |= pattern(value) ^ first;
        }
        values = values.first(kept);
        rank -= below;
    }
    const auto order = [](T a, T b) { return pattern(a) < pattern(b); };
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(rank),
                     values.end(), order);
    return values[rank];
}

template float value_at_rank(std::span<float>, std::size_t);
template double value_at_rank(std::span<double>, std::size_t);

}  // namespace vorlane
