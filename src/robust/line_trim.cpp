// Fits each straight stretch and trims the samples at its ends that turned away from the line;
// marks the stretches that only speed up or slow down, as a lagged jump's ends do.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "robust/batched_for.hpp"
#include "robust/line_dwells.hpp"
#include "robust/line_geometry.hpp"
#include "robust/stages.hpp"

namespace vorlane::robust {
namespace {

// At most this many samples at either end of a stretch are left out of the line its ends are
// judged against: a lagged mirror settles onto a line, and turns away from it, over a few tens.
constexpr std::uint64_t UNSETTLED_END = 48;

// The line through the middle half of a stretch (at most UNSETTLED_END samples left out at
// either end): the ends of a lagged stretch lie off to one side and would tilt a fit of all
// of it, so that trimming against that fit eats into the far end of a long line.
template <typename T>
LineFit body_fit(const Path<T>& path, const Segment& segment) {
    const auto count = static_cast<std::uint64_t>(segment.sums.n);
    const std::uint64_t left_out = std::min(UNSETTLED_END, count / 4);
    if (count != segment.last - segment.first + 1 || left_out == 0)
        return fit_line(segment.sums, segment.first_x, segment.first_y, segment.last_x,
                        segment.last_y);
    FitSums body = segment.sums;
    for (std::uint64_t k = 0; k < left_out; ++k) {
        body.remove(path.x_at(segment.first + k), path.y_at(segment.first + k));
        body.remove(path.x_at(segment.last - k), path.y_at(segment.last - k));
    }
    return fit_line(body, segment.first_x, segment.first_y, segment.last_x, segment.last_y);
}

// Whether a stretch only speeds up, as a lagged jump leaves a mirror at rest, or only slows
// down, as it arrives: one end comes or goes faster than the exposure speed and the speed
// changes by one factor after another. A line keeps its speed but for the ends, which a third
// of it cannot cover, and never runs faster than the exposure.
constexpr double JUMP_SPEED = 1.1;   // in sample steps a sample
constexpr double SPEED_KEPT = 0.85;  // the most of its speed a third may keep from its neighbour

template <typename T>
JumpRamp jump_ramp(const Path<T>& path, const Scales& scales, const Segment& segment) {
    const std::uint64_t third = (segment.last - segment.first) / 3;
    if (third == 0) return JumpRamp::none;
    const auto speed = [&](std::uint64_t k) {
        const std::uint64_t from = segment.first + k * third;
        return path.step_between(from, from + third) / static_cast<double>(third);
    };
    const double entry = speed(0), middle = speed(1), exit = speed(2);
    if (entry > JUMP_SPEED * scales.step && middle < SPEED_KEPT * entry &&
        exit < SPEED_KEPT * middle)
        return JumpRamp::arriving;
    // A short line setting off from a delay gains speed third after third as well: the noise
    // of a chord's two ends must not make its last third look faster than the exposure.
    const double fast = JUMP_SPEED * scales.step + 2.0 * scales.noise / static_cast<double>(third);
    if (exit > fast && middle < SPEED_KEPT * exit && entry < SPEED_KEPT * middle)
        return JumpRamp::leaving;
    return JumpRamp::none;
}

// Stretches up to this many samples are searched for a jump inside them: a chord averages a
// jump of a sample or two with the dwell after it, so a short stretch may hold one.
constexpr std::uint64_t SHORT_STRETCH = 24;

template <typename T>
bool holds_a_jump(const Path<T>& path, const Scales& scales, const Segment& segment) {
    if (segment.last - segment.first >= SHORT_STRETCH) return false;
    for (std::uint64_t i = segment.first; i < segment.last; ++i)
        if (!(path.step_between(i, i + 1) <= scales.step_max)) return true;
    return false;
}

// A line runs at its own speed up to its ends, where a lagged mirror may only be slower. Faster
// is a jump along the line's own axis that slows into it, or speeds out of it, without a stop.
constexpr double FAST_SHARE = 1.2;        // of the line's own speed, past which a chord is a jump's
constexpr double DIP_SHARE = 0.7;         // of the line's own speed, below which a chord is a dip
constexpr double REGAINED_SHARE = 0.9;    // of it, that the line runs at again after a dip
constexpr std::uint64_t DIP_SEARCH = 32;  // samples into a line a dip is looked for

// A chord of `w` samples from `from`, as a distance.
template <typename T>
double chord(const Path<T>& path, std::uint64_t from, std::uint64_t w) {
    return path.step_between(from, from + w);
}

// Cuts the ends while a chord runs faster than the line: a chord's two ends carry the noise of
// two samples. Never past the middle half [a, b].
template <typename T>
void cut_faster_ends(const Path<T>& path, const Scales& scales, Segment& line, double own,
                     std::uint64_t a, std::uint64_t b) {
    const std::uint64_t w = scales.window;
    const double limit =
        static_cast<double>(w) * FAST_SHARE * own + 3.0 * std::sqrt(2.0) * scales.noise;
    while (line.first < a && chord(path, line.first, w) > limit) ++line.first;
    while (line.last > b && chord(path, line.last - w, w) > limit) --line.last;
}

// A jump delay shorter than the lag leaves the mirror arriving along the axis still moving
// when the line sets off: it slows below the line's speed, without coming to rest, and only
// then speeds up with the line; a short mark delay does the same at a line's end before a jump
// on along the axis. Entered at the line's speed or faster, that dip is where the line begins
// (or ends); a line setting off from rest, or out of a turn, only speeds up, and a short line
// slowing into its end's delay regains no speed. Returns how many samples in from the start
// (or the end) the slowest chord lies, searched up to `reach`; zero for no dip.
template <typename T>
std::uint64_t dip_depth(const Path<T>& path, const Scales& scales, const Segment& line, double own,
                        std::uint64_t reach, bool at_start) {
    const std::uint64_t w = scales.window;
    const auto chord_at = [&](std::uint64_t k) {
        return chord(path, at_start ? line.first + k : line.last - w - k, w);
    };
    const double line_chord = static_cast<double>(w) * own;
    if (!(chord_at(0) >= line_chord)) return 0;
    std::uint64_t slowest = 0;
    for (std::uint64_t k = 1; k < std::min(reach, DIP_SEARCH); ++k)
        if (chord_at(k) < chord_at(slowest)) slowest = k;
    const double dip = chord_at(slowest);
    if (!(dip < DIP_SHARE * line_chord && dip > parked_radius(scales))) return 0;
    const std::uint64_t farthest = line.last - line.first - w;  // the last chord inside the line
    for (std::uint64_t k = slowest + 1; k <= farthest && k < slowest + DIP_SEARCH; ++k)
        if (chord_at(k) >= REGAINED_SHARE * line_chord) return slowest;
    return 0;
}

// How far apart noise alone may put two samples of one point along a line's axis.
double noise_reach(const Scales& scales) { return std::max(scales.tolerance, 3.0 * scales.noise); }

// A jump that sets off back along the line's own axis straight from its end, with no delay to
// park the mirror (one-way hatching; a skywriting overshoot's turn), swings a lagged mirror
// round within a few samples: it slows from the line's speed, stops and comes back, all on the
// axis. Those samples are the jump's. The line ends at its last sample a good part of a step
// short of where the mirror turned; a mark delay that parks the mirror there is the line's.
constexpr std::uint64_t TURN_SEARCH = 6;  // samples back from a line's end the turn may lie
constexpr std::uint64_t TURN_LOOK = 8;    // samples after the turn that may show it coming back
constexpr double TURN_SHARE = 0.7;        // of the line's own speed: short of the turn by less
constexpr double SLOWED_SHARE = 0.75;     // of it, over the two steps into the turn: slowed

template <typename T>
void cut_turn_back(const Path<T>& path, const Scales& scales, Segment& line, double own,
                   std::uint64_t b) {
    const std::uint64_t from = line.last - std::min(line.last - b, TURN_SEARCH);
    std::uint64_t turn = from;
    for (std::uint64_t i = from + 1; i <= line.last; ++i)
        if (along(path, line.fit, i) > along(path, line.fit, turn)) turn = i;
    const double reached = along(path, line.fit, turn);
    const double back = noise_reach(scales);
    const std::uint64_t look = std::min(path.size() - 1, turn + TURN_LOOK);
    // Coming back along the axis: within 45 degrees of it (a jump back to the next line's start
    // leaves it at a slant from the first sample) and on it within the tolerance at the turn.
    bool came_back = false;
    for (std::uint64_t i = turn + 1; i <= look && !came_back && path.usable(i); ++i) {
        const double receded = reached - along(path, line.fit, i);
        if (!(distance_of(path, line.fit, i) <= scales.tolerance + std::max(0.0, receded))) break;
        came_back = receded > back;
    }
    if (!came_back) return;
    // A mirror parked there (a mark delay) stays, for a stop's samples, within the noise of the
    // turn's point along the axis, or within a dwell's radius of where it parked.
    std::uint64_t near = 0;
    for (std::uint64_t i = from; i <= look; ++i)
        near += path.usable(i) && std::fabs(reached - along(path, line.fit, i)) <= back;
    const std::uint64_t parked = parked_after(path, scales, turn, -1, line.first) +
                                 parked_after(path, scales, turn, +1, look);
    if (near >= STOP_SAMPLES || parked + 1 >= STOP_SAMPLES) return;
    // Slowed into the turn (judged over two steps, for the noise), the mirror was turning a good
    // part of a step short of it; at full speed up to it, only the steps after it are the jump's.
    const bool slowed =
        turn >= b + 2 && reached - along(path, line.fit, turn - 2) < 2.0 * SLOWED_SHARE * own;
    std::uint64_t last = turn;
    while (slowed && last > b && reached - along(path, line.fit, last) < TURN_SHARE * own) --last;
    line.last = std::min(line.last, last);
}

// A jump may arrive along the line's own axis from ahead of its start (the jump back to a short
// line, or to a skywriting run-up): a lagged mirror then creeps back along the axis into the
// delay and sets off forwards from it. A line only advances, so the samples before that turn
// that lie ahead of it by more than the noise are the jump's; the parked ones stay.
constexpr std::uint64_t TURN_IN_SEARCH = 48;  // samples into a line the turn may lie

template <typename T>
void cut_turn_in(const Path<T>& path, const Scales& scales, Segment& line, std::uint64_t a) {
    const std::uint64_t to = std::min(a, line.first + TURN_IN_SEARCH);
    std::uint64_t turn = line.first;
    for (std::uint64_t i = line.first + 1; i <= to; ++i)
        if (along(path, line.fit, i) < along(path, line.fit, turn)) turn = i;
    // The lowest of a noisy dwell lies below its point by up to the noise's reach as well.
    const double ahead = along(path, line.fit, turn) + 2.0 * noise_reach(scales);
    for (std::uint64_t i = turn; i > line.first; --i) {
        if (along(path, line.fit, i - 1) > ahead) {
            line.first = i;
            return;
        }
    }
}

template <typename T>
void trim_ramps(const Path<T>& path, const Scales& scales, Segment& line) {
    const std::uint64_t w = scales.window;
    if (line.last - line.first < 8 * w) return;
    const std::uint64_t quarter = (line.last - line.first) / 4;
    const std::uint64_t a = line.first + quarter, b = line.last - quarter;
    // The line's own speed, from its middle half; no less than the exposure speed, for a line
    // that is partly a long delay moves slower on average than it runs.
    const double own = std::max(scales.step, path.step_between(a, b) / static_cast<double>(b - a));
    cut_faster_ends(path, scales, line, own, a, b);
    // The dips are looked for outside the middle half, each at its chord's middle sample.
    if (const std::uint64_t k = dip_depth(path, scales, line, own, a - line.first, true))
        line.first += k + w / 2;
    const std::uint64_t end_reach = line.last > b + w ? line.last - w - b : 0;
    if (const std::uint64_t k = dip_depth(path, scales, line, own, end_reach, false))
        line.last -= k + w - w / 2;
    if (line.last > b) cut_turn_back(path, scales, line, own, b);
    if (line.first < a) cut_turn_in(path, scales, line, a);
}

}  // namespace

template <typename T>
void trim_jump_ramps(const Path<T>& path, const Scales& scales, std::vector<Segment>& segments) {
    for_each_segment(segments.size(), [&](std::size_t s) {
        if (segments[s].rejected == nullptr) trim_ramps(path, scales, segments[s]);
    });
}

template <typename T>
void fit_and_trim(const Path<T>& path, const Scales& scales, std::vector<Segment>& segments) {
    for_each_segment(segments.size(), [&](std::size_t s) {
        Segment& segment = segments[s];
        segment.fit = body_fit(path, segment);
        if (!segment.fit.valid) return;
        trim_ends(path, scales, segment, true);
        refit(path, segment);
        segment.ramp = jump_ramp(path, scales, segment);
        segment.jumps = holds_a_jump(path, scales, segment);
        if (static_cast<std::uint64_t>(segment.sums.n) == segment.last - segment.first + 1) {
            segment.sums_first = segment.first;
            segment.sums_last = segment.last;
        }
    });
}

template void fit_and_trim<float>(const Path<float>&, const Scales&, std::vector<Segment>&);
template void trim_jump_ramps<float>(const Path<float>&, const Scales&, std::vector<Segment>&);
template void trim_jump_ramps<double>(const Path<double>&, const Scales&, std::vector<Segment>&);
template void fit_and_trim<double>(const Path<double>&, const Scales&, std::vector<Segment>&);

}  // namespace vorlane::robust
