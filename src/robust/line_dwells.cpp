// How a jump left the mirror, how far a dwell at a line's end reaches, and how much of it, and
// of a lagged mirror's creep into it, the line takes.
#include "robust/line_dwells.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "robust/batched_for.hpp"
#include "robust/line_geometry.hpp"

namespace vorlane::robust {
namespace {

// The longest jump followed back to where it began, the steps before it that must all have
// moved for the mirror to count as moving when it left, and the share of scan speed they must
// keep together: a lagged mirror slowing for a short mark delay still makes steps of half one.
constexpr std::uint64_t LONGEST_JUMP = 4096;
constexpr std::uint64_t STEPS_BEFORE_JUMP = 3;
constexpr double SCAN_SPEED_SHARE = 0.8;
constexpr double FULL_SPEED_SHARE = 0.95;
constexpr std::uint64_t FULL_SPEED_STEPS = 8;
constexpr double RAMP_SPEED = 1.3;
// A mirror that covered less than this share of a run's chord over the steps before it was
// gathering speed, not running.
constexpr double RAMP_SHARE = 0.6;
// The longest ramp followed back to the turn it grew out of, and the steps into that turn
// over which a mirror must have kept this share of scan speed to have reversed from a run.
constexpr std::uint64_t LONGEST_RAMP = 16;
constexpr std::uint64_t REVERSAL_STEPS = 3;
constexpr double REVERSAL_SHARE = 0.5;
// The least cosine between a jump's first, partial step and its next one.
constexpr double JUMP_WAY_COSINE = 0.9;

// How the mirror left before a jump: at rest, moving, or moving at speed up to a lagged
// reversal that the jump's smooth ramp leads back to, which is plain enough to be believed
// however long the mirror then creeps into the delay after the jump.
enum class Departure { at_rest, moving, reversing };

// How long, and how fast, a mirror must have moved up to a jump to count as moving: the steps
// before it, and the least chord over them.
struct Motion {
    std::uint64_t steps;
    double chord;
};

// Most of scan speed over a few steps; a lagged mirror slowing for a mark delay passes.
Motion at_scan_speed(const Scales& scales) {
    return Motion{STEPS_BEFORE_JUMP,
                  SCAN_SPEED_SHARE * static_cast<double>(STEPS_BEFORE_JUMP) * scales.step};
}

// Full scan speed, as far as the noise lets it be told, over eight steps: a skywriting
// overshoot keeps it for longer, while a lagged jump setting off from a mark delay makes only a
// few steps at about scan speed as it gains speed.
Motion at_full_speed(const Scales& scales) {
    return Motion{
        FULL_SPEED_STEPS,
        FULL_SPEED_SHARE * static_cast<double>(FULL_SPEED_STEPS) * scales.step - 2 * scales.noise};
}

// How the jump that ends at sample `arrival` left the mirror, judged by `motion`: a scanner that
// stops at the end of an exposure (its mark delay) before it jumps exposed up to where it stopped,
// while one that jumps straight out of a run at scan speed had switched the laser off on the way
// (skywriting), and enters its next line by a run-up as well.
template <typename T>
Departure departure_before(const Path<T>& path, const Scales& scales, std::uint64_t arrival,
                           const Motion& motion) {
    std::uint64_t start = arrival;
    while (start > 0 && arrival - start < LONGEST_JUMP && path.finite(start - 1) &&
           path.step_between(start - 1, start) > scales.step_max)
        --start;
    if (start == arrival) return Departure::at_rest;
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
    // The chord over the window of steps up to `last` when each keeps scan speed and the way,
    // else NaN.
    const auto window_chord = [&](std::uint64_t last) {
        constexpr double none = std::numeric_limits<double>::quiet_NaN();
        if (last < motion.steps) return none;
        for (std::uint64_t k = 0; k < motion.steps; ++k) {
            const std::uint64_t i = last - k;
            if (!path.finite(i - 1)) return none;
            const double step = path.step_between(i - 1, i);
            if (!(step >= shortest && step <= scales.step_max)) return none;
            if (k > 0 && !(direction_dot(i, i + 1) > 0)) return none;
        }
        const double chord = path.step_between(last - motion.steps, last);
        return chord >= motion.chord ? chord : none;
    };
    // A slow jump that a lagged mirror sets off on passes scan speed as it gathers speed: steps
    // that grew out of far shorter ones are its ramp, not a run.
    const auto ramps_up = [&](std::uint64_t last, double chord) {
        return last >= 2 * motion.steps &&
               path.step_between(last - 2 * motion.steps, last - motion.steps) < RAMP_SHARE * chord;
    };
    const auto moving_until = [&](std::uint64_t last) {
        const double chord = window_chord(last);
        return !std::isnan(chord) && !ramps_up(last, chord);
    };
    if (const double chord = window_chord(start); !std::isnan(chord)) {
        if (!ramps_up(start, chord)) return Departure::moving;
        // The ramp grew out of a reversal: back over it to where the mirror last went the other
        // way. It left moving if it came into that turn at speed, as a lagged mirror that a jump
        // reverses out of a run does, and not creeping, as one that a mark delay slowed.
        std::uint64_t turn = start - motion.steps;
        while (turn > REVERSAL_STEPS + 1 && start - turn < LONGEST_RAMP && path.finite(turn - 1) &&
               direction_dot(turn, turn + 1) > 0)
            --turn;
        const bool at_speed =
            turn > REVERSAL_STEPS && path.finite(turn - REVERSAL_STEPS) &&
            path.step_between(turn - REVERSAL_STEPS, turn) >=
                REVERSAL_SHARE * static_cast<double>(REVERSAL_STEPS) * scales.step;
        return at_speed ? Departure::reversing : Departure::at_rest;
    }
    // A lagged mirror that a jump reverses from scan speed slows through rest along the jump's
    // way: its steps shrink back to the turn, where the step before runs the other way. It left
    // moving if it moved at speed up to that turn, or up to the sample before, the step into
    // the turn being the last of its slowing the old way.
    std::uint64_t turn = start;
    while (turn > 2 && arrival - turn < LONGEST_JUMP && path.finite(turn - 2) &&
           direction_dot(turn, turn + 1) > 0 &&
           path.step_between(turn - 1, turn) > 0.5 * scales.step &&
           path.step_between(turn - 1, turn) <= path.step_between(turn, turn + 1))
        --turn;
    if (turn < start && turn > 2 && path.finite(turn - 2) && direction_dot(turn, turn + 1) < 0 &&
        (moving_until(turn) || (direction_dot(turn - 1, turn) > 0 && moving_until(turn - 1))))
        return Departure::reversing;
    // The jump's first step may be a part of one, as its last may: the mirror then left the
    // run from the sample before (when there is one: a jump may begin the recording), and so
    // did a lagged mirror that a jump reverses through rest. A step that runs on, or slows on,
    // into a jump the same way is a lagged mirror slowing for a mark delay: the steps up to it
    // decide. A mirror stopped by a mark delay shows no motion either way.
    if (start < 2) return Departure::at_rest;
    const double into_start = path.step_between(start - 1, start);
    const bool slow = into_start < 0.5 * scales.step;
    // A slow step is the jump's only when it already goes the jump's way: noise on a mirror
    // parked by a mark delay points anywhere, and half the time back along the run, the way a
    // one-way jump back goes.
    const double jump_way = direction_dot(start, start + 1);
    const bool goes_jump_way = jump_way > 0 && jump_way >= JUMP_WAY_COSINE * into_start *
                                                               path.step_between(start, start + 1);
    const bool part_of_jump =
        (direction_dot(start - 1, start + 1) < 0 && (!slow || goes_jump_way)) ||
        (!slow && !(direction_dot(start - 1, start) > 0));
    return part_of_jump && moving_until(start - 1) ? Departure::moving : Departure::at_rest;
}

// How far, in noise deviations, a sample may lie from the mean of a dwell's samples before it
// and still be parked there: a parked sample lies further by chance about once in 10^4. Half a
// step at exposure speed is no motion either, whatever the noise (a jump's last partial step).
constexpr double PARKED_DEVIATIONS = 4.5;
constexpr double PARKED_STEPS = 0.5;
// How far, in noise deviations, a jump's partial step beside a dwell must lie from the dwell's
// rest to be told from it, and how many of the dwell's samples give the rest.
constexpr double EDGE_DEVIATIONS = 3.0;
constexpr std::uint64_t EDGE_DWELL_SAMPLES = 3;
constexpr std::uint64_t EDGE_REST_SAMPLES = 8;

// Whether a jump arrives at sample `first`, and if so whether it left a moving mirror. A lagged
// mirror creeps the last of the way, in steps short enough to pass for a line's: the jump is
// looked for up to ARRIVAL_CREEP samples back, and up to SLOW_CREEP for a jump from rest (the
// slowest creep drifts through a long delay) or from a lagged reversal at speed (a mirror that
// lags by ten samples takes some forty to slow from a jump's speed to rest). Any other jump
// that left a moving mirror that far back is too uncertain to cost the line its dwell alone,
// though not where the scanner skywrites throughout; where it left it at full speed, it still
// tells of a skywriting scanner.
enum class Arrival { none, from_rest, while_moving, while_moving_far_back, while_moving_uncertain };
constexpr std::uint64_t ARRIVAL_CREEP = 12;
constexpr std::uint64_t SLOW_CREEP = 64;
// The longest step, in sample steps, of a lagged mirror's creep that still counts as the
// dwell's, and how many such steps a dwell may take.
constexpr double CREEP_STEPS = 0.4;
constexpr std::uint64_t CREEP_SAMPLES = 32;

}  // namespace

double parked_radius(const Scales& scales) noexcept {
    return std::max(PARKED_DEVIATIONS * scales.noise, PARKED_STEPS * scales.step);
}

double creep_margin(const Scales& scales) noexcept {
    return std::max(scales.settling_tolerance, 3 * scales.noise);
}

template <typename T>
std::uint64_t parked_after(const Path<T>& path, const Scales& scales, std::uint64_t from, int step,
                           std::uint64_t limit) {
    const double radius = parked_radius(scales);
    double sum_x = path.x_at(from), sum_y = path.y_at(from);
    double summed = 1;
    const auto parked = [&](std::uint64_t i) {
        if (!path.finite(i)) return false;
        const double dx = path.x_at(i) - sum_x / summed;
        const double dy = path.y_at(i) - sum_y / summed;
        return std::sqrt(dx * dx + dy * dy) <= radius;
    };
    std::uint64_t count = 0;
    for (std::uint64_t i = from; i != limit;) {
        i = step < 0 ? i - 1 : i + 1;
        if (!parked(i)) {
            // Over the tens of samples of a delay, noise puts one now and then beyond the
            // radius; a lone one, with the next back at rest, is the dwell's, left out of its
            // mean. A mirror setting off stays off.
            const std::uint64_t next = step < 0 ? i - 1 : i + 1;
            if (i == limit || !path.finite(i) || !parked(next)) break;
            ++count;
            continue;
        }
        sum_x += path.x_at(i);
        sum_y += path.y_at(i);
        summed += 1;
        ++count;
    }
    return count;
}

template <typename T>
bool creeps_into(const Path<T>& path, const Scales& scales, std::uint64_t i) {
    return path.usable(i - 1) && path.usable(i) &&
           path.step_between(i - 1, i) < std::max(CREEP_STEPS * scales.step, 3 * scales.noise);
}

namespace {

template <typename T>
Arrival arrival_at(const Path<T>& path, const Scales& scales, std::uint64_t first) {
    std::uint64_t arrival = first;
    for (std::uint64_t k = 0; k < SLOW_CREEP; ++k, --arrival) {
        if (arrival == 0 || !path.finite(arrival - 1)) return Arrival::none;
        if (path.step_between(arrival - 1, arrival) > scales.step_max) {
            const Departure departure =
                departure_before(path, scales, arrival, at_scan_speed(scales));
            if (departure == Departure::at_rest) return Arrival::from_rest;
            if (departure == Departure::reversing || k < ARRIVAL_CREEP)
                return Arrival::while_moving;
            return departure_before(path, scales, arrival, at_full_speed(scales)) ==
                           Departure::moving
                       ? Arrival::while_moving_far_back
                       : Arrival::while_moving_uncertain;
        }
    }
    return Arrival::none;
}

// How far into a line a dwell is looked for that the line's end reached at speed.
constexpr std::uint64_t STOP_SEARCH = 64;

// How many of a line's end samples a dwell beside it is judged from: the one the extension
// stopped at may be the dwell's noisiest.
constexpr std::uint64_t DWELL_SEEDS = 4;

// How many samples past the line's start (`step` -1) or end (+1), never past `limit`, stay
// parked where the line ends: the farthest reach from any of its DWELL_SEEDS end samples.
template <typename T>
std::uint64_t dwell_beyond(const Path<T>& path, const Scales& scales, const Segment& line, int step,
                           std::uint64_t limit) {
    const std::uint64_t end = step < 0 ? line.first : line.last;
    std::uint64_t reach = 0;
    for (std::uint64_t j = 0; j < DWELL_SEEDS && j <= line.last - line.first; ++j) {
        const std::uint64_t parked =
            parked_after(path, scales, step < 0 ? end + j : end - j, step, limit);
        if (parked > j) reach = std::max(reach, parked - j);
    }
    return reach;
}

// Whether sample `edge`, at a line's start (`inward` +1) or end (-1), is a jump's partial step
// beside the dwell the line begins or ends in: the step beyond it is a jump's, the samples
// inward of it are parked, and it strays from their rest by more than their noise.
template <typename T>
bool partial_jump_step(const Path<T>& path, const Scales& scales, std::uint64_t edge, int inward,
                       std::uint64_t limit) {
    const std::uint64_t outer = inward > 0 ? edge - 1 : edge + 1;
    if (edge == 0 || outer >= path.size() || !path.finite(outer) ||
        !(path.step_between(std::min(edge, outer), std::max(edge, outer)) > scales.step_max))
        return false;
    const std::uint64_t first = inward > 0 ? edge + 1 : edge - 1;
    const std::uint64_t parked = parked_after(path, scales, first, inward, limit);
    if (parked + 1 < EDGE_DWELL_SAMPLES) return false;
    const std::uint64_t reach = std::min(parked, EDGE_REST_SAMPLES);
    const Rest rest =
        inward > 0 ? rest_over(path, first, first + reach) : rest_over(path, first - reach, first);
    return distance_from(path, edge, rest) >
           std::max(EDGE_DEVIATIONS * scales.noise, scales.settled);
}

// Samples over which the mirror's motion is judged at a line's start, and how much more than
// the least motion there still counts as the rest.
constexpr std::uint64_t REST_SPAN = 4;
constexpr double REST_SLACK = 1.2;

}  // namespace

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

// One jump in this many that leaves the mirror moving makes a skywriting scanner: a lagged
// reversal often passes for a stop, so even a skywritten layer may show most jumps from rest,
// while a noisy or lagged short mark delay passes for motion at some. Of 3000 layers drawn at
// random, one in eight calls 254 of the 1256 without skywriting skywritten and one in four
// calls 188, while it calls 53 of the 1070 skywritten ones not, against 45; either error can
// cost a layer most of its lines, the first every line's delay, the second each run-up's.
constexpr std::uint64_t SKYWRITTEN_SHARE = 4;
// Two jumps in five that leave the mirror moving make every jump a skywriting one: a share that
// blurred mark delays reach in few layers (131 of those 1256), while most skywritten layers do
// (980 of the 1070). There, a jump whose lagged reversal seemed to leave the mirror at rest
// gave the line the dwell before its run-up, and a short line lost itself to it. Half the jumps
// recovered 2194 fewer lines of the 3000 layers, at a precision 0.03 points lower.
constexpr std::uint64_t THROUGHOUT_MOVING = 2;
constexpr std::uint64_t THROUGHOUT_OF = 5;
// Fewer jumps than this leave each to its own judgement; about this many lines are looked at.
constexpr std::uint64_t VOTING_JUMPS = 8;
constexpr std::size_t VOTING_LINES = 256;

template <typename T>
Skywriting skywriting_of(const Path<T>& path, const Scales& scales,
                         const std::vector<Segment>& segments) {
    // An evenly spread share of the lines tells the setting as well as all would: following
    // each jump back to where it began costs as much as settling the line.
    std::size_t lines = 0;
    for (const Segment& line : segments) lines += line.rejected == nullptr;
    const std::size_t stride = std::max<std::size_t>(1, lines / VOTING_LINES);
    // Each voter with the end of the line before it, which its dwell may not reach past.
    struct Voter {
        const Segment* line;
        std::uint64_t floor;
        Arrival arrival = Arrival::none;
    };
    std::vector<Voter> voters;
    std::uint64_t floor = 0;
    std::size_t seen = 0;
    for (const Segment& line : segments) {
        if (line.rejected != nullptr) continue;
        if (seen++ % stride == 0) voters.push_back(Voter{&line, floor});
        floor = line.last + 1;
    }
    // Each voter follows its own jump back, so they go on the pool.
    for_each_segment(voters.size(), [&](std::size_t v) {
        Voter& voter = voters[v];
        const std::uint64_t before = dwell_beyond(path, scales, *voter.line, -1, voter.floor);
        voter.arrival = arrival_at(path, scales, voter.line->first - before);
    });
    std::uint64_t from_rest = 0, while_moving = 0;
    for (const Voter& voter : voters) {
        from_rest += voter.arrival == Arrival::from_rest;
        while_moving += voter.arrival == Arrival::while_moving ||
                        voter.arrival == Arrival::while_moving_far_back;
    }
    const std::uint64_t jumps = from_rest + while_moving;
    if (jumps < VOTING_JUMPS) return Skywriting{true, false};
    return Skywriting{while_moving * SKYWRITTEN_SHARE >= jumps,
                      while_moving * THROUGHOUT_OF >= jumps * THROUGHOUT_MOVING};
}

template <typename T>
void settle_dwell(const Path<T>& path, const Scales& scales, Segment& line, std::uint64_t floor,
                  std::uint64_t ceiling, const Skywriting& skywriting) {
    const auto on_line = [&](std::uint64_t i) {
        return path.usable(i) && distance_of(path, line.fit, i) <= scales.tolerance;
    };
    const std::uint64_t before = dwell_beyond(path, scales, line, -1, floor);
    std::uint64_t first = line.first;
    for (std::uint64_t k = 0; k < before && on_line(first - 1); ++k) --first;
    Arrival arrival = arrival_at(path, scales, line.first - before);
    // Whether a scanner skywrites is its setting, not a jump's: where most jumps leave it at
    // rest, one that seems to leave it moving is a short mark delay blurred by noise and lag,
    // and where most leave it moving, one that seems to leave it at rest is a lagged reversal.
    if (arrival == Arrival::while_moving && !skywriting.used) arrival = Arrival::from_rest;
    if (arrival == Arrival::from_rest && skywriting.throughout) arrival = Arrival::while_moving;
    if (arrival == Arrival::while_moving_far_back || arrival == Arrival::while_moving_uncertain)
        arrival = skywriting.throughout ? Arrival::while_moving : Arrival::none;
    if (arrival == Arrival::from_rest && first == line.first - before) {
        // A lagged mirror creeps into the dwell: its slowest steps, on the line, are the
        // delay's as well, though they stray from the parked point by more than its noise.
        for (std::uint64_t k = 0; k < CREEP_SAMPLES && first > floor && on_line(first - 1) &&
                                  creeps_into(path, scales, first);
             ++k)
            --first;
        line.first = first;
    } else if (arrival == Arrival::while_moving) {
        // Without the laser signal the line may have taken the run-up's slow first steps out
        // of the delay, so one more sample at rest past a seed is a dwell's. With it the delay
        // is unexposed and the line holds only its exposure, where one sample within the
        // parked radius of the one before is the noise of a moving mirror: a dwell shows two.
        const std::uint64_t least = path.laser_on == nullptr ? 1 : 2;
        std::uint64_t parked = 0;
        for (std::uint64_t j = 0; j < DWELL_SEEDS && line.first + j < line.last; ++j) {
            const std::uint64_t seen = parked_after(path, scales, line.first + j, +1, line.last);
            if (seen >= least || j == 0) parked = std::max(parked, j + seen);
        }
        if (before + parked >= 2) {
            line.first = std::min(line.first + parked + 1, line.last);
            line.runs_up = true;
        }
    }
    const std::uint64_t after = dwell_beyond(path, scales, line, +1, ceiling);
    for (std::uint64_t k = 0; k < after && on_line(line.last + 1); ++k) ++line.last;
    // A jump that ends between two samples leaves its last, partial step short of the dwell it
    // arrives in, and one that sets off between two leaves its first beyond the dwell it leaves:
    // inside the parked radius, but not parked.
    if (line.first < line.last && partial_jump_step(path, scales, line.first, +1, line.last))
        ++line.first;
    if (line.first < line.last && partial_jump_step(path, scales, line.last, -1, line.first))
        --line.last;
}

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
    const double behind = reference - creep_margin(scales);
    while (line.first < rest && along(path, line.fit, line.first) < behind) ++line.first;
}

template std::uint64_t parked_after<float>(const Path<float>&, const Scales&, std::uint64_t, int,
                                           std::uint64_t);
template std::uint64_t parked_after<double>(const Path<double>&, const Scales&, std::uint64_t, int,
                                            std::uint64_t);
template bool creeps_into<float>(const Path<float>&, const Scales&, std::uint64_t);
template bool creeps_into<double>(const Path<double>&, const Scales&, std::uint64_t);
template void cut_at_stops<float>(const Path<float>&, const Scales&, Segment&, std::uint64_t,
                                  std::uint64_t);
template void cut_at_stops<double>(const Path<double>&, const Scales&, Segment&, std::uint64_t,
                                   std::uint64_t);
template void settle_dwell<float>(const Path<float>&, const Scales&, Segment&, std::uint64_t,
                                  std::uint64_t, const Skywriting&);
template void settle_dwell<double>(const Path<double>&, const Scales&, Segment&, std::uint64_t,
                                   std::uint64_t, const Skywriting&);
template Skywriting skywriting_of<float>(const Path<float>&, const Scales&,
                                         const std::vector<Segment>&);
template Skywriting skywriting_of<double>(const Path<double>&, const Scales&,
                                          const std::vector<Segment>&);
template void drop_creep_behind_start<float>(const Path<float>&, const Scales&, Segment&,
                                             std::uint64_t);
template void drop_creep_behind_start<double>(const Path<double>&, const Scales&, Segment&,
                                              std::uint64_t);

}  // namespace vorlane::robust
