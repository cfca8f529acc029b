// Where the chunked pass cuts a stage: the chunks of a chunked stage, or, for a sequential
// one, pieces cut where its run rule opens a run whatever came before, so that restarting
// the rule there changes nothing and the seam tests (the rule's own test against the open
// run) never fuse.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "annotation/passes/chunked_pass.hpp"
#include "annotation/stages/parallel_collapse.hpp"
#include "annotation/model/records.hpp"
#include "annotation/model/run_rules.hpp"

namespace vorlane {

// Up to `pieces` ranges of [0, n), cut near the even cuts at the first index where the run
// rule opens a run whatever came before, as `first_opening(from, limit)` finds it in
// [from, limit); a cut with none a little way after it is left out.
template <typename FirstOpening>
std::vector<SampleRange> split_at_run_starts(std::uint64_t n, std::uint64_t pieces,
                                             const FirstOpening& first_opening) {
    constexpr std::uint64_t SEARCH = 256;
    std::vector<SampleRange> ranges;
    std::uint64_t start = 0;
    for (const SampleRange& even : make_chunk_ranges(n, pieces)) {
        if (even.start == 0) continue;
        const std::uint64_t from = std::max(even.start, start + 1);
        if (from >= n) break;
        if (const std::optional<std::uint64_t> cut =
                first_opening(from, std::min(n, from + SEARCH))) {
            ranges.push_back({start, *cut});
            start = *cut;
        }
    }
    ranges.push_back({start, n});
    return ranges;
}

// The first sample j in [from, limit) (from >= 1) at which the x rule opens a run whatever
// came before.
template <typename T>
std::optional<std::uint64_t> first_x_opening(const CoordinateView<T>& x, std::uint64_t from,
                                             std::uint64_t limit) {
    for (std::uint64_t j = from; j < limit; ++j) {
        if (opens_run(x.at(j - 1), x.at(j))) return j;
    }
    return std::nullopt;
}


// The x ranges of the chunked x stage, or of the pieces of the sequential one.
template <typename T>
std::vector<SampleRange> x_ranges_for(const CoordinateView<T>& x, const ChunkPlan& plan) {
    const std::uint64_t n = x.count;
    if (plan.chunks_x(n)) return make_chunk_ranges(n, plan.x_threads);
    return split_at_run_starts(n, plan.x_threads, [&](std::uint64_t from, std::uint64_t limit) {
        return first_x_opening(x, from, limit);
    });
}

}  // namespace vorlane
