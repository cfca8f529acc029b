// Ends each lagged line where the mirror turns away from it. A lagged mirror leaves a line
// smoothly (its offset grows as a power of the time since the command turned), so the samples
// that cross the end tests sit several samples past where it left; a fit of that growth finds
// the departure through the noise.
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "robust/batched_for.hpp"
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

template <typename T>
double signed_offset(const Path<T>& path, const LineFit& line, std::uint64_t i) {
    return (path.x_at(i) - line.cx) * line.uy - (path.y_at(i) - line.cy) * line.ux;
}

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
        d.offsets[d.count++] = signed_offset(path, line.fit, d.from + k);
    const double limit = DEPARTURE_STEPS * scales.step;
    const auto along = [&](std::uint64_t i) {
        return (path.x_at(i) - line.fit.cx) * line.fit.ux +
               (path.y_at(i) - line.fit.cy) * line.fit.uy;
    };
    double highest = along(line.last);
    for (std::uint64_t i = line.last + 1; i <= ceiling && d.count < d.offsets.size(); ++i) {
        if (!path.finite(i)) break;
        const double offset = signed_offset(path, line.fit, i);
        const double t = along(i);
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

Regression regress(const Departure& d, const FixedSums& f, double start, int power) {
    // The departure term is zero up to its start, so only the samples after it add to its sums.
    double g1 = 0, gk = 0, gg = 0, og = 0;
    const auto first = static_cast<std::uint64_t>(std::max(0.0, std::floor(start) + 1));
    for (std::uint64_t k = first; k < d.count; ++k) {
        const double t = static_cast<double>(k);
        const double x = t - start;
        const double g = power == 2 ? x * x : x * x * x;
        g1 += g;
        gk += g * t;
        gg += g * g;
        og += d.offsets[k] * g;
    }
    // The normal equations of (1, k, g), solved by Cramer's rule.
    const auto det3 = [](double a, double b, double c, double d3, double e, double f3, double g,
                         double h, double i) {
        return a * (e * i - f3 * h) - b * (d3 * i - f3 * g) + c * (d3 * h - e * g);
    };
    const double det = det3(f.n, f.k1, g1, f.k1, f.kk, gk, g1, gk, gg);
    Regression r;
    if (!(std::fabs(det) > 0)) return r;
    const double c0 = det3(f.o1, f.k1, g1, f.ok, f.kk, gk, og, gk, gg) / det;
    const double c1 = det3(f.n, f.o1, g1, f.k1, f.ok, gk, g1, og, gg) / det;
    const double c2 = det3(f.n, f.k1, f.o1, f.k1, f.kk, f.ok, g1, gk, og) / det;
    r.gain = c2;
    r.error = f.oo - c0 * f.o1 - c1 * f.ok - c2 * og;
    return r;
}

// The sample (as an offset from d.from, fractional) where the fitted departure reaches
// `settled`, or NaN when no departure stands clear of the noise.
double departure_crossing(const Departure& d, double last_index, double noise, double settled) {
    const FixedSums fixed = fixed_sums(d);
    Regression best;
    double best_start = std::numeric_limits<double>::quiet_NaN();
    int best_power = 2;
    const auto consider = [&](double start, int power) {
        const Regression r = regress(d, fixed, start, power);
        if (r.error < best.error) {
            best = r;
            best_start = start;
            best_power = power;
        }
    };
    // A coarse grid over where it may begin, then a fine one around the best: the error of the
    // fit changes smoothly with the start, and every fit reads all the samples.
    const double earliest = last_index - EARLIEST_DEPARTURE;
    const double latest = static_cast<double>(d.count) - LAST_SAMPLES_SHOWING_IT;
    for (const int power : POWERS)
        for (double start = earliest; start <= latest; start += COARSE_GRID) consider(start, power);
    if (std::isnan(best_start)) return best_start;
    const double coarse = best_start;
    const int power = best_power;
    for (double start = coarse - COARSE_GRID + FINE_GRID; start < coarse + COARSE_GRID;
         start += FINE_GRID)
        consider(start, power);
    const double n = static_cast<double>(d.count);
    const double reach =
        std::fabs(best.gain) * std::pow(n - 1 - best_start, static_cast<double>(best_power));
    if (!(reach >= SIGNIFICANCE * noise)) return std::numeric_limits<double>::quiet_NaN();
    return best_start +
           std::pow(settled / std::fabs(best.gain), 1.0 / static_cast<double>(best_power));
}

}  // namespace

template <typename T>
void settle_line_ends(const Path<T>& path, const Scales& scales, std::vector<Segment>& segments) {
    const double settled = SETTLED_SHARE_OF_STEP * scales.step;
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
        const Departure d = departure_of(path, scales, line, ceiling);
        if (d.count <= ON_LINE_SPAN / 2) return;
        const double last_index = static_cast<double>(line.last - d.from);
        const double crossing = departure_crossing(d, last_index, noise, settled);
        if (!std::isfinite(crossing)) return;
        // The last sample before the one where the mirror reaches the settled offset: the
        // command left the line a sample or two before its mirror shows it.
        // d.from is never before the line's first sample, so the line keeps one at least.
        const double end = std::floor(crossing) - 1;
        const double highest = static_cast<double>(d.count - 1);
        const std::uint64_t wanted =
            d.from + static_cast<std::uint64_t>(std::clamp(end, 0.0, highest));
        // The departure was followed over unexposed samples too; the line may not take them.
        if (wanted <= line.last) {
            line.last = wanted;
        } else {
            while (line.last < wanted && path.usable(line.last + 1)) ++line.last;
        }
    });
}

template void settle_line_ends<float>(const Path<float>&, const Scales&, std::vector<Segment>&);
template void settle_line_ends<double>(const Path<double>&, const Scales&, std::vector<Segment>&);

}  // namespace vorlane::robust
