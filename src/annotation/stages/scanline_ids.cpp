// Scanline-id assignment: one pass over the ordered turning points, writing each sample once.
#include <algorithm>
#include <limits>

#include "annotation/stages/scanline_ids.hpp"
#include "annotation/stages/stages.hpp"
#include "platform/fault.hpp"

namespace vorlane {

namespace {

template <typename T>
constexpr T SKEW_RATIO = T(0.5);
template <typename T>
constexpr T REVERSAL_COS_SQ = T(0.75);

template <typename T>
Vector2<T> difference(const TurningPoint<T>& to, const TurningPoint<T>& from) noexcept {
    return {to.x - from.x, to.y - from.y};
}

template <typename T>
bool fails_spacing(const TurningPoint<T>& turn, T segment_threshold) noexcept {
    // Strict comparisons: a NaN measure never fails the test.
    return turn.prev_dist_sq > segment_threshold ||
           turn.prev_dist_sq * SKEW_RATIO<T> > turn.line_dist_sq;
}

template <typename T>
bool passes(TurningView<T> turns, std::size_t i, T segment_threshold) noexcept {
    if (fails_spacing(turns[i], segment_threshold)) return false;
    const std::size_t m = turns.size();
    const bool has_next = i + 1 < m;
    if (i >= 2 &&
        is_reversal(difference(turns[i - 1], turns[i - 2]), difference(turns[i], turns[i - 1]))) {
        return true;
    }
    return has_next &&
           is_reversal(difference(turns[i], turns[i - 1]), difference(turns[i + 1], turns[i]));
}

}  // namespace

std::int32_t IdCounter::consume() {
    if (next_ > std::numeric_limits<std::int32_t>::max()) {
        raise_fault("more than 2147483647 scanlines: the scanline id does not fit in 32 bits");
    }
    return static_cast<std::int32_t>(next_++);
}

void IdWriter::write(std::uint64_t first, std::uint64_t last, std::int32_t id) noexcept {
    const std::uint64_t n = ids_.size();
    if (first > last || first >= n) return;
    last = std::min(last, n - 1);
    if (first > cursor_)
        std::fill(ids_.begin() + static_cast<std::ptrdiff_t>(cursor_),
                  ids_.begin() + static_cast<std::ptrdiff_t>(first), -1);
    std::fill(ids_.begin() + static_cast<std::ptrdiff_t>(first),
              ids_.begin() + static_cast<std::ptrdiff_t>(last) + 1, id);
    cursor_ = std::max(cursor_, last + 1);
}

void IdWriter::finish() noexcept {
    std::fill(ids_.begin() + static_cast<std::ptrdiff_t>(cursor_), ids_.end(), -1);
    cursor_ = ids_.size();
}

template <typename T>
bool is_reversal(Vector2<T> a, Vector2<T> b) noexcept {
    const T d = a.x * b.x + a.y * b.y;
    if (!(d < T(0))) return false;  // d >= 0 or NaN
    const T a_len_sq = a.x * a.x + a.y * a.y;
    const T b_len_sq = b.x * b.x + b.y * b.y;
    // The two squared lengths are multiplied first, then scaled.
    const T bound = (a_len_sq * b_len_sq) * REVERSAL_COS_SQ<T>;
    return d * d > bound;
}

// The main pass: hands write(first, last, id) every id range in ascending order (first may
// exceed last when the range is empty; its id is consumed all the same).
template <typename T, typename Write>
void for_each_id_range(TurningView<T> turns, T segment_threshold, Write&& write) {
    IdCounter counter;
    std::uint64_t fill_from = 0;
    bool segment_open = false;
    for (std::size_t i = 1; i < turns.size(); ++i) {
        const TurningPoint<T>& turn = turns[i];
        if (!passes(turns, i, segment_threshold)) {
            if (segment_open) {
                // The id is consumed even when the range before this run is empty.
                const std::int32_t id = counter.consume();
                if (turn.start_index > fill_from) write(fill_from, turn.start_index - 1, id);
            }
            segment_open = false;
            continue;
        }
        const std::uint64_t mid = turn.start_index + (turn.end_index - turn.start_index) / 2;
        const std::uint64_t first = segment_open ? fill_from : turns[i - 1].end_index + 1;
        write(first, mid, counter.consume());
        fill_from = mid + 1;
        segment_open = true;
    }
}

template <typename T>
void assign_scanline_ids_into(std::span<std::int32_t> ids, TurningView<T> turns,
                              T segment_threshold) {
    IdWriter writer(ids);
    for_each_id_range(turns, segment_threshold,
                      [&writer](std::uint64_t first, std::uint64_t last, std::int32_t id) {
                          writer.write(first, last, id);
                      });
    writer.finish();
}

template <typename T>
std::vector<IdRange> scanline_id_ranges(TurningView<T> turns, T segment_threshold) {
    std::vector<IdRange> ranges;
    for_each_id_range(turns, segment_threshold,
                      [&ranges](std::uint64_t first, std::uint64_t last, std::int32_t id) {
                          if (first <= last) ranges.push_back({first, last, id});
                      });
    return ranges;
}

template <typename T>
ScanlineIds assign_scanline_ids(std::uint64_t n, const TurningList<T>& turns, T segment_threshold) {
    ScanlineIds ids(n);
    assign_scanline_ids_into(std::span<std::int32_t>(ids), turns, segment_threshold);
    return ids;
}

template bool is_reversal(Vector2<float>, Vector2<float>) noexcept;
template bool is_reversal(Vector2<double>, Vector2<double>) noexcept;
template void assign_scanline_ids_into(std::span<std::int32_t>, TurningView<float>, float);
template void assign_scanline_ids_into(std::span<std::int32_t>, TurningView<double>, double);
template std::vector<IdRange> scanline_id_ranges(TurningView<float>, float);
template std::vector<IdRange> scanline_id_ranges(TurningView<double>, double);
template ScanlineIds assign_scanline_ids(std::uint64_t, const TurningList<float>&, float);
template ScanlineIds assign_scanline_ids(std::uint64_t, const TurningList<double>&, double);

}  // namespace vorlane
