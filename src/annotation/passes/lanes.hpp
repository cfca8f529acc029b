// Eight floats or four doubles in the compiler's portable vector types, for the block checks
// that scan the coordinates: element-wise IEEE arithmetic and comparisons, lowered to SSE2 or
// AVX2 as the function using them is built. Such a function takes and returns no vector (the
// calling convention of vectors differs with AVX), only views and scalars.
#pragma once

#include <cstdint>
#include <limits>
#include <type_traits>

namespace vorlane {

template <typename T>
using Lane = std::conditional_t<sizeof(T) == 8, std::int64_t, std::int32_t>;
template <typename T>
using Lanes [[gnu::vector_size(32)]] = T;
template <typename T>
using LaneMask [[gnu::vector_size(32)]] = Lane<T>;  // comparison results: -1 or 0 per lane

// Every bit but the sign: |v| lane by lane is v & LANE_MAGNITUDE.
template <typename T>
inline constexpr Lane<T> LANE_MAGNITUDE = std::numeric_limits<Lane<T>>::max();

}  // namespace vorlane
