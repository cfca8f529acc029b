// The annotation driver: the caller's checks, then the stages in order, for float and double.
#include <string>

#include "annotation/passes/chunked_pass.hpp"
#include "annotation/passes/fused_pass.hpp"
#include "annotation/stages/parallel_collapse.hpp"
#include "platform/pool.hpp"
#include "annotation/stages/stages.hpp"
#include "platform/test_hooks.hpp"

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

// The filtered point sequence's turning points. When both collapse stages are sequential the
// three rules run as one pass; otherwise each pool thread walks its chunk of the path
// through all three, with the chunked stages' restarts and seam merges, and the chunks'
// turns are joined. Neither stores lists A and B. Should a seam defeat the join, the stages
// run one after the other, each in the form its input length calls for.
template <typename T>
TurningLists<T> collapse_and_detect(const CoordinateView<T>& x, const CoordinateView<T>& y) {
    const std::size_t p = pool_size();
    const std::uint64_t n = x.count;
    // A never has more records than there are samples, so below the y threshold its stage is
    // known to be sequential before A exists.
    if (p < 2 || n < PARALLEL_Y_MIN_RECORDS) return collapse_and_find_turning_points(x, y);
    ChunkPlan plan;
    plan.x_threads = p;
    plan.y_threads = pool_size();
    if (auto lists = chunked_collapse_and_find_turning_points(x, y, plan)) return std::move(*lists);
    const FilteredList<T> a = n >= PARALLEL_X_MIN_SAMPLES ? collapse_x_parallel(x, y, p)
                                                          : collapse_x(x, y);
    const std::size_t p_for_y = pool_size();
    if (p_for_y < 2 || a.size() < PARALLEL_Y_MIN_RECORDS) {
        return collapse_y_and_find_turning_points(a);
    }
    FilteredList<T> b = collapse_y_parallel(a, p_for_y);
    return find_turning_points(b);
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
    const TurningList<T> turns = order_turning_points(collapse_and_detect(x, y));
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
