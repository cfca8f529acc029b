// Joins straight stretches that a noisy chord or a chunk seam split: the seam rule of the
// chunked pass, so that the result does not depend on where chunks begin.
#include <cmath>
#include <vector>

#include "robust/batched_for.hpp"
#include "robust/stages.hpp"

namespace vorlane::robust {
namespace {

double distance_from(const LineFit& line, double x, double y) {
    return std::fabs((x - line.cx) * line.uy - (y - line.cy) * line.ux);
}

LineFit fit_of(const Segment& segment) {
    return fit_line(segment.sums, segment.first_x, segment.first_y, segment.last_x, segment.last_y);
}

// Two touching stretches are one line when each one's centroid lies on the other's line; a
// stretch shorter than a chord has no direction of its own worth testing against.
bool collinear(const Segment& before, const LineFit& a, const Segment& after, const LineFit& b,
               const Scales& scales) {
    const double limit = scales.mid_tolerance;
    const double short_stretch = static_cast<double>(scales.window);
    if (a.valid && before.sums.n >= short_stretch) {
        if (!(distance_from(a, b.valid ? b.cx : after.first_x, b.valid ? b.cy : after.first_y) <=
              limit))
            return false;
        if (b.valid && !(a.ux * b.ux + a.uy * b.uy > 0)) return false;
    }
    if (b.valid && after.sums.n >= short_stretch) {
        if (!(distance_from(b, a.valid ? a.cx : before.first_x, a.valid ? a.cy : before.first_y) <=
              limit))
            return false;
    }
    return true;
}

}  // namespace

void merge_collinear(std::vector<Segment>& segments, const Scales& scales) {
    // Each stretch's own fit, on the pool; a stretch that absorbed others is fitted again.
    std::vector<LineFit> fits(segments.size());
    for_each_segment(segments.size(), [&](std::size_t i) { fits[i] = fit_of(segments[i]); });
    std::size_t kept = 0;
    LineFit last_fit;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        if (kept > 0) {
            Segment& last = segments[kept - 1];
            const Segment& next = segments[i];
            if (next.first <= last.last + 1 && collinear(last, last_fit, next, fits[i], scales)) {
                last.sums.merge(next.sums);
                last.last = next.last;
                last.last_x = next.last_x;
                last.last_y = next.last_y;
                last_fit = fit_of(last);
                continue;
            }
        }
        if (kept != i) segments[kept] = segments[i];
        last_fit = fits[i];
        ++kept;
    }
    segments.resize(kept);
}

}  // namespace vorlane::robust
