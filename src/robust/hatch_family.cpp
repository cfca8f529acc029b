// Tells hatch lines from every other straight stretch: a hatch line has a parallel neighbour in
// recording order at about the line spacing with an overlapping extent, and is no polygon edge.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <vector>

#include "robust/batched_for.hpp"
#include "robust/stages.hpp"

namespace vorlane::robust {
namespace {

constexpr std::size_t NEIGHBOURS = 3;         // member-sized stretches either side to compare
constexpr std::size_t LOOK_AROUND = 64;       // stretches either side searched for them
constexpr std::uint64_t MEMBER_SAMPLES = 12;  // shorter stretches are turns and fragments
const double PARALLEL_SINE = std::sin(3.0 * std::numbers::pi / 180.0);
const double CORNER_SINE = std::sin(15.0 * std::numbers::pi / 180.0);
constexpr double SPACING_SLACK = 0.3;          // share of a spacing a neighbour may be off
constexpr double POLYGON_EDGE_SPACINGS = 4.0;  // an edge this long joins contours, not lines
constexpr double MIN_OVERLAP_SHARE = 0.25;
// Lines of a sliver may miss each other along their axis by this share of the shorter one, and
// must be this near each other in length and this long: turn fragments are short, and repeat
// from line to line as staggered as a sliver's lines are.
constexpr double STAGGER_GAP_SHARE = 0.15;
constexpr double STAGGER_LENGTH_RATIO = 0.5;
constexpr std::uint64_t STAGGER_SAMPLES = 24;
constexpr double DIVERGENCE_TOLERANCES = 3.0;
constexpr double DIVERGENCE_STEPS = 0.75;
constexpr std::size_t CORNER_PIECES = 3;  // stretches either side looked at for a corner
// Windows of samples the settling of a line's start may have taken from between it and a
// piece of the lagged turn onto it.
constexpr std::uint64_t SETTLED_GAP = 3;

const char* const TOO_SHORT = "too short";
const char* const NO_PARALLEL = "no parallel neighbour";
const char* const OFF_SPACING = "not at the line spacing";
const char* const POLYGON_EDGE = "polygon edge";
const char* const SLOWING = "the end of a jump, slowing down";
const char* const SPEEDING = "the start of a jump, speeding up";
const char* const TURN_PIECE = "a piece of the turn onto or off a line";

struct Pair {
    bool parallel = false;
    double offset = 0;        // perpendicular distance between the two lines
    double overlap = 0;       // shared extent along the first line, as a share of the shorter
    double divergence = 0;    // how far their offset changes over that shared extent
    double turn = 0;          // how far the shorter one's direction takes it off the other's
    double length_ratio = 0;  // the shorter one's length over the longer one's
};

double sine_between(const LineFit& a, const LineFit& b) {
    return std::fabs(a.ux * b.uy - a.uy * b.ux);
}

Pair relate(const Segment& a, const Segment& b) {
    Pair pair;
    const double sine = sine_between(a.fit, b.fit);
    pair.parallel = sine <= PARALLEL_SINE;
    const double dx = b.fit.cx - a.fit.cx;
    const double dy = b.fit.cy - a.fit.cy;
    pair.offset = std::fabs(dx * a.fit.uy - dy * a.fit.ux);
    const auto project = [&](double x, double y) {
        return (x - a.fit.cx) * a.fit.ux + (y - a.fit.cy) * a.fit.uy;
    };
    const double b0 = project(b.first_x, b.first_y);
    const double b1 = project(b.last_x, b.last_y);
    const double lo = std::max(std::min(a.t_first, a.t_last), std::min(b0, b1));
    const double hi = std::min(std::max(a.t_first, a.t_last), std::max(b0, b1));
    const double shorter = std::min(a.length(), b.length());
    const double longer = std::max(a.length(), b.length());
    pair.overlap = shorter > 0 ? (hi - lo) / shorter : 0.0;
    pair.divergence = sine * std::max(0.0, hi - lo);
    pair.turn = sine * shorter;
    pair.length_ratio = longer > 0 ? shorter / longer : 0.0;
    return pair;
}

bool candidate(const Segment& segment, const Scales& scales) {
    return segment.fit.valid && segment.last - segment.first >= scales.window + 1 &&
           segment.length() >= 2 * scales.step;
}

bool member_sized(const Segment& segment, const Scales& scales) {
    return candidate(segment, scales) && segment.last - segment.first + 1 >= MEMBER_SAMPLES;
}

// Whether a stretch may stand beside a line as its neighbour. A lagged jump's ends (ramps) run
// nearly parallel to the lines they leave and reach, but anywhere between them; one-way
// hatching makes two of them a line, which would crowd the line's true neighbours out of those
// looked at and set the spacing by their offsets.
bool neighbour_sized(const Segment& segment, const Scales& scales) {
    return member_sized(segment, scales) && segment.ramp == JumpRamp::none;
}

// Calls visit(b) for the nearest neighbour-sized stretches before and after a in recording
// order: the fragments of a rounded turn may lie between two neighbouring lines.
template <typename Visit>
void for_neighbours(const std::vector<Segment>& segments, std::size_t a, const Scales& scales,
                    Visit&& visit) {
    std::size_t found = 0;
    for (std::size_t step = 1; step <= LOOK_AROUND && step <= a && found < NEIGHBOURS; ++step) {
        if (!neighbour_sized(segments[a - step], scales)) continue;
        ++found;
        visit(a - step);
    }
    found = 0;
    for (std::size_t step = 1;
         step <= LOOK_AROUND && a + step < segments.size() && found < NEIGHBOURS; ++step) {
        if (!neighbour_sized(segments[a + step], scales)) continue;
        ++found;
        visit(a + step);
    }
}

// Hatch lines keep their spacing along their whole length, to within what the noise tilts
// their fits, or what a lagged mirror still settling onto a short line tilts its fit (most of a
// step over the line); exposed connectors between one-way lines turn by a degree or two from
// one to the next as the lines' ends follow a part's edge, and drift apart by more.
double divergence_limit(const Scales& scales) {
    return std::max(DIVERGENCE_TOLERANCES * scales.tolerance, DIVERGENCE_STEPS * scales.step);
}

bool side_by_side(const Pair& pair, const Scales& scales) {
    return pair.parallel && pair.overlap >= MIN_OVERLAP_SHARE &&
           pair.offset > 2 * scales.tolerance && pair.divergence <= divergence_limit(scales);
}

// A sliver of a part about a spacing wide, crossed at a slant, holds short lines that each begin
// about where the one before ended along their common axis: neighbours with no shared extent.
bool staggered(const Pair& pair, const Segment& a, const Segment& b, const Scales& scales) {
    const auto long_enough = [](const Segment& s) {
        return s.last - s.first + 1 >= STAGGER_SAMPLES;
    };
    return pair.parallel && pair.offset > 2 * scales.tolerance &&
           pair.overlap >= -STAGGER_GAP_SHARE && pair.length_ratio >= STAGGER_LENGTH_RATIO &&
           long_enough(a) && long_enough(b) && pair.turn <= divergence_limit(scales);
}

// The median offset between neighbouring parallel stretches that overlap.
double line_spacing(const std::vector<Segment>& segments, const Scales& scales) {
    // The nearest parallel line ahead of each stretch: farther ones sit several spacings away.
    std::vector<double> nearest(segments.size(), std::numeric_limits<double>::infinity());
    for_each_segment(segments.size(), [&](std::size_t a) {
        if (!neighbour_sized(segments[a], scales)) return;
        for_neighbours(segments, a, scales, [&](std::size_t b) {
            if (b < a) return;
            const Pair pair = relate(segments[a], segments[b]);
            if (side_by_side(pair, scales)) nearest[a] = std::min(nearest[a], pair.offset);
        });
    });
    std::vector<double> offsets;
    for (const double offset : nearest)
        if (std::isfinite(offset)) offsets.push_back(offset);
    if (offsets.empty()) return 0;
    const auto middle = offsets.begin() + static_cast<std::ptrdiff_t>(offsets.size() / 2);
    std::nth_element(offsets.begin(), middle, offsets.end());
    return *middle;
}

bool at_spacing(double offset, double spacing) {
    const double ratio = offset / spacing;
    const double nearest = std::round(ratio);
    return nearest >= 1 && nearest <= 2 && std::fabs(ratio - nearest) <= SPACING_SLACK;
}

double apart(const Segment& from, const Segment& to) {
    return std::hypot(to.first_x - from.last_x, to.first_y - from.last_y);
}

// Whether the mirror covers `distance` over `steps` samples (at least one) within `chords`
// chords, at no more than scan speed: one stretch running on into the next, no jump between.
bool runs_on(std::uint64_t steps, double distance, const Scales& scales, std::uint64_t chords = 1) {
    return steps > 0 && steps <= chords * scales.window &&
           distance <= static_cast<double>(steps) * scales.step_max;
}

// Whether `from` runs on into `to`, as the pieces of a corner a lagged mirror rounds do. A
// piece holding a jump runs on into nothing: a chord averages a jump of a sample or two with
// the delay after it into a straight stretch.
bool traced(const Segment& from, const Segment& to, const Scales& scales) {
    return !from.jumps && !to.jumps && to.first > from.last &&
           runs_on(to.first - from.last, apart(from, to), scales);
}

// A polygon's edges meet at corners with nothing between; a hatch line meets only short
// connectors and turns, whose length is about one spacing.
bool polygon_edge(const std::vector<Segment>& segments, std::size_t a, const Scales& scales,
                  double spacing) {
    const std::uint64_t joined = 2 * scales.window + 2;
    // A corner delay parks the mirror for any number of samples without moving it.
    const double near = static_cast<double>(joined) * scales.step;
    const Segment& line = segments[a];
    const auto corner_with = [&](const Segment& other, std::uint64_t gap, double distance) {
        return other.fit.valid && (gap <= joined || distance <= near) &&
               sine_between(line.fit, other.fit) >= CORNER_SINE &&
               other.length() >= POLYGON_EDGE_SPACINGS * spacing;
    };
    // Neighbouring stretches may share the corner's sample or two: that is no gap at all.
    if (a > 0 && segments[a - 1].first < line.first) {
        const Segment& before = segments[a - 1];
        const std::uint64_t gap = line.first > before.last ? line.first - before.last : 0;
        if (corner_with(before, gap, apart(before, line))) return true;
    }
    if (a + 1 < segments.size() && segments[a + 1].last > line.last) {
        const Segment& after = segments[a + 1];
        const std::uint64_t gap = after.first > line.last ? after.first - line.last : 0;
        if (corner_with(after, gap, apart(line, after))) return true;
    }
    // Without a corner delay a lagged mirror rounds the corner into short pieces between the
    // two edges: the edge beyond them meets this one as closely.
    for (std::size_t k = 1; k < CORNER_PIECES && k < a; ++k) {
        const Segment& before = segments[a - k - 1];
        if (!traced(segments[a - k], segments[a - k + 1], scales) ||
            !traced(before, segments[a - k], scales))
            break;
        if (corner_with(before, line.first - before.last, apart(before, line))) return true;
    }
    for (std::size_t k = 1; k < CORNER_PIECES && a + k + 1 < segments.size(); ++k) {
        const Segment& after = segments[a + k + 1];
        if (!traced(segments[a + k - 1], segments[a + k], scales) ||
            !traced(segments[a + k], after, scales))
            break;
        if (corner_with(after, after.first - line.last, apart(line, after))) return true;
    }
    return false;
}

const char* verdict(const std::vector<Segment>& segments, std::size_t a, const Scales& scales,
                    double spacing, const std::vector<std::uint8_t>& edges) {
    if (!candidate(segments[a], scales)) return TOO_SHORT;
    if (segments[a].ramp == JumpRamp::arriving) return SLOWING;
    if (segments[a].ramp == JumpRamp::leaving) return SPEEDING;
    if (edges[a]) return POLYGON_EDGE;
    const char* reason = NO_PARALLEL;
    bool family = false;
    for_neighbours(segments, a, scales, [&](std::size_t b) {
        // A contour edge beside a connector along the part's boundary (the hatch's inset, one
        // spacing inside the contour) makes no family of them.
        if (edges[b]) return;
        const Pair pair = relate(segments[a], segments[b]);
        if (family ||
            !(side_by_side(pair, scales) || staggered(pair, segments[a], segments[b], scales)))
            return;
        reason = OFF_SPACING;
        family = spacing > 0 && at_spacing(pair.offset, spacing);
    });
    return family ? nullptr : reason;
}

// Line angles grouped within a few degrees (folded at 180), each group's mean weighted by its
// samples.
std::vector<double> family_angles(const std::vector<Segment>& segments) {
    std::vector<std::pair<double, double>> angles;  // angle, weight
    for (const Segment& s : segments)
        if (s.rejected == nullptr)
            angles.emplace_back(s.angle_deg, static_cast<double>(s.last - s.first + 1));
    std::sort(angles.begin(), angles.end());
    std::vector<double> found;
    std::size_t i = 0;
    while (i < angles.size()) {
        std::size_t j = i;
        double weight = 0, sum = 0;
        while (j < angles.size() && angles[j].first - angles[i].first <= 2.0) {
            weight += angles[j].second;
            sum += angles[j].second * angles[j].first;
            ++j;
        }
        found.push_back(sum / weight);
        i = j;
    }
    // A group straddling 0/180 shows as two; keep the larger as the one angle.
    if (found.size() >= 2 && found.front() < 1.0 && found.back() > 179.0)
        found.erase(found.begin());
    return found;
}

}  // namespace

FamilyReport judge_hatch(std::vector<Segment>& segments, const Scales& scales) {
    FamilyReport report;
    report.spacing = line_spacing(segments, scales);
    // Bytes, not packed bits, so that the pool's threads write neighbouring entries safely.
    std::vector<std::uint8_t> edges(segments.size());
    for_each_segment(segments.size(), [&](std::size_t a) {
        edges[a] =
            candidate(segments[a], scales) && polygon_edge(segments, a, scales, report.spacing);
    });
    std::vector<const char*> verdicts(segments.size());
    for_each_segment(segments.size(), [&](std::size_t a) {
        verdicts[a] = verdict(segments, a, scales, report.spacing, edges);
    });
    for (std::size_t a = 0; a < segments.size(); ++a) segments[a].rejected = verdicts[a];
    report.angles_deg = family_angles(segments);
    return report;
}

// A lagged mirror turning onto a line, or off it, straightens out along the line's own axis
// before it is on it: the drift test cuts that piece off as a short stretch of its own, which
// runs straight on into the line (or out of it) at scan speed. Two hatch lines never meet so:
// a line's neighbours on its own axis lie across a hole, beyond a jump. Judged once the lines
// are extended and settled, so that the piece has kept the line from growing over it.
template <typename T>
void reject_turn_pieces(const Path<T>& path, const Scales& scales, double spacing,
                        std::vector<Segment>& segments) {
    if (spacing <= 0) return;
    // Extension and settling moved the ends, so the samples are read, not the stretch records.
    const auto runs_into = [&](const Segment& piece, const Segment& line, std::uint64_t from,
                               std::uint64_t to) {
        return line.rejected == nullptr && member_sized(line, scales) && to > from &&
               runs_on(to - from, path.step_between(from, to), scales, SETTLED_GAP) &&
               sine_between(piece.fit, line.fit) <= PARALLEL_SINE &&
               relate(line, piece).offset <= SPACING_SLACK * spacing;
    };
    std::vector<std::uint8_t> pieces(segments.size());
    for (std::size_t a = 0; a < segments.size(); ++a) {
        const Segment& piece = segments[a];
        if (piece.rejected != nullptr || member_sized(piece, scales)) continue;
        pieces[a] = (a + 1 < segments.size() &&
                     runs_into(piece, segments[a + 1], piece.last, segments[a + 1].first)) ||
                    (a > 0 && runs_into(piece, segments[a - 1], segments[a - 1].last, piece.first));
    }
    for (std::size_t a = 0; a < segments.size(); ++a)
        if (pieces[a]) segments[a].rejected = TURN_PIECE;
}

template void reject_turn_pieces<float>(const Path<float>&, const Scales&, double,
                                        std::vector<Segment>&);
template void reject_turn_pieces<double>(const Path<double>&, const Scales&, double,
                                         std::vector<Segment>&);

}  // namespace vorlane::robust
