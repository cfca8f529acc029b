// The driver: measures the scales, streams the path in fixed chunks (in parallel on the shared
// pool when it is large), judges the stretches and writes the ids.
#include "robust/robust_scanlines.hpp"

#include <algorithm>
#include <map>
#include <vector>

#include "platform/first_touch.hpp"
#include "robust/batched_for.hpp"
#include "robust/stages.hpp"

namespace vorlane::robust {
namespace {

// Chunks have a fixed length, never one per thread, so every pool size cuts the path at the
// same samples and gives the same ids.
constexpr std::uint64_t CHUNK = std::uint64_t{1} << 18;

std::uint64_t chunk_count(std::uint64_t n) { return (n + CHUNK - 1) / CHUNK; }

// Straight stretches of every chunk in recording order, a chunk a task. The calling thread's
// tasks first fault in a slice of the result's pages each.
template <typename T>
std::vector<Segment> all_runs(const Path<T>& path, const Scales& scales, FirstTouch& result) {
    const std::uint64_t chunks = chunk_count(path.size());
    std::vector<std::vector<Segment>> per_chunk(static_cast<std::size_t>(chunks));
    const auto run_chunk = [&](std::size_t c) {
        result.step();
        const std::uint64_t begin = static_cast<std::uint64_t>(c) * CHUNK;
        per_chunk[c] = straight_runs(path, scales, begin, std::min(begin + CHUNK, path.size()));
    };
    for_each_index(per_chunk.size(), 1, run_chunk);
    std::vector<Segment> runs;
    std::size_t total = 0;
    for (const auto& chunk : per_chunk) total += chunk.size();
    runs.reserve(total);
    for (auto& chunk : per_chunk) {
        runs.insert(runs.end(), chunk.begin(), chunk.end());
        chunk = {};
    }
    return runs;
}

// Each line's id over its samples and -1 between them, a chunk a task like the pass that found
// them.
void write_ids(const std::vector<Segment>& lines, std::span<std::int32_t> ids) {
    const std::uint64_t n = ids.size();
    const auto fill_chunk = [&](std::size_t c) {
        const std::uint64_t begin = static_cast<std::uint64_t>(c) * CHUNK;
        const std::uint64_t end = std::min(begin + CHUNK, n);
        // Every sample is written once: the gap before each line, then the line.
        const auto fill = [&](std::uint64_t from, std::uint64_t to, std::int32_t id) {
            if (from < to)
                std::fill(ids.begin() + static_cast<std::ptrdiff_t>(from),
                          ids.begin() + static_cast<std::ptrdiff_t>(to), id);
        };
        std::uint64_t written = begin;
        auto it = std::lower_bound(lines.begin(), lines.end(), begin,
                                   [](const Segment& s, std::uint64_t i) { return s.last < i; });
        for (; it != lines.end() && it->first < end; ++it) {
            const std::uint64_t from = std::max(it->first, begin);
            const std::uint64_t to = std::min(it->last + 1, end);
            fill(written, from, -1);
            fill(from, to, static_cast<std::int32_t>(it - lines.begin() + 1));
            written = std::max(written, to);
        }
        fill(written, end, -1);
    };
    for_each_index(static_cast<std::size_t>(chunk_count(n)), 1, fill_chunk);
}

}  // namespace

template <typename T>
RobustInfo robust_scanlines(StridedSamples<T> x, StridedSamples<T> y, const std::uint8_t* laser_on,
                            const RobustOptions& options, std::span<std::int32_t> ids) {
    RobustInfo info;
    const Path<T> path{x, y, laser_on};
    // One thread faults the ids' pages best as it writes them: touched ahead, they would be
    // cleared into the cache only to be pushed out by the pass.
    FirstTouch result(pool_size() > 1 ? std::as_writable_bytes(ids) : std::span<std::byte>());
    const Scales scales = measure_scales(path, options.tolerance);
    info.noise = scales.noise;
    info.tolerance = scales.tolerance;
    info.sample_step = scales.step;
    info.window = scales.window;
    std::vector<Segment> segments;
    if (scales.usable) {
        segments = all_runs(path, scales, result);
        merge_collinear(segments, scales);
        fit_and_trim(path, scales, segments);
        FamilyReport report = judge_hatch(segments, scales);
        extend_lines(path, scales, segments);
        const bool lagged = settle_line_starts(path, scales, segments) > 0;
        if (lagged) settle_line_ends(path, scales, segments);
        // A piece of a lagged turn can pass for a short line until its settling is taken away.
        for (Segment& s : segments)
            if (s.rejected == nullptr && s.last - s.first + 1 < scales.window + 2)
                s.rejected = "too short once settled";
        reject_turn_pieces(path, scales, report.spacing, segments);
        trim_jump_ramps(path, scales, segments);
        if (!lagged) trim_turn_arcs(path, scales, report.spacing, segments);
        info.line_spacing = report.spacing;
        info.angles_deg = std::move(report.angles_deg);
        // Reasons are string literals: counted by address, which costs no string a stretch,
        // then merged by text, which one literal written twice need not share.
        std::map<const char*, std::uint64_t> by_address;
        for (const Segment& s : segments)
            if (s.rejected != nullptr) ++by_address[s.rejected];
        std::map<std::string, std::uint64_t> rejected;
        for (const auto& [reason, count] : by_address) rejected[reason] += count;
        info.rejected.assign(rejected.begin(), rejected.end());
        std::erase_if(segments, [](const Segment& s) { return s.rejected != nullptr; });
        add_dot_lines(path, scales, report.spacing, segments);
    }
    info.lines = segments.size();
    result.finish();
    write_ids(segments, ids);
    return info;
}

template RobustInfo robust_scanlines<float>(StridedSamples<float>, StridedSamples<float>,
                                            const std::uint8_t*, const RobustOptions&,
                                            std::span<std::int32_t>);
template RobustInfo robust_scanlines<double>(StridedSamples<double>, StridedSamples<double>,
                                             const std::uint8_t*, const RobustOptions&,
                                             std::span<std::int32_t>);

}  // namespace vorlane::robust
