// The entry point of the robust labelling core: hatch-line ids for recorded scan paths read in
// place through any byte stride, in float or double.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace vorlane::robust {

// A read-only view of n values spaced byte_stride bytes apart, from any address: every read
// copies the bytes, so misaligned data and strides that are not whole elements are safe.
template <typename T>
struct StridedSamples {
    const unsigned char* data;  // address of element 0
    std::uint64_t size;
    std::int64_t byte_stride;
    T operator[](std::uint64_t i) const noexcept {
        T value;
        // Unsigned arithmetic wraps the same way pointer offsets do, so a negative stride
        // reaches element i without a signed overflow.
        const std::uint64_t offset = i * static_cast<std::uint64_t>(byte_stride);
        std::memcpy(&value, data + static_cast<std::ptrdiff_t>(offset), sizeof(T));
        return value;
    }
};

struct RobustOptions {
    double tolerance = std::numeric_limits<double>::quiet_NaN();  // NaN: derive from the data
};

struct RobustInfo {
    double noise = 0;
    double tolerance = 0;
    double sample_step = 0;
    double line_spacing = 0;
    std::vector<double> angles_deg;  // line angles found, each in [0, 180)
    std::uint64_t lines = 0;
    std::vector<std::pair<std::string, std::uint64_t>> rejected;  // reason -> stretches rejected
    std::uint64_t window = 0;  // samples in the chord the straightness test compares
};

// Writes into ids (one per sample, ids.size() == x.size == y.size) 1, 2, 3, ... for the hatch
// lines in recording order and -1 elsewhere. laser_on is null or holds x.size bytes, 0 = off.
template <typename T>
RobustInfo robust_scanlines(StridedSamples<T> x, StridedSamples<T> y, const std::uint8_t* laser_on,
                            const RobustOptions& options, std::span<std::int32_t> ids);

extern template RobustInfo robust_scanlines<float>(StridedSamples<float>, StridedSamples<float>,
                                                   const std::uint8_t*, const RobustOptions&,
                                                   std::span<std::int32_t>);
extern template RobustInfo robust_scanlines<double>(StridedSamples<double>, StridedSamples<double>,
                                                    const std::uint8_t*, const RobustOptions&,
                                                    std::span<std::int32_t>);

}  // namespace vorlane::robust
