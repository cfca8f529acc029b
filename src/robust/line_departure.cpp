// Ends each lagged line where the mirror turns away from it, or where a jump takes it out of
// the dwell the line ends in. A lagged mirror leaves a line smoothly (its offset grows as a
// power of the time since the command turned), so the samples that cross the end tests sit
// several samples past where it left; a fit of that growth finds the departure through the
// noise.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "robust/batched_for.hpp"
#include "robust/line_dwells.hpp"
#include "robust/line_geometry.hpp"
#include "robust/stages.hpp"

namespace vorlane::robust {
namespace {

// Samples before the line's last one that show it still on the line, and the most after it
// that the departure is followed over.
constexpr std::uint64_t ON_LINE_SPAN = 24;
constexpr std::uint64_t DEPARTURE_SPAN = 24;

// How far off the line (in sample steps) the departure is followed: beyond, the turn has
// taken the mirror well away and its shape no longer follows one power.
constexpr double DEPARTURE_STEPS = 3.0;

// Where the departure may begin: from this many samples before the line's last one (the end
// tests fire a few samples into a departure) to a few samples before the last one followed
// (a line cut by the laser signal ends before the mirror runs on and turns), on a grid.
constexpr double EARLIEST_DEPARTURE = 16.0;
constexpr double LAST_SAMPLES_SHOWING_IT = 3.0;
constexpr double COARSE_GRID = 2.0;
constexpr double FINE_GRID = 0.5;

// A lag turns a corner into a departure growing with the square of the time, and a turn on
// an arc into one growing with its cube.
constexpr std::array<int, 2> POWERS = {2, 3};

// The departure must reach this many noise deviations within the samples followed.
constexpr double SIGNIFICANCE = 6.0;

struct Departure {
    std::array<double, ON_LINE_SPAN + DEPARTURE_SPAN> offsets{};
    std::uint64_t from = 0;  // sample of offsets[0]
    std::uint64_t count = 0;
};

// The offsets from the line of its last samples and of those after it that still head on
// along it (a mirror that turns back is no departure to fit) and stay near it.
template <typename T>
Departure departure_of(const Path<T>& path, const Scales& scales, const Segment& line,
                       std::uint64_t ceiling) {
    Departure d;
    const std::uint64_t span = line.last - line.first + 1;
    const std::uint64_t before = std::min<std::uint64_t>(ON_LINE_SPAN, span);
    d.from = line.last + 1 - before;
    for (std::uint64_t k = 0; k < before; ++k)
        d.offsets[d.count++] = signed_distance(path, line.fit, d.from + k);
    const double limit = DEPARTURE_STEPS * scales.step;
    double highest = along(path, line.fit, line.last);
    for (std::uint64_t i = line.last + 1; i <= ceiling && d.count < d.offsets.size(); ++i) {
        if (!path.finite(i)) break;
        const double offset = signed_distance(path, line.fit, i);
        const double t = along(path, line.fit, i);
        const double step = path.step_between(i - 1, i);
        // A jump that leaves along the line is no turn away from it.
        if (!(step <= scales.step_max)) break;
        if (!(std::fabs(offset) <= limit && t >= highest - scales.tolerance)) break;
        highest = std::max(highest, t);
        d.offsets[d.count++] = offset;
    }
    return d;
}

// Least squares of the offsets on a constant, a slope and a departure term: the line's fit,
// over a short line, is off by a little and tilted by a little near its end, and the departure
// must not be asked to explain that.
struct Regression {
    double error = std::numeric_limits<double>::infinity();
    double gain = 0;
};

// The sums of the normal equations that do not depend on where the departure begins.
struct FixedSums {
    double n = 0, k1 = 0, kk = 0, o1 = 0, ok = 0, oo = 0;
};

FixedSums fixed_sums(const Departure& d) {
    FixedSums f;
    for (std::uint64_t k = 0; k < d.count; ++k) {
        const double t = static_cast<double>(k);
        const double o = d.offsets[k];
        f.n += 1;
        f.k1 += t;
        f.kk += t * t;
        f.o1 += o;
        f.ok += o * t;
        f.oo += o * o;
    }
    return f;
}

// At most this many starts in one grid: the coarse one spans at most the departure's length.
constexpr std::size_t MOST_STARTS = ON_LINE_SPAN + DEPARTURE_SPAN;

// A grid of starts and, once fitted, each one's error and departure gain.
struct StartGrid {
    std::array<double, MOST_STARTS> start{}, error{}, gain{};
    std::size_t count = 0;
};

using Lanes [[gnu::vector_size(32)]] = double;
using LaneMask [[gnu::vector_size(32)]] = std::int64_t;  // comparison results: -1 or 0 a lane
constexpr std::size_t LANES = 4;
static_assert(MOST_STARTS % LANES == 0);

// Fits offset = c0 + c1 k + c2 g, g the departure term, for every start of the grid, four
// starts a pass over the samples. The term is zero up to its start, so each lane adds its
// samples after the start, in increasing k as a pass of its own would, and zero before: adding
// zero leaves a sum's bits as they are, and each lane then solves with the scalar arithmetic in
// the scalar order, so each start gets the bits of a fit of its own. Built for AVX2 as well as
// the baseline, chosen when the module loads.
[[gnu::target_clones("avx2", "default")]] void fit_grid(const Departure& d, const FixedSums& f,
                                                        int power, StartGrid& grid) noexcept {
    if (grid.count == 0) return;
    // Starts ascend: no lane has a term before the first one's.
    const auto first = static_cast<std::uint64_t>(std::max(0.0, std::floor(grid.start[0]) + 1));
    // The normal equations of (1, k, g), solved by Cramer's rule. Vectors leave it through a
    // reference: their calling convention differs between the builds.
    const auto det3 = [](Lanes& out, const auto& a, const auto& b, const auto& c, const auto& d3,
                         const auto& e, const auto& f3, const auto& g, const auto& h,
                         const auto& i) {
        out = a * (e * i - f3 * h) - b * (d3 * i - f3 * g) + c * (d3 * h - e * g);
    };
    for (std::size_t s = 0; s < grid.count; s += LANES) {
        Lanes start, g1{}, gk{}, gg{}, og{};
        std::memcpy(&start, &grid.start[s], sizeof start);
        for (std::uint64_t k = first; k < d.count; ++k) {
            const Lanes t = Lanes{} + static_cast<double>(k);
            const Lanes o = Lanes{} + d.offsets[k];
            const Lanes x = t - start;
            Lanes term = x * x;
            if (power == 3) term = term * x;
            const LaneMask after = t > start;
            const Lanes g = reinterpret_cast<Lanes>(reinterpret_cast<LaneMask>(term) & after);
            g1 += g;
            gk += g * t;
            gg += g * g;
            og += o * g;
        }
        Lanes det, c0, c1, c2;
        det3(det, f.n, f.k1, g1, f.k1, f.kk, gk, g1, gk, gg);
        det3(c0, f.o1, f.k1, g1, f.ok, f.kk, gk, og, gk, gg);
        det3(c1, f.n, f.o1, g1, f.k1, f.ok, gk, g1, og, gg);
        det3(c2, f.n, f.k1, f.o1, f.k1, f.kk, f.ok, g1, gk, og);
        c0 /= det;
        c1 /= det;
        c2 /= det;
        const Lanes error = f.oo - c0 * f.o1 - c1 * f.ok - c2 * og;
        // A singular system fits nothing: its error is infinite, as no fit at all.
        const Lanes zero{};
        const LaneMask solvable = (det > zero) | (det < zero);
        const LaneMask infinite =
            reinterpret_cast<LaneMask>(Lanes{} + std::numeric_limits<double>::infinity());
        const Lanes kept_error = reinterpret_cast<Lanes>(
            (reinterpret_cast<LaneMask>(error) & solvable) | (infinite & ~solvable));
        const Lanes kept_gain = reinterpret_cast<Lanes>(reinterpret_cast<LaneMask>(c2) & solvable);
        std::memcpy(&grid.error[s], &kept_error, sizeof kept_error);
        std::memcpy(&grid.gain[s], &kept_gain, sizeof kept_gain);
    }
}

// The sample (as an offset from d.from, fractional) where the fitted departure reaches
// `settled`, or NaN when no departure stands clear of the noise.
double departure_crossing(const Departure& d, double last_index, double noise, double settled) {
    const FixedSums fixed = fixed_sums(d);
    Regression best;
    double best_start = std::numeric_limits<double>::quiet_NaN();
    int best_power = 2;
    // Starts are weighed in grid order; the first of equal errors wins.
    const auto consider = [&](StartGrid& grid, int power) {
        fit_grid(d, fixed, power, grid);
        for (std::size_t s = 0; s < grid.count; ++s) {
            if (grid.error[s] < best.error) {
                best = Regression{grid.error[s], grid.gain[s]};
                best_start = grid.start[s];
                best_power = power;
            }
        }
    };
    // A coarse grid over where it may begin, then a fine one around the best: the error of the
    // fit changes smoothly with the start, and every fit reads all the samples.
    const double earliest = last_index - EARLIEST_DEPARTURE;
    const double latest = static_cast<double>(d.count) - LAST_SAMPLES_SHOWING_IT;
    for (const int power : POWERS) {
        StartGrid grid;
        for (double start = earliest; start <= latest && grid.count < MOST_STARTS;
             start += COARSE_GRID)
            grid.start[grid.count++] = start;
        consider(grid, power);
    }
    if (std::isnan(best_start)) return best_start;
    const double coarse = best_start;
    const int power = best_power;
    StartGrid fine;
    for (double start = coarse - COARSE_GRID + FINE_GRID;
         start < coarse + COARSE_GRID && fine.count < MOST_STARTS; start += FINE_GRID)
        fine.start[fine.count++] = start;
    consider(fine, power);
    const double n = static_cast<double>(d.count);
    const double reach =
        std::fabs(best.gain) * std::pow(n - 1 - best_start, static_cast<double>(best_power));
    if (!(reach >= SIGNIFICANCE * noise)) return std::numeric_limits<double>::quiet_NaN();
    return best_start +
           std::pow(settled / std::fabs(best.gain), 1.0 / static_cast<double>(best_power));
}

// Parked samples a line must end in for its end to be a dwell the mirror leaves by a jump, and
// how many of them, counted back from the last two, give the point it rested at.
constexpr std::uint64_t DWELL_AT_END = 12;
constexpr std::uint64_t REST_SAMPLES = 16;
constexpr std::uint64_t REST_SKIPS = 2;

// The offsets of a line's end dwell and of the jump out of it: each sample's distance from
// where the mirror rested, along the way the jump leaves. A lagged jump sets off slowly, its
// first samples inside the parked radius, so the dwell looks a sample or two longer than the
// delay; the jump's growth from rest is the departure to fit. No samples when the line does
// not end in a dwell or nothing leaves it within the span followed.
template <typename T>
Departure departure_from_dwell(const Path<T>& path, const Scales& scales, const Segment& line,
                               std::uint64_t ceiling) {
    Departure d;
    const std::uint64_t parked = parked_after(path, scales, line.last, -1, line.first);
    if (parked + 1 < DWELL_AT_END) return d;
    const Rest rest = rest_over(path, line.last - std::min(parked, REST_SAMPLES + REST_SKIPS),
                                line.last - REST_SKIPS);
    // The way the jump leaves: towards the last sample followed, once it is well clear.
    const double limit = DEPARTURE_STEPS * scales.step;
    std::uint64_t last = line.last;
    while (last < ceiling && last - line.last < DEPARTURE_SPAN && path.finite(last + 1) &&
           distance_from(path, last + 1, rest) <= limit)
        ++last;
    const double clear = distance_from(path, last, rest);
    if (last == line.last || !(clear >= scales.step)) return d;
    const double way_x = (path.x_at(last) - rest.x) / clear;
    const double way_y = (path.y_at(last) - rest.y) / clear;
    const std::uint64_t before = std::min<std::uint64_t>(ON_LINE_SPAN, parked + 1);
    d.from = line.last + 1 - before;
    for (std::uint64_t i = d.from; i <= last; ++i)
        d.offsets[d.count++] = (path.x_at(i) - rest.x) * way_x + (path.y_at(i) - rest.y) * way_y;
    return d;
}

}  // namespace

template <typename T>
void settle_line_ends(const Path<T>& path, const Scales& scales, std::vector<Segment>& segments) {
    const double settled = scales.settled;
    const double noise = std::max(scales.noise, 0.25 * settled);
    // Each line moves only its own end and reads only the starts of the lines after it.
    for_each_segment(segments.size(), [&](std::size_t s) {
        Segment& line = segments[s];
        if (line.rejected != nullptr || !line.fit.valid) return;
        std::uint64_t ceiling = path.size() - 1;
        for (std::size_t n = s + 1; n < segments.size(); ++n) {
            if (segments[n].rejected != nullptr) continue;
            ceiling = segments[n].first > line.last ? segments[n].first - 1 : line.last;
            break;
        }
        const Departure from_dwell = departure_from_dwell(path, scales, line, ceiling);
        const bool dwell = from_dwell.count > 0;
        const Departure d = dwell ? from_dwell : departure_of(path, scales, line, ceiling);
        if (d.count <= ON_LINE_SPAN / 2) return;
        const double last_index = static_cast<double>(line.last - d.from);
        const double crossing = departure_crossing(d, last_index, noise, settled);
        if (!std::isfinite(crossing)) return;
        // The last sample before the one where the mirror reaches the settled offset: the
        // command left the line a sample or two before its mirror shows it. Out of a dwell the
        // crossing itself is the end: one sample fewer cut a third of such lines a sample short.
        // d.from is never before the line's first sample, so the line keeps one at least.
        const double end = std::floor(crossing) - (dwell ? 0 : 1);
        const double highest = static_cast<double>(d.count - 1);
        const std::uint64_t wanted =
            d.from + static_cast<std::uint64_t>(std::clamp(end, 0.0, highest));
        // The departure was followed over unexposed samples too; the line may not take them.
        if (wanted <= line.last) {
            line.last = wanted;
        } else if (!dwell) {
            while (line.last < wanted && path.usable(line.last + 1)) ++line.last;
        }
    });
}

template void settle_line_ends<float>(const Path<float>&, const Scales&, std::vector<Segment>&);
template void settle_line_ends<double>(const Path<double>&, const Scales&, std::vector<Segment>&);

}  // namespace vorlane::robust
