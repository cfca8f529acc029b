// Shared records of the robust labelling core: the scales measured from the data, the fit sums
// a straight stretch gathers as it streams past, and the segments the later stages judge.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "robust/robust_scanlines.hpp"

namespace vorlane::robust {

// What the recording says about itself, and the thresholds that follow from it.
struct Scales {
    double noise = 0;               // per-axis standard deviation of a sample's position
    double step = 0;                // median distance between consecutive moving samples
    double tolerance = 0;           // largest distance of a line's sample from its fitted line
    double settling_tolerance = 0;  // largest mean distance of a line's end samples from it
    double short_settling_tolerance = 0;  // the same for the mean of its last few samples
    double settled = 0;        // how close a lagged mirror must come to a line to be on it
    double mid_tolerance = 0;  // largest bend a chord may show before it counts as a turn
    std::uint64_t window = 4;  // samples a chord spans
    double chord_min = 0;      // chord length band around the exposure speed
    double chord_max = 0;
    double step_max = 0;  // longest single step a line may take (rejects jumps)
    bool usable = false;  // false when the data gives no scale (constant, non-finite)
};

// Orthogonal least-squares line of a set of samples, as sums about a fixed origin so that
// float32 coordinates far from zero lose nothing to cancellation.
struct FitSums {
    double origin_x = 0, origin_y = 0;
    double n = 0, su = 0, sv = 0, suu = 0, suv = 0, svv = 0;

    void add(double x, double y) noexcept {
        const double u = x - origin_x;
        const double v = y - origin_y;
        n += 1;
        su += u;
        sv += v;
        suu += u * u;
        suv += u * v;
        svv += v * v;
    }
    void remove(double x, double y) noexcept {
        const double u = x - origin_x;
        const double v = y - origin_y;
        n -= 1;
        su -= u;
        sv -= v;
        suu -= u * u;
        suv -= u * v;
        svv -= v * v;
    }
    // Adds another set's sums, moved from its origin to this one's.
    void merge(const FitSums& other) noexcept;
};

struct LineFit {
    double cx = 0, cy = 0;  // centroid
    double ux = 1, uy = 0;  // unit direction
    double rms = 0;         // root mean square distance of the samples from the line
    bool valid = false;
};

// The fitted line's direction points from first_* towards last_* so that projections grow
// along the recording.
LineFit fit_line(const FitSums& sums, double first_x, double first_y, double last_x,
                 double last_y) noexcept;

// How a stretch's speed runs: a lagged jump leaves and arrives on a straight track, and only its
// ramp, speeding up as it leaves or slowing down as it arrives, tells it from a line.
enum class JumpRamp : std::uint8_t { none, leaving, arriving };

// A straight stretch of samples [first, last] and what the stages learn about it.
struct Segment {
    std::uint64_t first = 0, last = 0;
    double first_x = 0, first_y = 0, last_x = 0, last_y = 0;
    FitSums sums;
    LineFit fit;
    std::uint64_t sums_first = 1, sums_last = 0;  // the samples the sums hold; none if first > last
    double t_first = 0, t_last = 0;  // extent along the fitted direction, from the centroid
    double angle_deg = 0;            // in [0, 180)
    JumpRamp ramp = JumpRamp::none;  // gains or loses speed throughout, as a lagged jump does
    bool runs_up = false;            // begins after a run-up from a dwell that is not its own
    bool jumps = false;              // a short stretch holding a step longer than a line may take
    const char* rejected = nullptr;  // why it is not a hatch line; null for a hatch line

    double length() const noexcept { return std::fabs(t_last - t_first); }
};

}  // namespace vorlane::robust
