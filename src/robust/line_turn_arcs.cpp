// Cuts from each hatch line's ends the first samples of a turn that leaves it at scan speed, as a
// skywriting scanner's U-turn does between meandering lines.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "robust/batched_for.hpp"
#include "robust/line_geometry.hpp"
#include "robust/stages.hpp"

namespace vorlane::robust {
namespace {

// The steps of a turn at scan speed, as shares of the sample step, noise aside.
constexpr double SLOWEST_TURN_STEP = 0.7;
constexpr double FASTEST_TURN_STEP = 1.3;

// The most samples of a turn that may pass for a line's.
constexpr double LONGEST_ARC = 64;

// The least cosine between the line and where a turn's first samples lead: a half circle
// bends away gradually, while a connector leaves a line's end at a corner.
constexpr double TURN_LEAD_COSINE = 0.25;

// Whether the mirror, from the line's end sample `end` and walking by `step` (+1 past the end,
// -1 before the start), moves on at scan speed for `count` samples and ends them off the line
// but still mostly along it: a turn that neither stops, nor jumps, nor leaves at a corner.
template <typename T>
bool turns_at_speed(const Path<T>& path, const Scales& scales, const Segment& line,
                    std::uint64_t end, int step, std::uint64_t count) {
    if (step > 0 ? path.size() - 1 - end < count : end < count) return false;
    // Judged over chords of two steps, whose ends carry the noise of two samples as a single
    // step's do: a step alone under heavy noise strays out of any band now and then.
    const double slack = 2 * scales.noise;
    std::uint64_t i = end;
    for (std::uint64_t k = 0; k < count; k += 2) {
        const std::uint64_t steps = std::min<std::uint64_t>(2, count - k);
        const std::uint64_t next = step > 0 ? i + steps : i - steps;
        for (std::uint64_t j = 1; j <= steps; ++j)
            if (!path.finite(step > 0 ? i + j : i - j)) return false;
        const double moved = path.step_between(i, next);
        const double chord = static_cast<double>(steps) * scales.step;
        if (!(moved >= SLOWEST_TURN_STEP * chord - slack &&
              moved <= FASTEST_TURN_STEP * chord + slack))
            return false;
        i = next;
    }
    // Where the turn leads is judged over its first two steps: a tight half circle has turned
    // most of the way round by the end of the count.
    const std::uint64_t lead = step > 0 ? end + 2 : end - 2;
    const double onward = (along(path, line.fit, lead) - along(path, line.fit, end)) * step;
    return distance_of(path, line.fit, i) > scales.tolerance &&
           onward >= TURN_LEAD_COSINE * path.step_between(end, lead);
}

}  // namespace

template <typename T>
void trim_turn_arcs(const Path<T>& path, const Scales& scales, double spacing,
                    std::vector<Segment>& segments) {
    // A U-turn joins neighbouring lines on a half circle of half their spacing; from its tangent
    // a circle of radius r stays within the tolerance for sqrt(2 r tolerance), and those samples
    // pass for the line's, with those that noise brings within it from up to two deviations
    // further off. The overshoot before the turn, and the run-up after it, lie on the line's
    // axis with the laser off: what the cut takes beyond the turn is theirs.
    const double reach = std::sqrt(spacing * scales.tolerance);
    const double samples = std::sqrt(spacing * (scales.tolerance + 2 * scales.noise)) / scales.step;
    // A tolerance as wide as the spacing (one a caller chose) leaves no turn to tell.
    if (!(std::isfinite(spacing) && reach <= spacing && samples >= 1 && samples <= LONGEST_ARC))
        return;
    const auto arc = static_cast<std::uint64_t>(samples);
    const std::uint64_t count = 2 * arc + 2;
    const std::uint64_t shortest = scales.window + 2;
    for_each_segment(segments.size(), [&](std::size_t s) {
        Segment& line = segments[s];
        if (line.rejected != nullptr || line.last < line.first) return;
        if (line.last - line.first + 1 >= shortest + arc &&
            turns_at_speed(path, scales, line, line.last, +1, count))
            line.last -= arc;
        if (line.last - line.first + 1 >= shortest + arc &&
            turns_at_speed(path, scales, line, line.first, -1, count))
            line.first += arc;
    });
}

template void trim_turn_arcs<float>(const Path<float>&, const Scales&, double,
                                    std::vector<Segment>&);
template void trim_turn_arcs<double>(const Path<double>&, const Scales&, double,
                                     std::vector<Segment>&);

}  // namespace vorlane::robust
