// The annotation driver: the caller's checks, then the stages in order, for float and double.
#include <string>

#include "annotation/parallel_collapse.hpp"
#include "annotation/pool.hpp"
#include "annotation/stages.hpp"
#include "annotation/test_hooks.hpp"

namespace vorlane {

namespace {

std::optional<AnnotatorError> check_views(std::uint64_t x_count, std::int64_t x_stride,
                                          std::uint64_t y_count, std::int64_t y_stride) {
    if (x_count != y_count) {
        return AnnotatorError{"Input x and y length mismatch: " + std::to_string(x_count) +
                              " vs " + std::to_string(y_count)};
    }
    // A single sample is contiguous whatever its stride.
    if (x_count > 1 && x_stride != 1) return AnnotatorError{"x array must be contiguous"};
    if (x_count > 1 && y_stride != 1) return AnnotatorError{"y array must be contiguous"};
    return std::nullopt;
}

template <typename T>
FilteredList<T> collapse_x_stage(const CoordinateView<T>& x, const CoordinateView<T>& y) {
    const std::size_t p = pool_size();
    if (p >= 2 && x.count >= PARALLEL_X_MIN_SAMPLES) return collapse_x_parallel(x, y, p);
    return collapse_x(x, y);
}

template <typename T>
FilteredList<T> collapse_y_stage(const FilteredList<T>& a) {
    const std::size_t p = pool_size();
    if (p >= 2 && a.size() >= PARALLEL_Y_MIN_RECORDS) return collapse_y_parallel(a, p);
    return collapse_y(a);
}

}  // namespace

template <typename T>
std::optional<AnnotatorError> annotate_scanlines_into(const CoordinateView<T>& x,
                                                      const CoordinateView<T>& y,
                                                      const IdBufferRequest& request) {
    inject_fault("annotate");
    if (auto error = check_views(x.count, x.stride, y.count, y.stride)) return error;
    const std::uint64_t n = x.count;
    if (n == 0) {
        request(0);
        return std::nullopt;
    }
    TurningList<T> turns;
    {
        // Each intermediate list is released as soon as the next stage has consumed it.
        FilteredList<T> b;
        {
            const FilteredList<T> a = collapse_x_stage(x, y);
            b = collapse_y_stage(a);
        }
        TurningLists<T> lists = find_turning_points(b);
        b = FilteredList<T>();
        turns = order_turning_points(std::move(lists));
    }
    const T segment_threshold = compute_segment_threshold(turns);
    assign_scanline_ids_into(request(n), turns, segment_threshold);
    return std::nullopt;
}

template <typename T>
AnnotationResult annotate_scanlines(const CoordinateView<T>& x, const CoordinateView<T>& y) {
    ScanlineIds ids;
    auto error = annotate_scanlines_into<T>(x, y, [&ids](std::uint64_t n) {
        ids.resize(n);
        return std::span<std::int32_t>(ids);
    });
    if (error) return std::move(*error);
    return ids;
}

template std::optional<AnnotatorError> annotate_scanlines_into(const CoordinateView<float>&,
                                                               const CoordinateView<float>&,
                                                               const IdBufferRequest&);
template std::optional<AnnotatorError> annotate_scanlines_into(const CoordinateView<double>&,
                                                               const CoordinateView<double>&,
                                                               const IdBufferRequest&);
template AnnotationResult annotate_scanlines(const CoordinateView<float>&,
                                             const CoordinateView<float>&);
template AnnotationResult annotate_scanlines(const CoordinateView<double>&,
                                             const CoordinateView<double>&);

}  // namespace vorlane
