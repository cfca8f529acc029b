// The fit behind scan_vectors, in three passes over the samples: counts and means, second
// moments about the means (so no large sums cancel), then the spread about the fitted line.
#include "robust/scan_vectors.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace vorlane::robust {

namespace {

constexpr double NOT_A_NUMBER = std::numeric_limits<double>::quiet_NaN();

// Running sums of one line.
struct LineSums {
    std::int64_t first = -1;
    std::int64_t last = -1;
    std::int64_t count = 0;
    std::int64_t first_finite = -1;
    std::int64_t last_finite = -1;
    std::int64_t finite = 0;
    double shift_x = 0;  // the first finite sample: sums of offsets from it stay small
    double shift_y = 0;
    double offset_sum_x = 0;
    double offset_sum_y = 0;
    double mean_x = 0;
    double mean_y = 0;
    double sxx = 0;
    double syy = 0;
    double sxy = 0;
    double across_sq = 0;  // squared distances from the fitted line
    double direction_x = 0;
    double direction_y = 0;
    bool has_direction = false;
};

// The distinct positive ids, ascending. Lines are runs of one id, so only run starts are kept.
template <typename Id>
std::vector<std::int64_t> distinct_positive_ids(StridedSamples<Id> ids) {
    std::vector<std::int64_t> found;
    std::int64_t previous = 0;
    for (std::uint64_t i = 0; i < ids.size; ++i) {
        const auto id = static_cast<std::int64_t>(ids[i]);
        if (id > 0 && id != previous) found.push_back(id);
        previous = id;
    }
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    return found;
}

// Calls visit(sums_of_the_sample's_line, index) for every sample with a positive id; the row
// is looked up once per run of equal ids.
template <typename Id, typename Visit>
void for_each_labelled(StridedSamples<Id> ids, const std::vector<std::int64_t>& row_ids,
                       std::vector<LineSums>& rows, Visit&& visit) {
    std::int64_t run_id = 0;
    LineSums* run_row = nullptr;
    for (std::uint64_t i = 0; i < ids.size; ++i) {
        const auto id = static_cast<std::int64_t>(ids[i]);
        if (id != run_id || i == 0) {
            run_id = id;
            run_row = nullptr;
            if (id > 0) {
                const auto at = std::lower_bound(row_ids.begin(), row_ids.end(), id);
                run_row = &rows[static_cast<std::size_t>(at - row_ids.begin())];
            }
        }
        if (run_row != nullptr) visit(*run_row, i);
    }
}

bool finite(double value) noexcept { return std::isfinite(value); }

// Direction of the principal axis of the centred moments, or none when they vanish.
void fit_direction(LineSums& line) {
    if (line.finite < 2 || (line.sxx == 0 && line.syy == 0)) return;
    const double twice_sxy = 2.0 * line.sxy;
    const double spread_difference = line.sxx - line.syy;
    const double theta = 0.5 * std::atan2(twice_sxy, spread_difference);
    line.direction_x = std::cos(theta);
    line.direction_y = std::sin(theta);
    line.has_direction = true;
}

template <typename T>
ScanVector row_of(std::int64_t id, const LineSums& line, StridedSamples<T> x, StridedSamples<T> y) {
    ScanVector row{id,           line.first,   line.last,    line.count,
                   NOT_A_NUMBER, NOT_A_NUMBER, NOT_A_NUMBER, NOT_A_NUMBER,
                   NOT_A_NUMBER, NOT_A_NUMBER, NOT_A_NUMBER};
    if (line.finite == 0) return row;
    const auto first = static_cast<std::uint64_t>(line.first_finite);
    const auto last = static_cast<std::uint64_t>(line.last_finite);
    if (!line.has_direction) {
        row.x0 = row.x1 = static_cast<double>(x[first]);
        row.y0 = row.y1 = static_cast<double>(y[first]);
        row.length = 0;
        row.rms = 0;
        return row;
    }
    const auto along = [&](std::uint64_t i) {
        const double dx = static_cast<double>(x[i]) - line.mean_x;
        const double dy = static_cast<double>(y[i]) - line.mean_y;
        return dx * line.direction_x + dy * line.direction_y;
    };
    const double t0 = along(first);
    const double t1 = along(last);
    row.x0 = line.mean_x + t0 * line.direction_x;
    row.y0 = line.mean_y + t0 * line.direction_y;
    row.x1 = line.mean_x + t1 * line.direction_x;
    row.y1 = line.mean_y + t1 * line.direction_y;
    row.length = std::fabs(t1 - t0);
    double degrees = std::atan2(line.direction_y, line.direction_x) * (180.0 / std::numbers::pi);
    if (degrees < 0) degrees += 180.0;
    // A direction a rounding step below 0 degrees lands on 180 after the shift.
    if (degrees >= 180.0) degrees -= 180.0;
    row.angle_deg = degrees;
    row.rms = std::sqrt(line.across_sq / static_cast<double>(line.finite));
    return row;
}

}  // namespace

template <typename T, typename Id>
std::vector<ScanVector> scan_vectors(StridedSamples<T> x, StridedSamples<T> y,
                                     StridedSamples<Id> ids) {
    const std::vector<std::int64_t> row_ids = distinct_positive_ids(ids);
    std::vector<LineSums> rows(row_ids.size());
    if (rows.empty()) return {};

    for_each_labelled(ids, row_ids, rows, [&](LineSums& line, std::uint64_t i) {
        const auto index = static_cast<std::int64_t>(i);
        if (line.count == 0) line.first = index;
        line.last = index;
        ++line.count;
        const auto xi = static_cast<double>(x[i]);
        const auto yi = static_cast<double>(y[i]);
        if (!finite(xi) || !finite(yi)) return;
        if (line.finite == 0) {
            line.first_finite = index;
            line.shift_x = xi;
            line.shift_y = yi;
        }
        line.last_finite = index;
        ++line.finite;
        line.offset_sum_x += xi - line.shift_x;
        line.offset_sum_y += yi - line.shift_y;
    });
    for (LineSums& line : rows) {
        if (line.finite == 0) continue;
        const auto finite_count = static_cast<double>(line.finite);
        line.mean_x = line.shift_x + line.offset_sum_x / finite_count;
        line.mean_y = line.shift_y + line.offset_sum_y / finite_count;
    }

    for_each_labelled(ids, row_ids, rows, [&](LineSums& line, std::uint64_t i) {
        const auto xi = static_cast<double>(x[i]);
        const auto yi = static_cast<double>(y[i]);
        if (!finite(xi) || !finite(yi)) return;
        const double dx = xi - line.mean_x;
        const double dy = yi - line.mean_y;
        line.sxx += dx * dx;
        line.syy += dy * dy;
        line.sxy += dx * dy;
    });
    for (LineSums& line : rows) fit_direction(line);

    for_each_labelled(ids, row_ids, rows, [&](LineSums& line, std::uint64_t i) {
        if (!line.has_direction) return;
        const auto xi = static_cast<double>(x[i]);
        const auto yi = static_cast<double>(y[i]);
        if (!finite(xi) || !finite(yi)) return;
        // Distance along the normal (-sin, cos) of the fitted direction.
        const double dx = xi - line.mean_x;
        const double dy = yi - line.mean_y;
        const double across = dy * line.direction_x - dx * line.direction_y;
        line.across_sq += across * across;
    });

    std::vector<ScanVector> result;
    result.reserve(rows.size());
    for (std::size_t r = 0; r < rows.size(); ++r)
        result.push_back(row_of(row_ids[r], rows[r], x, y));
    return result;
}

template std::vector<ScanVector> scan_vectors<float, std::int32_t>(StridedSamples<float>,
                                                                   StridedSamples<float>,
                                                                   StridedSamples<std::int32_t>);
template std::vector<ScanVector> scan_vectors<float, std::int64_t>(StridedSamples<float>,
                                                                   StridedSamples<float>,
                                                                   StridedSamples<std::int64_t>);
template std::vector<ScanVector> scan_vectors<double, std::int32_t>(StridedSamples<double>,
                                                                    StridedSamples<double>,
                                                                    StridedSamples<std::int32_t>);
template std::vector<ScanVector> scan_vectors<double, std::int64_t>(StridedSamples<double>,
                                                                    StridedSamples<double>,
                                                                    StridedSamples<std::int64_t>);

}  // namespace vorlane::robust
