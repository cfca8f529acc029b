// The id pass spread over the pool: the calling thread decides the id ranges (one walk over the
// turning points), and each pool thread writes its own slice of the result, so that the first
// touch of the fresh result's pages, whose zeroing by the kernel is most of the pass, is shared.
#pragma once

#include <cstdint>
#include <span>

#include "annotation/model/records.hpp"
#include "annotation/stages/stages.hpp"

namespace vorlane {

// Samples per slice are a multiple of this, so that no two slices write one cache line or,
// in a page-aligned buffer, one page.
inline constexpr std::uint64_t ID_SLICE_QUANTUM = 1024;

// Writes ids[begin, end) as the id pass would: the ids of `ranges` (ascending and disjoint),
// -1 elsewhere.
void write_id_slice(std::span<std::int32_t> ids, std::span<const IdRange> ranges,
                    std::uint64_t begin, std::uint64_t end) noexcept;

// The same result as assign_scanline_ids_into, the buffer cut into at most `slices` slices of
// whole quanta, each written by a pool thread.
template <typename T>
void assign_scanline_ids_pooled(std::span<std::int32_t> ids, TurningView<T> turns,
                                T segment_threshold, std::uint64_t slices);
template <typename T>
void assign_scanline_ids_pooled(std::span<std::int32_t> ids, const TurningList<T>& turns,
                                T segment_threshold, std::uint64_t slices) {
    assign_scanline_ids_pooled(ids, TurningView<T>(turns), segment_threshold, slices);
}

}  // namespace vorlane
