// The annotation driver: the caller's checks, then the stages in the form the input length and
// the pool size call for, for float and double.
#include <string>

#include "annotation/annotate.hpp"
#include "annotation/passes/chunked_pass.hpp"
#include "annotation/passes/fused_pass.hpp"
#include "annotation/passes/pooled_ids.hpp"
#include "annotation/stages/chunked_collapse.hpp"
#include "annotation/stages/stages.hpp"
#include "platform/pool.hpp"
#include "platform/test_hooks.hpp"

namespace vorlane {

namespace {

std::optional<AnnotatorError> check_views(std::uint64_t x_count, std::int64_t x_stride,
                                          std::uint64_t y_count, std::int64_t y_stride) {
    if (x_count != y_count) {
        return AnnotatorError{"Input x and y length mismatch: " + std::to_string(x_count) + " vs " +
                              std::to_string(y_count)};
    }
    // A single sample is contiguous whatever its stride.
    if (x_count > 1 && x_stride != 1) return AnnotatorError{"x array must be contiguous"};
    if (x_count > 1 && y_stride != 1) return AnnotatorError{"y array must be contiguous"};
    return std::nullopt;
}

// The stages themselves, one after the other, storing lists A and B.
template <typename T>
TurningListPair<T> staged_turns(const CoordinateView<T>& x, const CoordinateView<T>& y,
                                const ChunkPlan& plan) {
    const FilteredList<T> a =
        plan.chunks_x(x.count) ? collapse_x_parallel(x, y, plan.x_threads) : collapse_x(x, y);
    if (!plan.chunks_y(a.size())) return collapse_y_and_find_turning_points(a);
    return find_turning_points(collapse_y_parallel(a, plan.y_threads));
}

// Both collapse stages sequential, known before list A exists: list A never has more records
// than there are samples, so below the y stage's threshold its stage is sequential too.
bool fused_only(const ChunkPlan& plan, std::uint64_t n) noexcept {
    return !plan.chunks_x(n) && !plan.chunks_y(n);
}

template <typename T>
FoundTurns<T> answered(TurningListPair<T>&& lists, Strategy strategy, const char* name) {
    tally(name);
    return {std::move(lists), strategy};
}

}  // namespace

// The one place that chooses how a call runs. The stages' results depend on where the chunked
// stages cut their input, which follows the pool size, so every strategy must give exactly the
// records the stages give under the plan; they are tried from the cheapest, and each of the
// fast ones declines a seam it cannot settle from what it kept.
template <typename T>
FoundTurns<T> find_turns(const CoordinateView<T>& x, const CoordinateView<T>& y,
                         const ChunkPlan& plan) {
    const std::uint64_t n = x.count;
    // One pass on this thread, and nothing to settle.
    if (fused_only(plan, n)) {
        return answered(collapse_and_find_turning_points(x, y), Strategy::fused_pass, "fused_pass");
    }
    // A sequential x stage is cheapest walked on this thread; a chunked one, on the pool.
    if (!plan.chunks_x(n)) {
        if (auto lists = fused_turns_if_y_cuts_open(x, y, plan)) {
            return answered(std::move(*lists), Strategy::fused_pass_y_cuts_checked,
                            "fused_pass_y_cuts_checked");
        }
    } else if (auto lists = chunked_turns_one_read(x, y, plan)) {
        return answered(std::move(*lists), Strategy::chunked_walk, "chunked_walk");
    }
    // A y chunk that starts inside a y run, or a seam that needs more than the walks kept.
    if (auto lists = chunked_turns_two_reads(x, y, plan)) {
        return answered(std::move(*lists), Strategy::count_then_walk, "count_then_walk");
    }
    // The last exact answer: no seam is beyond the stages themselves.
    return answered(staged_turns(x, y, plan), Strategy::stored_lists, "stored_lists");
}

// The segment threshold and the ids from the turning points in path order.
namespace {
template <typename T>
void write_ids(TurningView<T> turns, std::uint64_t n, const ChunkPlan& plan,
               const IdBufferRequest& request) {
    const T segment_threshold = compute_segment_threshold(turns);
    const std::span<std::int32_t> ids = request(n);
    // The result's pages are fresh, and their first touch is most of the id pass. Where the
    // x stage is chunked, the pool's threads have just walked the samples and are awake, and
    // the result is large enough for sharing that touch to beat the hand-over; every sample
    // gets the same id either way.
    if (plan.chunks_x(n)) {
        assign_scanline_ids_pooled(ids, turns, segment_threshold, plan.x_threads);
    } else {
        assign_scanline_ids_into(ids, turns, segment_threshold);
    }
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
    // The pool size is asked once per call: the plan, and with it every chunk, follows it.
    const std::uint64_t threads = pool_size();
    ChunkPlan plan;
    plan.x_threads = threads;
    plan.y_threads = threads;
    // Where the fused pass answers, it records the turns in path order as it finds them, in
    // pages that grow without a copy: a sequential call on a path that turns all the time
    // then holds one list of them, never two beside their merge or a list beside its copy.
    if (fused_only(plan, n)) {
        tally("fused_pass");
        const PagedList<TurningPoint<T>> turns = collapse_and_order_turning_points(x, y);
        write_ids(turns.view(), n, plan, request);
    } else {
        const TurningList<T> turns = order_turning_points(find_turns(x, y, plan).lists);
        write_ids(TurningView<T>(turns), n, plan, request);
    }
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
template FoundTurns<float> find_turns(const CoordinateView<float>&, const CoordinateView<float>&,
                                      const ChunkPlan&);
template FoundTurns<double> find_turns(const CoordinateView<double>&, const CoordinateView<double>&,
                                       const ChunkPlan&);
template AnnotationResult annotate_scanlines(const CoordinateView<float>&,
                                             const CoordinateView<float>&);
template AnnotationResult annotate_scanlines(const CoordinateView<double>&,
                                             const CoordinateView<double>&);

}  // namespace vorlane
