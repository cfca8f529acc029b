// Small recorded paths for the robust core's unit tests: meander rasters at any angle, polygons
// and circles, sampled at a fixed step with optional servo lag and Gaussian noise.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "robust/robust_scanlines.hpp"

namespace vorlane::testing {

struct Recorded {
    std::vector<double> x, y;
    std::vector<std::int32_t> truth;  // line number per sample, -1 off any line

    // One sample at (sx, sy): where a path begins.
    void sample(double sx, double sy, std::int32_t label) {
        x.push_back(sx);
        y.push_back(sy);
        truth.push_back(label);
    }
    void move_to(double tx, double ty, double step, std::int32_t label) {
        const double fx = x.empty() ? tx : x.back();
        const double fy = y.empty() ? ty : y.back();
        const double length = std::hypot(tx - fx, ty - fy);
        const auto count = static_cast<int>(std::ceil(length / step));
        for (int i = 1; i <= count; ++i) {
            const double share = static_cast<double>(i) / count;
            x.push_back(fx + share * (tx - fx));
            y.push_back(fy + share * (ty - fy));
            truth.push_back(label);
        }
    }
    void dwell(int count, std::int32_t label) {
        for (int i = 0; i < count; ++i) {
            x.push_back(x.back());
            y.push_back(y.back());
            truth.push_back(label);
        }
    }
    void add_noise(double sigma, unsigned seed) {
        std::mt19937_64 engine(seed);
        std::normal_distribution<double> normal(0.0, sigma);
        for (std::size_t i = 0; i < x.size(); ++i) {
            x[i] += normal(engine);
            y[i] += normal(engine);
        }
    }
    // A servo lagging as a first-order system with this time constant in samples.
    void add_lag(double time_constant) {
        const double alpha = -std::expm1(-1.0 / time_constant);
        for (std::size_t i = 1; i < x.size(); ++i) {
            x[i] = x[i - 1] + alpha * (x[i] - x[i - 1]);
            y[i] = y[i - 1] + alpha * (y[i] - y[i - 1]);
        }
    }
    std::size_t size() const { return x.size(); }
};

// `lines` lines of `length` mm at `degrees`, `spacing` apart, joined by connectors along the
// normal; 10 um steps, so a 1 mm line holds 100 samples. Lines start their numbering at `first`.
inline void add_meander(Recorded& path, double degrees, int lines, double length, double spacing,
                        double ox = 0, double oy = 0, std::int32_t first = 1) {
    const double a = degrees * 3.141592653589793 / 180.0;
    const double ux = std::cos(a), uy = std::sin(a), nx = -uy, ny = ux;
    const double step = 0.01;
    for (int k = 0; k < lines; ++k) {
        const double s0 = (k % 2 == 0) ? 0.0 : length;
        const double s1 = length - s0;
        const double bx = ox + k * spacing * nx, by = oy + k * spacing * ny;
        const double sx = bx + s0 * ux, sy = by + s0 * uy;
        if (path.x.empty()) {
            path.x.push_back(sx);
            path.y.push_back(sy);
            path.truth.push_back(first + k);
        } else {
            path.move_to(sx, sy, step, -1);
            path.truth.back() = first + k;
        }
        path.move_to(bx + s1 * ux, by + s1 * uy, step, first + k);
    }
}

// A closed regular polygon (a circle when `corners` is large) traced at 10 um steps.
inline void add_polygon(Recorded& path, double cx, double cy, double radius, int corners,
                        double turn_degrees = 0) {
    const double a0 = turn_degrees * 3.141592653589793 / 180.0;
    for (int c = 0; c <= corners; ++c) {
        const double a = a0 + 2 * 3.141592653589793 * c / corners;
        const double px = cx + radius * std::cos(a), py = cy + radius * std::sin(a);
        if (path.x.empty()) {
            path.x.push_back(px);
            path.y.push_back(py);
            path.truth.push_back(-1);
        } else {
            path.move_to(px, py, 0.01, -1);
        }
    }
}

template <typename T>
robust::StridedSamples<T> samples_of(const std::vector<T>& values) {
    return robust::StridedSamples<T>{reinterpret_cast<const unsigned char*>(values.data()),
                                     values.size(), static_cast<std::int64_t>(sizeof(T))};
}

// Runs the whole labelling over vectors of T.
template <typename T>
std::vector<std::int32_t> label(const std::vector<T>& x, const std::vector<T>& y,
                                const std::uint8_t* laser_on = nullptr,
                                robust::RobustInfo* info = nullptr) {
    std::vector<std::int32_t> ids(x.size(), 0);
    robust::RobustInfo found = robust::robust_scanlines<T>(samples_of(x), samples_of(y), laser_on,
                                                           robust::RobustOptions{}, ids);
    if (info != nullptr) *info = found;
    return ids;
}

// Lines of `truth` whose samples one id covers at least 90 % of, with 90 % of that id on it.
inline int lines_recovered(const std::vector<std::int32_t>& ids,
                           const std::vector<std::int32_t>& truth) {
    std::int32_t lines = 0, most = 0;
    for (auto t : truth) lines = std::max(lines, t);
    for (auto i : ids) most = std::max(most, i);
    std::vector<std::vector<int>> overlap(static_cast<std::size_t>(lines + 1),
                                          std::vector<int>(static_cast<std::size_t>(most + 1)));
    std::vector<int> line_size(static_cast<std::size_t>(lines + 1));
    std::vector<int> id_size(static_cast<std::size_t>(most + 1));
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (truth[i] > 0) ++line_size[static_cast<std::size_t>(truth[i])];
        if (ids[i] > 0) ++id_size[static_cast<std::size_t>(ids[i])];
        if (truth[i] > 0 && ids[i] > 0)
            ++overlap[static_cast<std::size_t>(truth[i])][static_cast<std::size_t>(ids[i])];
    }
    int recovered = 0;
    for (std::size_t l = 1; l < overlap.size(); ++l)
        for (std::size_t d = 1; d < overlap[l].size(); ++d)
            if (overlap[l][d] >= 0.9 * line_size[l] && overlap[l][d] >= 0.9 * id_size[d]) {
                ++recovered;
                break;
            }
    return recovered;
}

}  // namespace vorlane::testing
