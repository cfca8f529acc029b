// Settles where each line begins and ends: trims the samples a chord carried past a turn, and
// extends hatch lines over the samples that continue them (the end of a rounded turn, dwell).
#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "robust/batched_for.hpp"
#include "robust/stages.hpp"

namespace vorlane::robust {
namespace {

template <typename T>
double distance_of(const Path<T>& path, const LineFit& line, std::uint64_t i) {
    return std::fabs((path.x_at(i) - line.cx) * line.uy - (path.y_at(i) - line.cy) * line.ux);
}

template <typename T>
double along(const Path<T>& path, const LineFit& line, std::uint64_t i) {
    return (path.x_at(i) - line.cx) * line.ux + (path.y_at(i) - line.cy) * line.uy;
}

template <typename T>
void refit(const Path<T>& path, Segment& segment) {
    segment.first_x = path.x_at(segment.first);
    segment.first_y = path.y_at(segment.first);
    segment.last_x = path.x_at(segment.last);
    segment.last_y = path.y_at(segment.last);
    segment.fit =
        fit_line(segment.sums, segment.first_x, segment.first_y, segment.last_x, segment.last_y);
    segment.t_first = along(path, segment.fit, segment.first);
    segment.t_last = along(path, segment.fit, segment.last);
    const double degrees = std::atan2(segment.fit.uy, segment.fit.ux) * (180.0 / std::numbers::pi);
    double folded = std::fmod(degrees + 360.0, 180.0);
    if (!(folded < 180.0)) folded = 0.0;
    segment.angle_deg = folded;
}

// A step a line may take: no longer than the exposure speed allows (a collinear jump is not
// part of the line) and onto a sample within the tolerance of the line.
template <typename T>
bool continues(const Path<T>& path, const Scales& scales, const LineFit& line, std::uint64_t from,
               std::uint64_t to) {
    if (!path.usable(to)) return false;
    const double step = path.step_between(from, to);
    return step <= scales.step_max && distance_of(path, line, to) <= scales.tolerance;
}

template <typename T>
double signed_distance(const Path<T>& path, const LineFit& line, std::uint64_t i) {
    return (path.x_at(i) - line.cx) * line.uy - (path.y_at(i) - line.cy) * line.ux;
}

// Samples this many in from an end are averaged to see a settling mirror through the noise: the
// longer mean sees a slow approach, the shorter one the last few samples of a turn beginning.
constexpr std::uint64_t SETTLING_WINDOW = 12;
constexpr std::uint64_t SHORT_SETTLING_WINDOW = 4;

// Whether the end sample `at` is off the line: itself beyond the tolerance, or the mean of the
// samples from it inwards beyond the (finer) settling tolerance of that many samples, as a
// lagged mirror is while it settles onto a line or turns away from it.
template <typename T>
bool end_is_off(const Path<T>& path, const Scales& scales, const Segment& segment, std::uint64_t at,
                bool at_start) {
    if (!(distance_of(path, segment.fit, at) <= scales.tolerance)) return true;
    // A sample that a step longer than the exposure speed allows joins to the line lies on a
    // jump along it, not on the line.
    const std::uint64_t inner = at_start ? at + 1 : at - 1;
    if (!(path.step_between(inner, at) <= scales.step_max)) return true;
    const std::uint64_t span = segment.last - segment.first + 1;
    const std::uint64_t count = std::min(SETTLING_WINDOW, span);
    double sum = 0;
    for (std::uint64_t m = 0; m < count; ++m) {
        sum += signed_distance(path, segment.fit, at_start ? at + m : at - m);
        if (m + 1 == SHORT_SETTLING_WINDOW && count > SHORT_SETTLING_WINDOW &&
            !(std::fabs(sum / static_cast<double>(SHORT_SETTLING_WINDOW)) <=
              scales.short_settling_tolerance))
            return true;
    }
    return !(std::fabs(sum / static_cast<double>(count)) <= scales.settling_tolerance);
}

// Drops the samples at either end that are off the line; with `from_sums`, from the fit sums
// as well, so that a refit follows the line alone.
template <typename T>
void trim_ends(const Path<T>& path, const Scales& scales, Segment& segment, bool from_sums) {
    while (segment.first < segment.last && end_is_off(path, scales, segment, segment.first, true)) {
        if (from_sums) segment.sums.remove(path.x_at(segment.first), path.y_at(segment.first));
        ++segment.first;
    }
    // The far end is judged against the line fitted without the start just trimmed: a line
    // through the middle alone, extrapolated that far, is off by more than the settling
    // tolerance under noise.
    if (from_sums) {
        const LineFit refitted =
            fit_line(segment.sums, path.x_at(segment.first), path.y_at(segment.first),
                     path.x_at(segment.last), path.y_at(segment.last));
        if (refitted.valid) segment.fit = refitted;
    }
    while (segment.first < segment.last && end_is_off(path, scales, segment, segment.last, false)) {
        if (from_sums) segment.sums.remove(path.x_at(segment.last), path.y_at(segment.last));
        --segment.last;
    }
}

// The longest jump followed back to where it began, the steps before it that must all have
// moved for the mirror to count as moving when it left, and the share of scan speed they must
// keep together: a lagged mirror slowing for a short mark delay still makes steps of half one.
constexpr std::uint64_t LONGEST_JUMP = 4096;
constexpr std::uint64_t STEPS_BEFORE_JUMP = 3;
constexpr double SCAN_SPEED_SHARE = 0.8;
constexpr double RAMP_SPEED = 1.3;

// Whether the jump that ends at sample `arrival` left a moving mirror: a scanner that stops at
// the end of an exposure (its mark delay) before it jumps exposed up to where it stopped, while
// one that jumps straight out of a run at scan speed had switched the laser off on the way
// (skywriting), and enters its next line by a run-up as well.
template <typename T>
bool jumped_while_moving(const Path<T>& path, const Scales& scales, std::uint64_t arrival) {
    std::uint64_t start = arrival;
    while (start > 0 && arrival - start < LONGEST_JUMP && path.finite(start - 1) &&
           path.step_between(start - 1, start) > scales.step_max)
        --start;
    if (start == arrival) return false;
    // The dot product of the steps into samples `a` and `b`: positive while they keep a way.
    const auto direction_dot = [&](std::uint64_t a, std::uint64_t b) {
        return (path.x_at(a) - path.x_at(a - 1)) * (path.x_at(b) - path.x_at(b - 1)) +
               (path.y_at(a) - path.y_at(a - 1)) * (path.y_at(b) - path.y_at(b - 1));
    };
    // Noise widens the longest step a line may take well past the exposure speed; a lagged
    // jump's first steps, faster than exposure the same way, are the jump's too. A lagged
    // mirror at most doubles its step from one sample to the next as it sets off; a jump's
    // first, partial step before a much longer one is no such ramp.
    const double faster = RAMP_SPEED * scales.step + 2 * scales.noise;
    while (start > 1 && arrival - start < LONGEST_JUMP && path.finite(start - 1)) {
        const double step = path.step_between(start - 1, start);
        if (!(step > faster && step >= 0.5 * path.step_between(start, start + 1) &&
              direction_dot(start, start + 1) > 0))
            break;
        --start;
    }
    // Moving at scan speed in one direction over the steps up to `last`: noise on a parked
    // mirror can make steps as long as half a step, but not keep their direction. Each step
    // keeps most of scan speed, as far as the noise lets it be told: a mirror slowing for a
    // mark delay makes a short step or two before the jump's first, long one.
    const double shortest =
        std::max(0.5 * scales.step, SCAN_SPEED_SHARE * scales.step - 3 * scales.noise);
    const auto moving_until = [&](std::uint64_t last) {
        if (last < STEPS_BEFORE_JUMP) return false;
        for (std::uint64_t k = 0; k < STEPS_BEFORE_JUMP; ++k) {
            const std::uint64_t i = last - k;
            if (!path.finite(i - 1)) return false;
            const double step = path.step_between(i - 1, i);
            if (!(step >= shortest && step <= scales.step_max)) return false;
            if (k > 0 && !(direction_dot(i, i + 1) > 0)) return false;
        }
        return path.step_between(last - STEPS_BEFORE_JUMP, last) >=
               SCAN_SPEED_SHARE * static_cast<double>(STEPS_BEFORE_JUMP) * scales.step;
    };
    if (moving_until(start)) return true;
    // The jump's first step may be a part of one, as its last may: the mirror then left the
    // run from the sample before (when there is one: a jump may begin the recording), and so
    // did a lagged mirror that a jump reverses through rest. A step that runs on, or slows on,
    // into a jump the same way is a lagged mirror slowing for a mark delay: the steps up to it
    // decide. A mirror stopped by a mark delay shows no motion either way.
    if (start < 2) return false;
    const bool slow = path.step_between(start - 1, start) < 0.5 * scales.step;
    const bool part_of_jump = direction_dot(start - 1, start + 1) < 0 ||
                              (!slow && !(direction_dot(start - 1, start) > 0));
    return part_of_jump && moving_until(start - 1);
}

// How far, in noise deviations, a sample may lie from the mean of a dwell's samples before it
// and still be parked there: a parked sample lies further by chance about once in 10^4. Half a
// step at exposure speed is no motion either, whatever the noise (a jump's last partial step).
constexpr double PARKED_DEVIATIONS = 4.5;
constexpr double PARKED_STEPS = 0.5;

// How many samples after `from`, walking by `step` (+1 or -1) and never past `limit`, stay
// parked where the mirror is at `from`. Judged against the mean of the dwell so far rather
// than sample to sample, so that noise as large as a step still shows a dwell as one point.
template <typename T>
std::uint64_t parked_after(const Path<T>& path, const Scales& scales, std::uint64_t from, int step,
                           std::uint64_t limit) {
    const double radius = std::max(PARKED_DEVIATIONS * scales.noise, PARKED_STEPS * scales.step);
    double sum_x = path.x_at(from), sum_y = path.y_at(from);
    std::uint64_t count = 0;
    for (std::uint64_t i = from; i != limit;) {
        i = step < 0 ? i - 1 : i + 1;
        if (!path.finite(i)) break;
        const double seen = static_cast<double>(count + 1);
        const double dx = path.x_at(i) - sum_x / seen;
        const double dy = path.y_at(i) - sum_y / seen;
        if (!(std::sqrt(dx * dx + dy * dy) <= radius)) break;
        sum_x += path.x_at(i);
        sum_y += path.y_at(i);
        ++count;
    }
    return count;
}

// Whether a jump arrives at sample `first`, and if so whether it left a moving mirror. A lagged
// mirror creeps the last of the way, in steps short enough to pass for a line's: the jump is
// looked for up to ARRIVAL_CREEP samples back, and up to SLOW_CREEP for a jump from rest (the
// slowest creep drifts through a long delay). A jump that left a moving mirror that far back
// is too uncertain to cost the line its dwell.
enum class Arrival { none, from_rest, while_moving };
constexpr std::uint64_t ARRIVAL_CREEP = 12;
constexpr std::uint64_t SLOW_CREEP = 32;
// The longest step, in sample steps, of a lagged mirror's creep that still counts as the
// dwell's, and how many such steps a dwell may take.
constexpr double CREEP_STEPS = 0.4;
constexpr std::uint64_t CREEP_SAMPLES = 32;

// Whether the step into sample `i` is a lagged mirror's creep (or rest).
template <typename T>
bool creeps_into(const Path<T>& path, const Scales& scales, std::uint64_t i) {
    return path.usable(i - 1) && path.usable(i) &&
           path.step_between(i - 1, i) < std::max(CREEP_STEPS * scales.step, 3 * scales.noise);
}

template <typename T>
Arrival arrival_at(const Path<T>& path, const Scales& scales, std::uint64_t first) {
    std::uint64_t arrival = first;
    for (std::uint64_t k = 0; k < SLOW_CREEP; ++k, --arrival) {
        if (arrival == 0 || !path.finite(arrival - 1)) return Arrival::none;
        if (path.step_between(arrival - 1, arrival) > scales.step_max) {
            if (!jumped_while_moving(path, scales, arrival)) return Arrival::from_rest;
            return k < ARRIVAL_CREEP ? Arrival::while_moving : Arrival::none;
        }
    }
    return Arrival::none;
}

// How far into a line a dwell is looked for that the line's end reached at speed.
constexpr std::uint64_t STOP_SEARCH = 64;
// Samples, the first included, that make a stop: noise near a step can park three moving
// samples by chance now and then, never five.
constexpr std::uint64_t STOP_SAMPLES = 5;

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

// Cuts what the extension took beyond a stop near either end of a line. A line runs at
// exposure speed and may begin or end in a dwell, but never passes through one: samples that
// reach a dwell on the line's own axis from before it are a jump arriving there with lag (or,
// after it, leaving), which the extension along the axis cannot tell from the line. Only the
// `added_front` and `added_back` samples the extension took are looked through.
template <typename T>
void cut_at_stops(const Path<T>& path, const Scales& scales, Segment& line,
                  std::uint64_t added_front, std::uint64_t added_back) {
    // A stop at `from`, walking by `step` towards `limit`, that ends before it: a dwell that
    // stretches to the line's other end is the one the line begins (or ends) in.
    const auto stops = [&](std::uint64_t from, int step, std::uint64_t limit) {
        const std::uint64_t parked = parked_after(path, scales, from, step, limit);
        const std::uint64_t reached = step < 0 ? from - parked : from + parked;
        return parked + 1 >= STOP_SAMPLES && reached != limit;
    };
    const std::uint64_t reach = std::min(STOP_SEARCH, (line.last - line.first) / 2);
    const std::uint64_t first = line.first, last = line.last;
    if (added_front > 0 && !stops(first, +1, last)) {
        for (std::uint64_t k = 1; k < std::min(reach, added_front + 1); ++k) {
            if (stops(first + k, +1, last)) {
                line.first = first + k;
                break;
            }
        }
    }
    if (added_back > 0 && !stops(last, -1, first)) {
        for (std::uint64_t k = 1; k < std::min(reach, added_back + 1); ++k) {
            if (stops(last - k, -1, first)) {
                line.last = last - k;
                break;
            }
        }
    }
}

// How many of a line's end samples a dwell beside it is judged from: the one the extension
// stopped at may be the dwell's noisiest.
constexpr std::uint64_t DWELL_SEEDS = 4;

// Settles a line's ends over the dwell parked where they lie. A parked mirror is one point seen
// many times, so the mean of its samples shows that point's own offset (its rounding to the
// encoder step, a fit a little off at the line's end) and not a settling, and the trim of the
// ends may stop anywhere inside a long laser delay. A dwell at a line's end is the line's. One
// at its start is the line's when a jump from a mirror at rest arrives there; after a jump that
// left the mirror moving (skywriting), what follows the dwell is a run-up that cannot be told
// from the line, and the dwell lies before it: none of it is the line's. Where a lagged
// arrival creeps onto the line, the settling of the starts finishes the work.
template <typename T>
void settle_dwell(const Path<T>& path, const Scales& scales, Segment& line, std::uint64_t floor,
                  std::uint64_t ceiling) {
    const auto on_line = [&](std::uint64_t i) {
        return path.usable(i) && distance_of(path, line.fit, i) <= scales.tolerance;
    };
    std::uint64_t before = 0;
    for (std::uint64_t j = 0; j < DWELL_SEEDS && j <= line.last - line.first; ++j) {
        const std::uint64_t parked = parked_after(path, scales, line.first + j, -1, floor);
        if (parked > j) before = std::max(before, parked - j);
    }
    std::uint64_t first = line.first;
    for (std::uint64_t k = 0; k < before && on_line(first - 1); ++k) --first;
    const Arrival arrival = arrival_at(path, scales, line.first - before);
    if (arrival == Arrival::from_rest && first == line.first - before) {
        // A lagged mirror creeps into the dwell: its slowest steps, on the line, are the
        // delay's as well, though they stray from the parked point by more than its noise.
        for (std::uint64_t k = 0; k < CREEP_SAMPLES && first > floor && on_line(first - 1) &&
                                  creeps_into(path, scales, first);
             ++k)
            --first;
        line.first = first;
    } else if (arrival == Arrival::while_moving) {
        std::uint64_t parked = 0;
        for (std::uint64_t j = 0; j < DWELL_SEEDS && line.first + j < line.last; ++j) {
            const std::uint64_t seen = parked_after(path, scales, line.first + j, +1, line.last);
            if (seen > 0 || j == 0) parked = std::max(parked, j + seen);
        }
        if (before + parked >= 2) {
            line.first = std::min(line.first + parked + 1, line.last);
            line.runs_up = true;
        }
    }
    std::uint64_t after = 0;
    for (std::uint64_t j = 0; j < DWELL_SEEDS && j <= line.last - line.first; ++j) {
        const std::uint64_t parked = parked_after(path, scales, line.last - j, +1, ceiling);
        if (parked > j) after = std::max(after, parked - j);
    }
    for (std::uint64_t k = 0; k < after && on_line(line.last + 1); ++k) ++line.last;
}

// A lagged mirror that a jump along the line's own axis leaves short of the line's start still
// creeps up to it from behind through the delay, and has not reached the line until it comes
// to rest there. The rest is where the delay moves least, late in it (the line then sets off);
// the samples before it that lie behind that point by more than the settling tolerance, or
// three noise deviations, are the jump's.
constexpr std::uint64_t REST_SPAN = 4;  // samples over which the mirror's motion is judged
constexpr double REST_SLACK = 1.2;      // how much more than the least motion still counts

template <typename T>
void drop_creep_behind_start(const Path<T>& path, const Scales& scales, Segment& line,
                             std::uint64_t moving_from) {
    if (moving_from <= line.first + REST_SPAN || moving_from > line.last) return;
    const auto motion = [&](std::uint64_t i) {
        return path.step_between(i - REST_SPAN / 2, i + REST_SPAN / 2);
    };
    const std::uint64_t lo = line.first + REST_SPAN / 2, hi = moving_from - REST_SPAN / 2;
    double least = std::numeric_limits<double>::infinity();
    for (std::uint64_t i = lo; i <= hi; ++i) least = std::min(least, motion(i));
    // No rest, no delay: the extension took the line's own first samples, moving at speed.
    if (!(least <= std::max(CREEP_STEPS * scales.step, 3 * scales.noise))) return;
    std::uint64_t rest = lo;
    for (std::uint64_t i = lo; i <= hi; ++i)
        if (motion(i) <= REST_SLACK * least) rest = i;
    double reference = 0;
    for (std::uint64_t i = rest - REST_SPAN / 2; i <= rest + REST_SPAN / 2; ++i)
        reference += along(path, line.fit, i);
    reference /= static_cast<double>(REST_SPAN + 1);
    const double behind = reference - std::max(scales.settling_tolerance, 3 * scales.noise);
    while (line.first < rest && along(path, line.fit, line.first) < behind) ++line.first;
}

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

// Whether a stretch only slows down, as the end of a lagged jump does: it comes in faster than
// the exposure speed and loses speed by one factor after another. A line keeps its speed but
// for the ends, which a third of it cannot cover.
constexpr double ARRIVAL_SPEED = 1.1;  // in sample steps a sample
constexpr double SPEED_KEPT = 0.85;    // the most of its speed a third may keep from the one before

template <typename T>
bool slows_throughout(const Path<T>& path, const Scales& scales, const Segment& segment) {
    const std::uint64_t third = (segment.last - segment.first) / 3;
    if (third == 0) return false;
    const auto speed = [&](std::uint64_t k) {
        const std::uint64_t from = segment.first + k * third;
        return path.step_between(from, from + third) / static_cast<double>(third);
    };
    const double entry = speed(0), middle = speed(1), exit = speed(2);
    return entry > ARRIVAL_SPEED * scales.step && middle < SPEED_KEPT * entry &&
           exit < SPEED_KEPT * middle;
}

}  // namespace

template <typename T>
void fit_and_trim(const Path<T>& path, const Scales& scales, std::vector<Segment>& segments) {
    for_each_segment(segments.size(), [&](std::size_t s) {
        Segment& segment = segments[s];
        segment.fit = body_fit(path, segment);
        if (!segment.fit.valid) return;
        trim_ends(path, scales, segment, true);
        refit(path, segment);
        segment.slowing = slows_throughout(path, scales, segment);
        if (static_cast<std::uint64_t>(segment.sums.n) == segment.last - segment.first + 1) {
            segment.sums_first = segment.first;
            segment.sums_last = segment.last;
        }
    });
}

template <typename T>
void extend_lines(const Path<T>& path, const Scales& scales, std::vector<Segment>& segments) {
    std::uint64_t floor = 0;  // first sample not yet given to an earlier line
    for (std::size_t i = 0; i < segments.size(); ++i) {
        Segment& line = segments[i];
        if (line.rejected != nullptr) continue;
        line.first = std::max(line.first, floor);
        if (line.first > line.last) {
            line.rejected = "overlaps the line before";
            continue;
        }
        const Segment* next = nullptr;
        for (std::size_t j = i + 1; j < segments.size() && next == nullptr; ++j)
            if (segments[j].rejected == nullptr) next = &segments[j];
        if (next != nullptr && leads_into(path, scales, line, *next)) {
            line.rejected = "the end of a jump onto the next line";
            continue;
        }
        const std::uint64_t ceiling = next == nullptr           ? path.size() - 1
                                      : next->first > line.last ? next->first - 1
                                                                : line.last;
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
        settle_dwell(path, scales, line, floor, ceiling);
        drop_creep_behind_start(path, scales, line, run_first);
        floor = line.last + 1;
    }
}

template void fit_and_trim<float>(const Path<float>&, const Scales&, std::vector<Segment>&);
template void fit_and_trim<double>(const Path<double>&, const Scales&, std::vector<Segment>&);
template void extend_lines<float>(const Path<float>&, const Scales&, std::vector<Segment>&);
template void extend_lines<double>(const Path<double>&, const Scales&, std::vector<Segment>&);

}  // namespace vorlane::robust
