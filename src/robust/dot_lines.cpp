// Hatch vectors too short to move along: at the corner of a rotated island a vector of a step
// or two is, in the recording, the laser delays parked at its ends with a sample or two of
// motion between them, between the jump that arrives and the one that leaves. No straight
// stretch shows it; it is found as a dot in the gap between two hatch lines, beside one of them.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <vector>

#include "robust/batched_for.hpp"
#include "robust/line_dwells.hpp"
#include "robust/line_geometry.hpp"
#include "robust/stages.hpp"

namespace vorlane::robust {
namespace {

// The fewest samples a dot holds (fewer is a delay too short to tell from a jump's turn), and
// the most between its jumps: laser delays last a millisecond or so, and a longer stop beside
// the hatch is a pause, not a vector.
constexpr std::uint64_t DOT_SAMPLES = 16;
constexpr std::uint64_t LONGEST_DOT = 1024;
// How far, in sample steps, a dot's samples may lie from its middle: a vector of three steps
// and the noise of the delays at its ends.
constexpr double DOT_STEPS = 2.0;
// The samples beside one whose rest it is judged against, and how far, in noise deviations,
// it may lie from them.
constexpr std::uint64_t REST_SAMPLES = 8;
constexpr double STILL_DEVIATIONS = 3.0;
// The share of the samples between the two jumps that must lie in the dot: a lagged mirror's
// creep in and out of it takes the rest.
constexpr double DOT_SHARE = 0.75;
// Where a dot lies beside a neighbouring line: off its axis by about one spacing, and no
// further from its end than two.
constexpr double AXIS_SPACINGS_LOW = 0.7;
constexpr double AXIS_SPACINGS_HIGH = 1.3;
constexpr double END_SPACINGS = 2.0;

struct Dot {
    std::uint64_t first = 0, last = 0;
    double x = 0, y = 0;  // its middle
};

// The dot among samples [from, to] (a run between two jumps), if they hold one.
template <typename T>
bool find_dot(const Path<T>& path, const Scales& scales, std::uint64_t from, std::uint64_t to,
              Dot& dot) {
    // The laser is off over the jump delay before the vector, and may be over the mark delay
    // after it: the dot is what is exposed between them.
    while (from < to && !path.usable(from)) ++from;
    while (to > from && !path.usable(to)) --to;
    const std::uint64_t count = to - from + 1;
    if (count < DOT_SAMPLES || count > LONGEST_DOT) return false;
    std::vector<double> xs, ys;
    xs.reserve(count);
    ys.reserve(count);
    for (std::uint64_t i = from; i <= to; ++i) {
        if (!path.usable(i)) return false;
        xs.push_back(path.x_at(i));
        ys.push_back(path.y_at(i));
    }
    const auto middle = [](std::vector<double> v) {
        std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
        return v[v.size() / 2];
    };
    dot.x = middle(xs);
    dot.y = middle(ys);
    const double reach = DOT_STEPS * scales.step + parked_radius(scales);
    const auto inside = [&](std::uint64_t i) {
        return std::hypot(path.x_at(i) - dot.x, path.y_at(i) - dot.y) <= reach;
    };
    std::uint64_t held = 0;
    for (std::uint64_t i = from; i <= to; ++i) held += inside(i);
    if (held < DOT_SAMPLES || static_cast<double>(held) < DOT_SHARE * static_cast<double>(count))
        return false;
    // The dot runs from the first sample that has settled in it to the last: the jumps'
    // partial steps and a lagged mirror's creep pass through its reach without settling. A
    // sample has settled when it lies within three noise deviations (or the settled distance)
    // of where the next few samples rest, or, at the dot's end, the last few.
    const double still = std::max(STILL_DEVIATIONS * scales.noise, scales.settled);
    const auto rests_by = [&](std::uint64_t i, std::uint64_t a, std::uint64_t b) {
        return distance_from(path, i, rest_over(path, a, b)) <= still;
    };
    dot.first = from;
    while (dot.first + REST_SAMPLES <= to &&
           !(inside(dot.first) && rests_by(dot.first, dot.first + 1, dot.first + REST_SAMPLES)))
        ++dot.first;
    dot.last = to;
    while (dot.last >= dot.first + REST_SAMPLES &&
           !(inside(dot.last) && rests_by(dot.last, dot.last - REST_SAMPLES, dot.last - 1)))
        --dot.last;
    return dot.last >= dot.first + DOT_SAMPLES - 1;
}

// Where the samples up to `to` (from `from` on) have rested: the first of those at its end
// within a dot's reach of where its last few rest. A mirror that reaches a short vector by an
// exposed connector, or by a lagged turn, comes with no jump before the vector's delays.
template <typename T>
std::uint64_t rest_at_end(const Path<T>& path, const Scales& scales, std::uint64_t from,
                          std::uint64_t to) {
    // Past the jump's first steps, which gather speed, to where the mirror was still.
    const double radius = parked_radius(scales);
    std::uint64_t end = to;
    while (end > from &&
           !(path.usable(end) && path.usable(end - 1) && path.step_between(end - 1, end) <= radius))
        --end;
    if (end < from + REST_SAMPLES) return to + 1;
    const Rest rest = rest_over(path, end - REST_SAMPLES + 1, end);
    const double reach = DOT_STEPS * scales.step + radius;
    std::uint64_t first = end + 1;
    while (first > from && path.usable(first - 1) && distance_from(path, first - 1, rest) <= reach)
        --first;
    return first;
}

// Whether the dot lies where the next vector of `line`'s family would: one spacing off its
// axis, beside its end `at`.
template <typename T>
bool beside(const Path<T>& path, const Segment& line, std::uint64_t at, const Dot& dot,
            double spacing) {
    if (!line.fit.valid) return false;
    const double off =
        std::fabs((dot.x - line.fit.cx) * line.fit.uy - (dot.y - line.fit.cy) * line.fit.ux);
    const double from_end = std::hypot(dot.x - path.x_at(at), dot.y - path.y_at(at));
    return off >= AXIS_SPACINGS_LOW * spacing && off <= AXIS_SPACINGS_HIGH * spacing &&
           from_end <= END_SPACINGS * spacing;
}

// The dots among samples [from, to) that lie beside the line (or dot) before them or the one
// after, either of which may be missing at the recording's ends, in recording order. A dot is
// given the direction of the line it lies beside, so that the dots of a corner's run of
// vectors, each too short to move along, are found beside one another.
template <typename T>
void dots_between(const Path<T>& path, const Scales& scales, double spacing, const Segment* before,
                  const Segment* after, std::uint64_t from, std::uint64_t to,
                  std::vector<Segment>& found) {
    // The runs between consecutive jumps in the gap: a dot has one on either side.
    std::uint64_t previous_jump = 0;
    bool jumped = false;
    for (std::uint64_t i = from; i < to && i + 1 < path.size(); ++i) {
        if (!(path.finite(i) && path.finite(i + 1) &&
              path.step_between(i, i + 1) > scales.step_max))
            continue;
        Dot dot;
        // Before the gap's first jump only a dot the line before runs into may lie, and only
        // the laser signal tells it: in x and y a lagged jump slows into the delay before a
        // vector as a connector at scan speed does, and the creep through that delay, short of
        // the vector, would pass for its dot.
        const bool run_into = !jumped && before != nullptr && path.laser_on != nullptr;
        const std::uint64_t run_first =
            jumped ? previous_jump + 1 : (run_into ? rest_at_end(path, scales, from, i) : i + 1);
        if (run_first <= i && find_dot(path, scales, run_first, i, dot)) {
            const bool by_before =
                before != nullptr && beside(path, *before, before->last, dot, spacing);
            if (by_before ||
                (after != nullptr && beside(path, *after, after->first, dot, spacing))) {
                Segment segment;
                segment.first = dot.first;
                segment.last = dot.last;
                segment.fit = (by_before ? before : after)->fit;
                segment.fit.cx = dot.x;
                segment.fit.cy = dot.y;
                // Run into, the vector begins where the mirror has settled onto its axis, though
                // it still creeps along it.
                while (!jumped && segment.first > run_first && path.usable(segment.first - 1) &&
                       distance_of(path, segment.fit, segment.first - 1) <= scales.settled)
                    --segment.first;
                found.push_back(segment);
            }
        }
        previous_jump = i;
        jumped = true;
    }
}

// The dots in the gap before lines[l] (l == 0: before the first line; l == size: after the last).
template <typename T>
void dots_in_gap(const Path<T>& path, const Scales& scales, double spacing,
                 const std::vector<Segment>& lines, std::size_t l, std::vector<Segment>& found) {
    const Segment* before = l > 0 ? &lines[l - 1] : nullptr;
    const Segment* after = l < lines.size() ? &lines[l] : nullptr;
    const std::uint64_t from = before != nullptr ? before->last + 1 : 0;
    const std::uint64_t to = after != nullptr ? after->first : path.size();
    if (from < to) dots_between(path, scales, spacing, before, after, from, to, found);
}

// A corner's run of short vectors is found a dot a round; a longer run is no corner's.
constexpr int DOT_ROUNDS = 64;

}  // namespace

template <typename T>
void add_dot_lines(const Path<T>& path, const Scales& scales, double spacing,
                   std::vector<Segment>& lines) {
    if (!(spacing > 0) || lines.empty()) return;
    // The gaps, the recording's two ends among them, hold every sample off the lines: contours
    // and jumps too. So they are searched on the pool, each batch of gaps into its own list, in
    // recording order.
    const std::size_t gaps = lines.size() + 1;
    std::vector<std::vector<Segment>> found_in((gaps + SEGMENT_BATCH - 1) / SEGMENT_BATCH);
    for_each_batch(gaps, SEGMENT_BATCH, [&](std::size_t begin, std::size_t end) {
        for (std::size_t l = begin; l < end; ++l)
            dots_in_gap(path, scales, spacing, lines, l, found_in[begin / SEGMENT_BATCH]);
    });
    std::vector<Segment> found;
    for (const std::vector<Segment>& batch : found_in)
        found.insert(found.end(), batch.begin(), batch.end());
    const auto by_first = [](const Segment& a, const Segment& b) { return a.first < b.first; };
    for (int round = 1; !found.empty(); ++round) {
        // Each dot lies in a gap between lines, so the merge keeps recording order.
        std::vector<Segment> merged;
        merged.reserve(lines.size() + found.size());
        std::merge(lines.begin(), lines.end(), found.begin(), found.end(),
                   std::back_inserter(merged), by_first);
        lines = std::move(merged);
        if (round == DOT_ROUNDS) break;
        // Then the gaps on either side of each new dot, where only a dot beside it may lie;
        // in recording order, each gap once.
        std::vector<Segment> next;
        std::size_t unsearched = 0;
        for (const Segment& dot : found) {
            const auto at = static_cast<std::size_t>(
                std::lower_bound(lines.begin(), lines.end(), dot, by_first) - lines.begin());
            for (std::size_t gap = std::max(at, unsearched); gap <= at + 1; ++gap)
                dots_in_gap(path, scales, spacing, lines, gap, next);
            unsearched = at + 2;
        }
        found = std::move(next);
    }
}

template void add_dot_lines<float>(const Path<float>&, const Scales&, double,
                                   std::vector<Segment>&);
template void add_dot_lines<double>(const Path<double>&, const Scales&, double,
                                    std::vector<Segment>&);

}  // namespace vorlane::robust
