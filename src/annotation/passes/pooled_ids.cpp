// The id pass in slices on the pool: ranges decided on the calling thread, written in parallel.
#include "annotation/passes/pooled_ids.hpp"

#include <algorithm>
#include <vector>

#include "platform/pool.hpp"
#include "platform/test_hooks.hpp"

namespace vorlane {

void write_id_slice(std::span<std::int32_t> ids, std::span<const IdRange> ranges,
                    std::uint64_t begin, std::uint64_t end) noexcept {
    end = std::min<std::uint64_t>(end, ids.size());
    if (begin >= end) return;
    const auto at = [&ids](std::uint64_t i) {
        return ids.begin() + static_cast<std::ptrdiff_t>(i);
    };
    // Ranges are disjoint and ascending, so their last samples ascend too.
    auto range = std::lower_bound(ranges.begin(), ranges.end(), begin,
                                  [](const IdRange& r, std::uint64_t i) { return r.last < i; });
    std::uint64_t cursor = begin;
    for (; range != ranges.end() && range->first < end; ++range) {
        const std::uint64_t low = std::max(range->first, begin);
        // range->last + 1 could wrap; end - 1 cannot.
        const std::uint64_t high = std::min(range->last, end - 1) + 1;
        std::fill(at(cursor), at(low), -1);
        std::fill(at(low), at(high), range->id);
        cursor = high;
    }
    std::fill(at(cursor), at(end), -1);
}

template <typename T>
void assign_scanline_ids_pooled(std::span<std::int32_t> ids, TurningView<T> turns,
                                T segment_threshold, std::uint64_t slices) {
    const std::vector<IdRange> ranges = scanline_id_ranges(turns, segment_threshold);
    const std::uint64_t n = ids.size();
    const std::uint64_t quanta = (n + ID_SLICE_QUANTUM - 1) / ID_SLICE_QUANTUM;
    slices = std::clamp<std::uint64_t>(slices, 1, std::max<std::uint64_t>(quanta, 1));
    const std::uint64_t slice = (quanta + slices - 1) / slices * ID_SLICE_QUANTUM;
    const std::uint64_t count = n == 0 ? 0 : (n + slice - 1) / slice;
    pool_run(count, [&](std::size_t index) {
        inject_fault("pool_ids");
        const std::uint64_t begin = index * slice;
        write_id_slice(ids, ranges, begin, begin + slice);
    });
}

template void assign_scanline_ids_pooled(std::span<std::int32_t>, TurningView<float>, float,
                                         std::uint64_t);
template void assign_scanline_ids_pooled(std::span<std::int32_t>, TurningView<double>, double,
                                         std::uint64_t);

}  // namespace vorlane
