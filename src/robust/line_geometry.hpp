// Where a sample lies against a stretch's fitted line, and the trim of the samples at a
// stretch's ends that are off it: shared by the stages that settle where lines begin and end.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>

#include "robust/path.hpp"
#include "robust/records.hpp"

namespace vorlane::robust {

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

// Where the mirror rests over samples [first, last]: their mean position.
struct Rest {
    double x = 0, y = 0;
};

template <typename T>
Rest rest_over(const Path<T>& path, std::uint64_t first, std::uint64_t last) {
    Rest rest;
    for (std::uint64_t i = first; i <= last; ++i) {
        rest.x += path.x_at(i);
        rest.y += path.y_at(i);
    }
    const double count = static_cast<double>(last - first + 1);
    rest.x /= count;
    rest.y /= count;
    return rest;
}

template <typename T>
double distance_from(const Path<T>& path, std::uint64_t i, const Rest& rest) {
    const double dx = path.x_at(i) - rest.x;
    const double dy = path.y_at(i) - rest.y;
    return std::sqrt(dx * dx + dy * dy);
}

template <typename T>
double signed_distance(const Path<T>& path, const LineFit& line, std::uint64_t i) {
    return (path.x_at(i) - line.cx) * line.uy - (path.y_at(i) - line.cy) * line.ux;
}

// Samples this many in from an end are averaged to see a settling mirror through the noise: the
// longer mean sees a slow approach, the shorter one the last few samples of a turn beginning.
inline constexpr std::uint64_t SETTLING_WINDOW = 12;
inline constexpr std::uint64_t SHORT_SETTLING_WINDOW = 4;

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

}  // namespace vorlane::robust
