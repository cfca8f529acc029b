// The orthogonal least-squares line through a segment's samples, from its streamed sums.
#include <cmath>

#include "robust/records.hpp"

namespace vorlane::robust {

void FitSums::merge(const FitSums& other) noexcept {
    // Each of other's samples is (u', v') about its origin; about ours it is (u' + du, v' + dv).
    const double du = other.origin_x - origin_x;
    const double dv = other.origin_y - origin_y;
    n += other.n;
    su += other.su + other.n * du;
    sv += other.sv + other.n * dv;
    suu += other.suu + 2 * du * other.su + other.n * du * du;
    suv += other.suv + du * other.sv + dv * other.su + other.n * du * dv;
    svv += other.svv + 2 * dv * other.sv + other.n * dv * dv;
}

LineFit fit_line(const FitSums& sums, double first_x, double first_y, double last_x,
                 double last_y) noexcept {
    LineFit fit;
    if (!(sums.n >= 2)) return fit;
    const double mu = sums.su / sums.n;
    const double mv = sums.sv / sums.n;
    const double cxx = sums.suu / sums.n - mu * mu;
    const double cxy = sums.suv / sums.n - mu * mv;
    const double cyy = sums.svv / sums.n - mv * mv;
    const double half_diff = (cxx - cyy) / 2;
    const double radius = std::hypot(half_diff, cxy);
    const double smaller = (cxx + cyy) / 2 - radius;
    const double angle = std::atan2(2 * cxy, cxx - cyy) / 2;
    fit.cx = sums.origin_x + mu;
    fit.cy = sums.origin_y + mv;
    fit.ux = std::cos(angle);
    fit.uy = std::sin(angle);
    if (fit.ux * (last_x - first_x) + fit.uy * (last_y - first_y) < 0) {
        fit.ux = -fit.ux;
        fit.uy = -fit.uy;
    }
    fit.rms = std::sqrt(smaller > 0 ? smaller : 0.0);
    fit.valid = std::isfinite(fit.cx) && std::isfinite(fit.cy) && std::isfinite(fit.ux) &&
                std::isfinite(fit.uy) && std::isfinite(fit.rms);
    return fit;
}

}  // namespace vorlane::robust
