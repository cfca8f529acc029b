// Trims the samples a lagged mirror takes to settle onto each line after a turn. A servo that
// lags as a first-order system approaches a line with an offset that shrinks by one factor a
// sample; under noise the approach cannot be told from the line sample by sample, but the
// factor, measured over all lines, and each line's offset, fitted over its approach from the
// turn or jump before it (where the offset stands well clear of the noise), can.
#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <utility>
#include <vector>

#include "robust/batched_for.hpp"
#include "robust/line_dwells.hpp"
#include "robust/line_geometry.hpp"
#include "robust/stages.hpp"

namespace vorlane::robust {
namespace {

// Samples of a line's start that are fitted: several time constants of the longest lag worth
// following, yet no more than a third of a short line, so that the rest shows where it lies.
constexpr std::uint64_t SETTLING_SPAN = 24;

// Samples before a line's start that the approach may be followed back over, and how far off
// the line (in sample steps) it is followed: the mirror is still coming out of the turn or jump
// before it, where the offset no longer decays by one factor a sample.
constexpr std::uint64_t APPROACH_SPAN = 64;
constexpr double APPROACH_STEPS = 3.0;

// Decays faster than this settle within a sample or two of a turn, inside what the trim of
// the line's ends already removes. A 20 us servo recorded at 50 kHz decays by 0.37 a sample,
// and a jump eight times the scan speed arrives five samples from settled.
constexpr double SLOWEST_UNFOLLOWED_DECAY = 0.3;

// Slower decays than this are no servo: a line whose start bends that slowly is not straight.
constexpr double FASTEST_FOLLOWED_DECAY = 0.97;

// How far the decay measured one sample further apart may differ from it: a lag decays by one
// factor whatever the distance, while a mirror arriving on a curve without lag (the end of a
// turn) closes faster and faster.
constexpr double DECAY_AGREEMENT = 0.02;

// Lag products of long lines enough to measure the decay from them alone, and the most lines
// it is measured over.
constexpr double MEASURED_PAIRS = 200;
constexpr std::size_t MEASURED_LINES = 1024;

// How many spreads of the noise's lag products the measured ones must exceed.
constexpr double SIGNIFICANCE = 6;

// The least mean lag-one product of the approaches, as a share of the noise variance: a lag
// followed over offsets of several sample steps stands far above it, while coordinates rounded
// to an encoder step along a line at a shallow angle carry correlated errors just below it.
constexpr double SETTLING_SHARE = 1.0;

// Residuals beyond this many noise deviations show that the approach's first samples are
// still in the turn before the line.
constexpr double OUTLIER_DEVIATIONS = 4.0;

// A line's approach: the signed offsets from the line of the samples from `back` samples
// before its first one to SETTLING_SPAN samples into it, offsets[back] being the first's.
struct Approach {
    std::array<double, APPROACH_SPAN + SETTLING_SPAN> offsets{};
    std::uint64_t back = 0, count = 0;
};

// Follows the approach back from the line's first sample while the mirror stays near the line
// and behind its start, never below `floor` (the previous line's samples). With `from_ahead`,
// also over samples ahead of the start that come back towards it: a jump back along one-way
// hatching arrives from there, its offset from the line settling by the same factor a sample
// as it slows. The decay is measured so from every line; but before a run-up what lies ahead
// is the jump to the run-up's start, which settles by that factor too yet is no approach of
// the line, so the line's own settling does not follow it.
template <typename T>
Approach approach_of(const Path<T>& path, const Scales& scales, const Segment& segment,
                     const LineFit& fit, std::uint64_t floor, bool from_ahead = false) {
    Approach approach;
    const double limit = APPROACH_STEPS * scales.step;
    double lowest = along(path, fit, segment.first);
    std::uint64_t back = 0;
    std::array<double, APPROACH_SPAN> before{};
    while (back < APPROACH_SPAN && segment.first > floor + back) {
        const std::uint64_t i = segment.first - back - 1;
        if (!path.finite(i)) break;
        const double offset = signed_distance(path, fit, i);
        const double t = along(path, fit, i);
        // Ahead of the start, only a mirror coming back along the line towards it: a rounded
        // turn cuts the corner ahead of the start too, but moving across the line or along it.
        const bool coming_back = from_ahead && along(path, fit, i + 1) < t;
        if (!(std::fabs(offset) <= limit && (coming_back || t <= lowest + scales.tolerance))) break;
        // A step faster than exposure is a jump, however collinear: the mirror came from
        // elsewhere and what lies before it is no approach of this line.
        if (!(path.step_between(i, i + 1) <= scales.step_max)) break;
        lowest = std::min(lowest, t);
        before[back++] = offset;
    }
    const std::uint64_t ahead = std::min(SETTLING_SPAN, (segment.last - segment.first + 1) / 3);
    approach.back = back;
    approach.count = back + ahead;
    for (std::uint64_t k = 0; k < back; ++k) approach.offsets[k] = before[back - 1 - k];
    for (std::uint64_t k = 0; k < ahead; ++k)
        approach.offsets[back + k] = signed_distance(path, fit, segment.first + k);
    return approach;
}

struct LagProducts {
    double one = 0, two = 0, three = 0, pairs = 0;
};

// The noise an approach's offsets are judged against: clean data has none, and there offsets
// under a quarter of the settled one count as noise.
double settling_deviation(double noise, double settled) { return std::max(noise, 0.25 * settled); }

// The factor by which the offset of the lines' approaches shrinks a sample, pooled over all
// hatch lines as the ratio of their lag-two to their lag-one products: the noise, uncorrelated
// between samples, adds to neither, so no noise estimate biases the ratio. Zero when the
// approaches show no settling clear of the noise, or one that is no single decay.
double settling_decay(const LagProducts& sums, const Scales& scales) {
    // Noise alone gives lag products whose sum spreads by the noise variance times the root of
    // their count, and rounding adds a little a product; a settling must stand clear of both.
    const double noise = settling_deviation(scales.noise, scales.settled);
    const double clear =
        std::max(SIGNIFICANCE * std::sqrt(sums.pairs), SETTLING_SHARE * sums.pairs) * noise * noise;
    if (!(sums.one > clear && sums.two > 0 && sums.three > 0)) return 0;
    const double decay = sums.two / sums.one;
    const double further = sums.three / sums.two;
    if (!(std::fabs(further - decay) <= DECAY_AGREEMENT)) return 0;
    if (!(decay >= SLOWEST_UNFOLLOWED_DECAY && decay <= FASTEST_FOLLOWED_DECAY)) return 0;
    return decay;
}

// The settling's share at each approach sample: the powers of the decay relative to the line's
// first sample, decay^(k - back).
using SettlingPowers = std::array<double, APPROACH_SPAN + SETTLING_SPAN>;

SettlingPowers settling_powers(const Approach& approach, double decay) {
    SettlingPowers power{};
    double p = 1;
    for (std::uint64_t k = approach.back; k < approach.count; ++k, p *= decay) power[k] = p;
    p = 1;
    for (std::uint64_t k = approach.back; k-- > 0;) {
        p /= decay;
        power[k] = p;
    }
    return power;
}

// How many samples after the line's first one (negative: before it) an offset of `size` there
// shrinks within `settled`, kept within the approach's samples from `from` on.
std::int64_t samples_to_settle(double size, double decay, double settled, const Approach& approach,
                               std::uint64_t from) {
    const double samples = std::ceil(std::log(size / settled) / -std::log(decay));
    const double earliest = -static_cast<double>(approach.back - from);
    const double latest = static_cast<double>(approach.count - approach.back);
    return static_cast<std::int64_t>(std::clamp(samples, earliest, latest));
}

// How many samples after the line's first one (negative: before it) the mirror comes within
// `settled` of the line, from an exponential fitted to the approach; zero when the fit cannot
// tell. Approach samples at the far end that the exponential does not follow are dropped.
std::int64_t settling_offset(const Approach& approach, double decay, double noise, double settled) {
    std::uint64_t from = 0;
    double weighted = 0, weights = 0;
    const SettlingPowers power = settling_powers(approach, decay);
    for (std::uint64_t k = 0; k < approach.count; ++k) {
        weighted += approach.offsets[k] * power[k];
        weights += power[k] * power[k];
    }
    const double deviation = settling_deviation(noise, settled);
    double offset = weighted / weights;
    while (from < approach.back) {
        double worst = 0;
        for (std::uint64_t k = from; k < approach.count; ++k)
            worst = std::max(worst, std::fabs(approach.offsets[k] - offset * power[k]));
        if (worst <= OUTLIER_DEVIATIONS * deviation) break;
        weighted -= approach.offsets[from] * power[from];
        weights -= power[from] * power[from];
        ++from;
        offset = weighted / weights;
    }
    const double uncertainty = deviation / std::sqrt(weights);
    const double size = std::fabs(offset);
    if (!(size > 2 * uncertainty)) return 0;
    // Under heavy noise a small settling's fitted size misses by as much as it exceeds the
    // noise: a line that began where that size settles would begin too early as often as too
    // late, and its early samples cost more than its late ones. It begins where a size one
    // deviation larger would have settled.
    return samples_to_settle(size + uncertainty, decay, settled, approach, from);
}

// The settling of a line too short to be fitted without it, from the line's own offset and tilt
// fitted together with the settling's size: a fit of the whole line lies towards the approach,
// and the offsets measured from it settle too early. The samples are the approach's and the
// line's but for its last quarter (at most a settling span), where a turn may begin; the
// approach samples at the far end that the exponential does not follow are dropped as there.
template <typename T>
std::int64_t settling_with_line(const Path<T>& path, const Segment& line, const Approach& approach,
                                double decay, double noise, double settled) {
    const std::uint64_t span = line.last - line.first + 1;
    const std::uint64_t last = line.last - std::min(SETTLING_SPAN, span / 4);
    const std::uint64_t begin = line.first - approach.back;
    // Normal equations of offset = a + b * along + size * decay^(i - first), as the upper
    // triangle of a symmetric matrix and its right-hand side.
    std::array<double, 6> m{};
    std::array<double, 3> r{};
    const SettlingPowers power = settling_powers(approach, decay);
    const auto sample = [&](std::uint64_t i, double e, double sign) {
        const double t = along(path, line.fit, i);
        const double o = signed_distance(path, line.fit, i);
        m[0] += sign;
        m[1] += sign * t;
        m[2] += sign * e;
        m[3] += sign * t * t;
        m[4] += sign * t * e;
        m[5] += sign * e * e;
        r[0] += sign * o;
        r[1] += sign * o * t;
        r[2] += sign * o * e;
    };
    double e = 0;
    for (std::uint64_t k = 0; begin + k <= last; ++k) {
        // Past the approach the settling shrinks on; past a few hundred samples it is nothing,
        // and left to shrink it would crawl through subnormal numbers.
        e = k < approach.count ? power[k] : (e > 1e-200 ? e * decay : 0.0);
        sample(begin + k, e, 1.0);
    }
    struct Solution {
        double a = 0, b = 0, size = 0, size_variance = 0;
        bool valid = false;
    };
    const auto solve = [&] {
        Solution s;
        const double c00 = m[3] * m[5] - m[4] * m[4];
        const double c01 = m[2] * m[4] - m[1] * m[5];
        const double c02 = m[1] * m[4] - m[2] * m[3];
        const double det = m[0] * c00 + m[1] * c01 + m[2] * c02;
        if (!(std::fabs(det) > 0)) return s;
        const double c11 = m[0] * m[5] - m[2] * m[2];
        const double c12 = m[1] * m[2] - m[0] * m[4];
        const double c22 = m[0] * m[3] - m[1] * m[1];
        s.a = (c00 * r[0] + c01 * r[1] + c02 * r[2]) / det;
        s.b = (c01 * r[0] + c11 * r[1] + c12 * r[2]) / det;
        s.size = (c02 * r[0] + c12 * r[1] + c22 * r[2]) / det;
        s.size_variance = c22 / det;
        s.valid = std::isfinite(s.a) && std::isfinite(s.b) && std::isfinite(s.size) &&
                  s.size_variance > 0;
        return s;
    };
    const double deviation = settling_deviation(noise, settled);
    std::uint64_t from = 0;
    Solution fit = solve();
    while (fit.valid && from < approach.back) {
        double worst = 0;
        for (std::uint64_t k = from; k < approach.count; ++k) {
            const std::uint64_t i = begin + k;
            const double predicted = fit.a + fit.b * along(path, line.fit, i) + fit.size * power[k];
            worst = std::max(worst, std::fabs(signed_distance(path, line.fit, i) - predicted));
        }
        if (worst <= OUTLIER_DEVIATIONS * deviation) break;
        sample(begin + from, power[from], -1.0);
        ++from;
        fit = solve();
    }
    if (!fit.valid) return 0;
    const double size = std::fabs(fit.size);
    if (!(size > 2 * deviation * std::sqrt(fit.size_variance))) return 0;
    return samples_to_settle(size, decay, settled, approach, from);
}

// The line fitted to its stretch's samples without those before `moved` samples past its first
// one and a settling span more, nor the last settling span (where a turn may begin); invalid
// when the sums do not hold the stretch or too few samples would be left.
template <typename T>
LineFit settled_fit(const Path<T>& path, const Segment& line, std::int64_t moved) {
    LineFit none;
    if (line.sums_first > line.sums_last) return none;
    const std::int64_t settled_from =
        static_cast<std::int64_t>(line.first) + moved + static_cast<std::int64_t>(SETTLING_SPAN);
    const std::uint64_t head_end = static_cast<std::uint64_t>(
        std::max(settled_from, static_cast<std::int64_t>(line.sums_first)));
    const std::uint64_t count = line.sums_last - line.sums_first + 1;
    if (head_end >= line.sums_last || line.sums_last - head_end < count / 2 + SETTLING_SPAN)
        return none;
    FitSums body = line.sums;
    for (std::uint64_t i = line.sums_first; i < head_end; ++i)
        body.remove(path.x_at(i), path.y_at(i));
    for (std::uint64_t k = 0; k < SETTLING_SPAN; ++k)
        body.remove(path.x_at(line.sums_last - k), path.y_at(line.sums_last - k));
    return fit_line(body, line.first_x, line.first_y, line.last_x, line.last_y);
}

}  // namespace

template <typename T>
double settle_line_starts(const Path<T>& path, const Scales& scales,
                          std::vector<Segment>& segments) {
    // Each line's approach is gathered twice, for the decay and then for the line's own fit,
    // rather than kept: a few dozen samples a line cost less than holding them all. Every
    // stride-th hatch line is visited with the first sample the line before it left free.
    const auto each_line = [&](std::size_t stride, auto&& visit) {
        std::uint64_t floor = 0;
        std::size_t seen = 0;
        for (Segment& line : segments) {
            if (line.rejected != nullptr || !line.fit.valid) continue;
            const std::uint64_t next_floor = line.last + 1;
            if (seen++ % stride == 0) visit(line, floor);
            floor = next_floor;
        }
    };
    // The decay comes from the lines long enough to be fitted without their settling: a fit
    // that holds it lies a little towards the approach, which takes more from the lag-two
    // products than from the lag-one ones and makes the decay look faster. Short lines count
    // only where there are no long ones.
    // An evenly spread share of the lines measures it as well as all would, and a recording
    // without lag then costs little more than that share.
    std::size_t hatch_lines = 0;
    for (const Segment& line : segments) hatch_lines += line.rejected == nullptr && line.fit.valid;
    const std::size_t stride = std::max<std::size_t>(1, hatch_lines / MEASURED_LINES);
    LagProducts clean, all;
    each_line(stride, [&](const Segment& line, std::uint64_t floor) {
        const LineFit body = settled_fit(path, line, 0);
        const Approach measured =
            approach_of(path, scales, line, body.valid ? body : line.fit, floor, true);
        LagProducts& products = body.valid ? clean : all;
        for (std::uint64_t k = 0; k + 3 < measured.count; ++k) {
            products.one += measured.offsets[k] * measured.offsets[k + 1];
            products.two += measured.offsets[k] * measured.offsets[k + 2];
            products.three += measured.offsets[k] * measured.offsets[k + 3];
            products.pairs += 1;
        }
    });
    const double decay = settling_decay(clean.pairs >= MEASURED_PAIRS ? clean : all, scales);
    if (decay == 0) return 0;
    const double settled = scales.settled;
    // Each line moves only its own start, and its floor is the end of the line before, which
    // no line moves here: the lines are settled independently, on the pool when there are many.
    std::vector<std::pair<Segment*, std::uint64_t>> lines;
    lines.reserve(hatch_lines);
    each_line(1, [&](Segment& line, std::uint64_t floor) { lines.emplace_back(&line, floor); });
    for_each_segment(lines.size(), [&](std::size_t l) {
        Segment& line = *lines[l].first;
        const std::uint64_t floor = lines[l].second;
        const bool from_ahead = !line.runs_up;
        const Approach a = approach_of(path, scales, line, line.fit, floor, from_ahead);
        if (a.count < 4) return;
        std::int64_t moved = settling_offset(a, decay, scales.noise, settled);
        // The line's fit still holds the end of the settling, which draws it towards the
        // approach and makes the settling look shorter; fitted again without it, the offsets
        // are measured from the line itself.
        const LineFit body = settled_fit(path, line, moved);
        if (body.valid) {
            const Approach again = approach_of(path, scales, line, body, floor, from_ahead);
            if (again.count >= 4) moved = settling_offset(again, decay, scales.noise, settled);
        } else {
            moved = settling_with_line(path, line, a, decay, scales.noise, settled);
        }
        // The approach was followed over unexposed samples too; the line may not take them.
        std::uint64_t first = line.first;
        if (moved >= 0) {
            first += static_cast<std::uint64_t>(moved);
        } else if (!line.runs_up) {
            // Settled across the line is not yet on it: a jump arriving along the line's own
            // axis is settled all the way, and only its creep up to where it rests before the
            // start tells it from the line (a dwell parked there is the line's own delay; the
            // creep further behind is the jump's, though it moves less than a parked mirror's
            // noise). A run-up lies on the axis too, but the dwell before it is no line's.
            const std::uint64_t wanted = line.first - static_cast<std::uint64_t>(-moved);
            const double margin = creep_margin(scales);
            std::optional<double> rest;  // along the line, where the mirror rests nearest it
            for (; first > wanted && first >= 2 && path.usable(first - 1); --first) {
                const std::uint64_t i = first - 1;
                if (!(creeps_into(path, scales, i + 1) && creeps_into(path, scales, i))) continue;
                const double at = along(path, line.fit, i);
                if (!rest) rest = at;
                if (at < *rest - margin) break;
            }
        }
        line.first = std::min(first, line.last);
    });
    return decay;
}

template double settle_line_starts<float>(const Path<float>&, const Scales&, std::vector<Segment>&);
template double settle_line_starts<double>(const Path<double>&, const Scales&,
                                           std::vector<Segment>&);

}  // namespace vorlane::robust
