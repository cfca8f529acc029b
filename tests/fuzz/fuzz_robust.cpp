// libFuzzer target for the robust core's entries, robust_scanlines and scan_vectors, read the
// way the boundary hands them arrays: any stride (negative, not a whole number of elements,
// misaligned) over the fuzz input's own bytes, either width, arbitrary ids and laser bytes.
// Checks the contracts callers rely on; the sanitizers catch any read outside the input.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "robust/robust_scanlines.hpp"
#include "robust/scan_vectors.hpp"

namespace {

using vorlane::robust::StridedSamples;

void require(bool holds) {
    if (!holds) std::abort();
}

// A view of `count` elements of T laid over bytes [begin, end) with `stride` bytes between
// them, starting at the last element when the stride is negative; count shrinks to fit.
template <typename T>
StridedSamples<T> lay_over(const unsigned char* begin, const unsigned char* end,
                           std::int64_t stride, std::uint64_t count) {
    const auto span = static_cast<std::int64_t>(end - begin) - static_cast<std::int64_t>(sizeof(T));
    if (span < 0) return {begin, 0, stride};
    const std::int64_t step = std::abs(stride);
    if (step > 0)
        count = std::min<std::uint64_t>(count, static_cast<std::uint64_t>(span / step) + 1);
    const unsigned char* first =
        stride < 0 && count > 0 ? begin + (static_cast<std::int64_t>(count) - 1) * step : begin;
    return {first, count, stride};
}

template <typename T>
void run(const unsigned char* data, std::size_t size, std::int64_t stride, std::uint64_t count,
         bool use_laser, bool wide_ids) {
    const unsigned char* end = data + size;
    const StridedSamples<T> x = lay_over<T>(data, end, stride, count);
    const StridedSamples<T> y =
        lay_over<T>(data + std::min<std::size_t>(size, 3), end, stride, x.size);
    const std::uint64_t n = std::min(x.size, y.size);
    const StridedSamples<T> xs{x.data, n, x.byte_stride};
    const StridedSamples<T> ys{y.data, n, y.byte_stride};

    std::vector<std::uint8_t> laser(n);
    for (std::uint64_t i = 0; i < n; ++i) laser[i] = data[i % size] & 1;
    std::vector<std::int32_t> ids(n, 12345);
    vorlane::robust::RobustOptions options;
    options.tolerance = (data[0] & 2) != 0 ? 1e-3 : std::nan("");
    const auto info = vorlane::robust::robust_scanlines<T>(
        xs, ys, use_laser ? laser.data() : nullptr, options, std::span(ids));
    for (std::int32_t id : ids) require(id == -1 || id >= 1);
    for (double angle : info.angles_deg) require(angle >= 0 && angle < 180);

    // Ids from the input itself, so that lines repeat, interleave and go negative.
    std::vector<std::int64_t> labels(n);
    for (std::uint64_t i = 0; i < n; ++i)
        labels[i] = static_cast<std::int8_t>(data[(i * 7) % size]) % 5;
    std::vector<vorlane::robust::ScanVector> rows;
    if (wide_ids) {
        rows = vorlane::robust::scan_vectors<T, std::int64_t>(
            xs, ys, {reinterpret_cast<const unsigned char*>(labels.data()), n, 8});
    } else {
        std::vector<std::int32_t> narrow(labels.begin(), labels.end());
        rows = vorlane::robust::scan_vectors<T, std::int32_t>(
            xs, ys, {reinterpret_cast<const unsigned char*>(narrow.data()), n, 4});
    }
    std::int64_t previous = 0;
    for (const auto& row : rows) {
        require(row.id > previous && row.count >= 1 && row.first <= row.last);
        require(static_cast<std::uint64_t>(row.last) < n);
        require(std::isnan(row.angle_deg) || (row.angle_deg >= 0 && row.angle_deg < 180));
        require(std::isnan(row.rms) || row.rms >= 0);
        require(std::isnan(row.length) || row.length >= 0);
        previous = row.id;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const std::uint8_t mode = data[0];
    // Strides from -16 to 15 bytes, zero included (every sample the same element).
    const std::int64_t stride = static_cast<std::int64_t>(data[1] % 32) - 16;
    const std::uint64_t count = data[2];
    const unsigned char* rest = data + 3;
    const std::size_t rest_size = size - 3;
    if ((mode & 4) != 0) {
        run<double>(rest, rest_size, stride, count, (mode & 8) != 0, (mode & 16) != 0);
    } else {
        run<float>(rest, rest_size, stride, count, (mode & 8) != 0, (mode & 16) != 0);
    }
    return 0;
}
