// The one vectorised skeleton that skips plain samples: a block of steps checked lane group by
// lane group without branches, eight floats or four doubles at a time in the compiler's
// portable vector types, lowered to SSE2 or AVX2 as the function using it is built (the block
// functions are built for both and chosen when the module loads). They take and return no
// vector, only views and scalars, since the calling convention of vectors differs with AVX.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "annotation/model/records.hpp"

namespace vorlane {

// Steps per block.
inline constexpr std::uint64_t PLAIN_BLOCK = 64;

// What a quiet step must do in y: move in the sense `sense` (+1 or -1) by at least
// `smallest_step`, to a y no larger in magnitude than `largest_y`.
template <typename T>
struct StepLimits {
    T sense;
    T largest_y;
    T smallest_step;
};

// PLAIN_BLOCK steps from sample q - 1 on: true when every step is plain (x keeps its value
// exactly or moves by at least the tolerance) to an x of magnitude at most `x_cap`, and, when
// `limits` is given, quiet in y as it says. `changes` counts the steps where x changes.
bool plain_block(const CoordinateView<float>& x, std::uint64_t q, std::uint64_t& changes) noexcept;
bool plain_block(const CoordinateView<double>& x, std::uint64_t q, std::uint64_t& changes) noexcept;
bool quiet_block(const CoordinateView<float>& x, const CoordinateView<float>& y, std::uint64_t q,
                 float x_cap, const StepLimits<float>& limits, std::uint64_t& changes) noexcept;
bool quiet_block(const CoordinateView<double>& x, const CoordinateView<double>& y, std::uint64_t q,
                 double x_cap, const StepLimits<double>& limits, std::uint64_t& changes) noexcept;

}  // namespace vorlane
