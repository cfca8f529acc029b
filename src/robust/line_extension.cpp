// Extends each hatch line over the samples that continue it: the last of a rounded turn, and
// the dwells at its ends, up to where the next line's samples begin.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "robust/batched_for.hpp"
#include "robust/line_dwells.hpp"
#include "robust/line_geometry.hpp"
#include "robust/stages.hpp"

namespace vorlane::robust {
namespace {

// How many samples past `end`, walking by `step` (+1 or -1) and never past `limit`, a line
// extends by: the next one when it continues the line and lies no further back along it than
// `bound` allows (see extend_lines), or the two next when the noise threw only the first just
// past the tolerance, as it does now and then to a sample in a long run. A line turning away
// leaves it for good. Zero when neither.
constexpr double LONE_SLACK = 1.5;

template <typename T>
std::uint64_t extension(const Path<T>& path, const Scales& scales, const LineFit& line,
                        std::uint64_t end, int step, std::uint64_t limit, double bound) {
    const auto forward = [&](std::uint64_t i, double slack) {
        const double t = along(path, line, i);
        return step < 0 ? t <= bound + slack : t >= bound - slack;
    };
    const std::uint64_t next = step < 0 ? end - 1 : end + 1;
    if (continues(path, scales, line, end, next) && forward(next, 0)) return 1;
    if (next == limit) return 0;
    const std::uint64_t beyond = step < 0 ? end - 2 : end + 2;
    const double slack = (LONE_SLACK - 1) * scales.tolerance;
    const bool lone = path.usable(next) &&
                      distance_of(path, line, next) <= LONE_SLACK * scales.tolerance &&
                      path.step_between(end, next) <= scales.step_max && forward(next, slack);
    return lone && continues(path, scales, line, next, beyond) && forward(beyond, 0) ? 2 : 0;
}

// Whether `segment` is only the end of a jump along `next`'s own axis, just before the line or
// the dwell it begins in: a lagged mirror creeps the last of a jump in steps a line might take,
// and they pass for a short line of their own that would take the jump delay as its end's.
// Moving less than a chord's length, they are no stretch of exposure; the next line's extension
// then settles where it begins.
template <typename T>
bool leads_into(const Path<T>& path, const Scales& scales, const Segment& segment,
                const Segment& next) {
    constexpr std::uint64_t GAP = 2;
    constexpr double LEAD_CHORDS = 3;
    if (!next.fit.valid || next.first <= segment.last) return false;
    const std::uint64_t between = next.first - segment.last - 1;
    if (between > GAP && parked_after(path, scales, next.first, -1, segment.last) + GAP < between) {
        // Or a lagged mirror still creeping through the delay, and perhaps setting off from it
        // along the next line's axis: it must come to a stop, or the stretch and the next are
        // pieces of one line.
        std::uint64_t creeping = 0, longest = 0;
        bool creeps_throughout = true;
        for (std::uint64_t i = segment.last + 1; i <= next.first; ++i) {
            if (creeps_into(path, scales, i)) {
                longest = std::max(longest, ++creeping);
                continue;
            }
            creeping = 0;
            creeps_throughout = false;
            if (!continues(path, scales, next.fit, i - 1, i)) return false;
        }
        if (!creeps_throughout && longest + 1 < STOP_SAMPLES) return false;
    }
    if (!(distance_of(path, next.fit, segment.last) <= scales.tolerance)) return false;
    const double chord = static_cast<double>(scales.window + 2) * scales.step;
    const double moved = path.step_between(segment.first, segment.last);
    if (moved < chord && distance_of(path, next.fit, segment.first) <= scales.tolerance)
        return true;
    // A jump that stops on the axis, in its delay, before the line sets off from rest: the creep
    // may come in at a slant, and the mirror's first, slow steps out of the dwell may be the
    // stretch's too.
    if (!(moved < LEAD_CHORDS * chord)) return false;
    if (between > GAP) return true;  // the dwell between them
    for (std::uint64_t i = segment.first; i < segment.last;) {
        const std::uint64_t parked = parked_after(path, scales, i, +1, segment.last);
        if (parked + 1 >= STOP_SAMPLES) return true;
        i += parked + 1;
    }
    return false;
}

}  // namespace

template <typename T>
void extend_lines(const Path<T>& path, const Scales& scales, std::vector<Segment>& segments) {
    const Skywriting skywriting = skywriting_of(path, scales, segments);
    // Each line is judged against its neighbours as the pass found them: the next line, whose
    // first sample its forward extension stops short of, and the end of the line before, which
    // its backward extension stops at. So the lines go on the pool, each changing only itself.
    std::vector<std::size_t> lines;
    for (std::size_t i = 0; i < segments.size(); ++i)
        if (segments[i].rejected == nullptr) lines.push_back(i);
    // A stretch that is only the end of a jump onto the next line is no line, and leaves the
    // samples up to its own start to the next one's extension.
    std::vector<std::uint8_t> leads(lines.size(), 0);
    for_each_segment(lines.size(), [&](std::size_t l) {
        leads[l] = l + 1 < lines.size() &&
                   leads_into(path, scales, segments[lines[l]], segments[lines[l + 1]]);
    });
    // The first sample not the line before's, and the last not the next line's.
    struct Bounds {
        std::uint64_t floor = 0, ceiling = 0;
    };
    std::vector<Bounds> bounds(lines.size());
    for (std::size_t l = 0; l < lines.size(); ++l) {
        const Segment& line = segments[lines[l]];
        if (l > 0)
            bounds[l].floor =
                leads[l - 1] != 0 ? bounds[l - 1].floor : segments[lines[l - 1]].last + 1;
        const Segment* next = l + 1 < lines.size() ? &segments[lines[l + 1]] : nullptr;
        bounds[l].ceiling = next == nullptr           ? path.size() - 1
                            : next->first > line.last ? next->first - 1
                                                      : line.last;
    }
    for_each_segment(lines.size(), [&](std::size_t l) {
        Segment& line = segments[lines[l]];
        if (leads[l] != 0) {
            line.rejected = "the end of a jump onto the next line";
            return;
        }
        const auto [floor, ceiling] = bounds[l];
        line.first = std::max(line.first, floor);
        if (line.first > line.last) {
            line.rejected = "overlaps the line before";
            return;
        }
        const std::uint64_t run_first = line.first, run_last = line.last;
        // Backwards, the line may only recede (or dwell): a sample ahead of its start belongs
        // to a turn that crossed it. Forwards, it may only advance.
        double lowest = along(path, line.fit, line.first);
        while (line.first > floor) {
            const std::uint64_t taken =
                extension(path, scales, line.fit, line.first, -1, floor, lowest + scales.tolerance);
            if (taken == 0) break;
            line.first -= taken;
            lowest = std::min(lowest, along(path, line.fit, line.first));
        }
        double highest = along(path, line.fit, line.last);
        while (line.last < ceiling) {
            const std::uint64_t taken = extension(path, scales, line.fit, line.last, +1, ceiling,
                                                  highest - scales.tolerance);
            if (taken == 0) break;
            line.last += taken;
            highest = std::max(highest, along(path, line.fit, line.last));
        }
        cut_at_stops(path, scales, line, run_first - line.first, line.last - run_last);
        trim_ends(path, scales, line, false);
        settle_dwell(path, scales, line, floor, ceiling, skywriting);
        drop_creep_behind_start(path, scales, line, run_first);
    });
    // Where two lines reached into the same samples between them, the earlier keeps them.
    std::uint64_t floor = 0;
    for (const std::size_t i : lines) {
        Segment& line = segments[i];
        if (line.rejected != nullptr) continue;
        line.first = std::max(line.first, floor);
        if (line.first > line.last) {
            line.rejected = "overlaps the line before";
            continue;
        }
        floor = line.last + 1;
    }
}

template void extend_lines<float>(const Path<float>&, const Scales&, std::vector<Segment>&);
template void extend_lines<double>(const Path<double>&, const Scales&, std::vector<Segment>&);

}  // namespace vorlane::robust
