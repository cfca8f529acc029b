// Trims the samples a lagged mirror takes to settle onto each line after a turn. A servo that
// lags as a first-order system approaches a line with an offset that shrinks by one factor a
// sample; under noise the approach cannot be told from the line sample by sample, but the
// factor, measured over all lines, and each line's offset, fitted over its first samples, can.
#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "robust/stages.hpp"

namespace vorlane::robust {
namespace {

// The samples over which a settling offset is measured and fitted: several time constants of
// the longest lag worth following, yet inside the shorter hatch lines.
constexpr std::uint64_t SETTLING_SPAN = 24;

// Decays faster than this settle within a sample or two of a turn, inside what the trim of
// the line's ends already removes.
constexpr double SLOWEST_UNFOLLOWED_DECAY = 0.5;

// Slower decays than this are no servo: a line whose start bends that slowly is not straight.
constexpr double FASTEST_FOLLOWED_DECAY = 0.97;

// How many spreads of the noise's lag products the measured ones must exceed.
constexpr double SIGNIFICANCE = 6;

// The least mean lag-one product of a settling, as a share of the noise variance: a lag of a
// few samples after a turn reaches a third of it under half a micrometre of noise.
constexpr double SETTLING_SHARE = 0.2;

// A mirror this close to a line, as a share of the sample step, exposes the line's track.
constexpr double SETTLED_SHARE_OF_STEP = 0.1;

// Samples of a line's start that are fitted: no more than a third of a short line, so that
// the rest of it shows where the line itself lies.
std::uint64_t fitted_span(const Segment& line) {
    return std::min(SETTLING_SPAN, (line.last - line.first + 1) / 3);
}

// Samples averaged into each of the two points that place a line's body.
constexpr std::uint64_t BODY_WINDOW = 16;

struct Point {
    double x = 0, y = 0;
};

template <typename T>
Point mean_of(const Path<T>& path, std::uint64_t from, std::uint64_t count) {
    Point mean;
    for (std::uint64_t i = from; i < from + count; ++i) {
        mean.x += path.x_at(i);
        mean.y += path.y_at(i);
    }
    mean.x /= static_cast<double>(count);
    mean.y /= static_cast<double>(count);
    return mean;
}

// The offsets of a line's first `span` samples from its body: the line through the mean of
// the samples after them and the mean of those before an equal span at its end. The fitted
// line will not do: the settling at both ends pulls it aside and, as a meander's turns come
// from opposite sides, tilts it.
template <typename T>
std::array<double, SETTLING_SPAN> start_offsets(const Path<T>& path, const Segment& line,
                                                std::uint64_t span) {
    std::array<double, SETTLING_SPAN> offsets{};
    const std::uint64_t body = line.last - line.first + 1 - 2 * span;
    const std::uint64_t window = std::max<std::uint64_t>(1, std::min(BODY_WINDOW, body / 2));
    const Point near = mean_of(path, line.first + span, window);
    const Point far = mean_of(path, line.last + 1 - span - window, window);
    const double dx = far.x - near.x, dy = far.y - near.y;
    const double length = std::sqrt(dx * dx + dy * dy);
    const double ux = length > 0 ? dx / length : line.fit.ux;
    const double uy = length > 0 ? dy / length : line.fit.uy;
    for (std::uint64_t k = 0; k < span; ++k)
        offsets[k] =
            (path.x_at(line.first + k) - near.x) * uy - (path.y_at(line.first + k) - near.y) * ux;
    return offsets;
}

// The factor by which the offset of a line's first samples shrinks a sample, pooled over all
// hatch lines' starts as the ratio of their lag-two to their lag-one products: the noise,
// uncorrelated between samples, adds to neither, so no noise estimate biases the ratio. Zero
// when the starts show no settling clear of the noise.
template <typename T>
double settling_decay(const Path<T>& path, const Scales& scales,
                      const std::vector<Segment>& segments) {
    double lag_one = 0, lag_two = 0, pairs = 0;
    for (const Segment& line : segments) {
        if (line.rejected != nullptr || !line.fit.valid) continue;
        const std::uint64_t span = fitted_span(line);
        if (span < 4) continue;
        const std::array<double, SETTLING_SPAN> offsets = start_offsets(path, line, span);
        for (std::uint64_t k = 0; k + 2 < span; ++k) {
            lag_one += offsets[k] * offsets[k + 1];
            lag_two += offsets[k] * offsets[k + 2];
            pairs += 1;
        }
    }
    // Noise alone gives lag products whose sum spreads by the noise variance times the root of
    // their count, and the noise of the body's position adds a few hundredths of the variance
    // a product; a settling must stand well clear of both. Clean data has no noise to compare
    // with: there, offsets under a quarter of the settled one count as noise.
    const double noise = std::max(scales.noise, 0.25 * SETTLED_SHARE_OF_STEP * scales.step);
    const double variance = noise * noise;
    const double clear = std::max(SIGNIFICANCE * std::sqrt(pairs), SETTLING_SHARE * pairs);
    if (!(lag_one > clear * variance && lag_two > 0)) return 0;
    const double decay = lag_two / lag_one;
    if (!(decay >= SLOWEST_UNFOLLOWED_DECAY && decay <= FASTEST_FOLLOWED_DECAY)) return 0;
    return decay;
}

// Samples from the line's first before its fitted settling offset falls to `settled`, or zero
// when the offset fitted is within the noise of that fit.
template <typename T>
std::uint64_t settling_samples(const Path<T>& path, const Scales& scales, const Segment& line,
                               double decay, double settled) {
    const std::uint64_t span = fitted_span(line);
    if (span < 4) return 0;
    const std::array<double, SETTLING_SPAN> offsets = start_offsets(path, line, span);
    double weighted = 0, weights = 0, power = 1;
    for (std::uint64_t k = 0; k < span; ++k) {
        weighted += offsets[k] * power;
        weights += power * power;
        power *= decay;
    }
    const double offset = std::fabs(weighted / weights);
    const double uncertainty = scales.noise / std::sqrt(weights);
    if (!(offset > settled && offset > 2 * uncertainty)) return 0;
    const double samples = std::ceil(std::log(offset / settled) / -std::log(decay));
    return static_cast<std::uint64_t>(std::min(samples, static_cast<double>(span)));
}

}  // namespace

template <typename T>
double settle_line_starts(const Path<T>& path, const Scales& scales,
                          std::vector<Segment>& segments) {
    const double decay = settling_decay(path, scales, segments);
    if (decay == 0) return 0;
    const double settled = SETTLED_SHARE_OF_STEP * scales.step;
    for (Segment& line : segments) {
        if (line.rejected != nullptr || !line.fit.valid) continue;
        line.first += settling_samples(path, scales, line, decay, settled);
    }
    return decay;
}

template double settle_line_starts<float>(const Path<float>&, const Scales&, std::vector<Segment>&);
template double settle_line_starts<double>(const Path<double>&, const Scales&,
                                           std::vector<Segment>&);

}  // namespace vorlane::robust
