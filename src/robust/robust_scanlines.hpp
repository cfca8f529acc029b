// The entry of the robust labelling core: strided read-only samples of any layout, the
// options, the diagnostics it reports and the labelling function over float and double.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace vorlane::robust {

// clang-format off
template <typename T> struct StridedSamples {
    const unsigned char* data;   // address of element 0
    std::uint64_t size;
    std::int64_t byte_stride;    // any value: negative, not a multiple of sizeof(T), misaligned
    T operator[](std::uint64_t i) const noexcept;  // std::memcpy read
};
struct RobustOptions { double tolerance = std::numeric_limits<double>::quiet_NaN(); };  // NaN: derive
struct RobustInfo {
    double noise = 0; double tolerance = 0; double sample_step = 0; double line_spacing = 0;
    std::vector<double> angles_deg;   // line angles found, each in [0, 180)
    std::uint64_t lines = 0;
    std::vector<std::pair<std::string, std::uint64_t>> rejected;  // reason -> straight stretches rejected
};
template <typename T>
RobustInfo robust_scanlines(StridedSamples<T> x, StridedSamples<T> y, const std::uint8_t* laser_on,
                            const RobustOptions& options, std::span<std::int32_t> ids);
// laser_on: null or n bytes (0 = off); ids.size() == x.size == y.size, checked by the boundary.
// clang-format on

// The element's bytes are copied, so no alignment or stride is assumed. The offset is formed
// in signed arithmetic: with a negative stride element i lies before element 0.
template <typename T>
T StridedSamples<T>::operator[](std::uint64_t i) const noexcept {
    const std::int64_t offset = static_cast<std::int64_t>(i) * byte_stride;
    T value;
    std::memcpy(&value, data + offset, sizeof(T));
    return value;
}

}  // namespace vorlane::robust
