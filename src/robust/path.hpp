// The recorded path as the stages read it: both coordinates and the laser signal together,
// with the one rule for which samples can belong to a line.
#pragma once

#include <cmath>
#include <cstdint>

#include "robust/robust_scanlines.hpp"

namespace vorlane::robust {

template <typename T>
struct Path {
    StridedSamples<T> x, y;
    const std::uint8_t* laser_on;  // null: always on

    std::uint64_t size() const noexcept { return x.size; }
    double x_at(std::uint64_t i) const noexcept { return static_cast<double>(x[i]); }
    double y_at(std::uint64_t i) const noexcept { return static_cast<double>(y[i]); }
    // How far the mirror moved from sample `from` to sample `to`.
    // Not hypot, which costs several times more and is asked once a sample by the per-line
    // stages: a path whose steps would overflow the squares has no usable scale to start with.
    double step_between(std::uint64_t from, std::uint64_t to) const noexcept {
        const double dx = x_at(to) - x_at(from);
        const double dy = y_at(to) - y_at(from);
        return std::sqrt(dx * dx + dy * dy);
    }
    // A sample can lie on a line only when it is finite and exposed.
    bool usable(std::uint64_t i) const noexcept {
        if (laser_on != nullptr && laser_on[i] == 0) return false;
        return finite(i);
    }
    // Where the mirror went, exposed or not: the way a lagged mirror approaches a line and
    // leaves it shows in the samples beside it, whatever the laser did.
    bool finite(std::uint64_t i) const noexcept {
        return std::isfinite(x[i]) && std::isfinite(y[i]);
    }
};

}  // namespace vorlane::robust
