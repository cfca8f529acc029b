// Measures the recording's own scales (sample step, noise) from an evenly spread sample of it,
// and derives every threshold of the later stages from them.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#include "numeric/rank_select.hpp"
#include "robust/batched_for.hpp"
#include "robust/stages.hpp"

namespace vorlane::robust {
namespace {

// 32768 samples, from 256 places spread over the recording, pin the scan step and the noise's
// quartile to about 1 %. Four times as many took a tenth of a whole call at 10^7 samples, the
// selections running on one thread, and recovered no more lines.
constexpr std::uint64_t ALL_SAMPLES_UP_TO = std::uint64_t{1} << 15;
constexpr std::uint64_t PROBE_BLOCKS = 256;
constexpr std::uint64_t PROBE_LENGTH = 128;
// |N(0, s)| has its upper quartile at 1.1503 s, and a second difference of independent noise
// has s = sqrt(6) sigma.
constexpr double QUARTILE_TO_SIGMA = 1.0 / (1.1503 * 2.449489742783178);

struct Probe {
    std::uint64_t begin, end;
};

std::vector<Probe> probes(std::uint64_t n) {
    if (n <= ALL_SAMPLES_UP_TO) return {Probe{0, n}};
    std::vector<Probe> spread;
    const std::uint64_t gap = (n - PROBE_LENGTH) / (PROBE_BLOCKS - 1);
    for (std::uint64_t b = 0; b < PROBE_BLOCKS; ++b)
        spread.push_back(Probe{b * gap, b * gap + PROBE_LENGTH});
    return spread;
}

double quantile(std::span<double> values, double share) {
    if (values.empty()) return std::numeric_limits<double>::quiet_NaN();
    const auto rank = static_cast<std::size_t>(share * static_cast<double>(values.size() - 1));
    return value_at_rank(values, rank);
}

// Probe samples are read in pieces this long, each once, into plain arrays.
constexpr std::uint64_t PIECE = 4096;

// A piece of a probe as doubles, with which samples are usable and each sample's step from the
// one before (its first sample has none).
struct Piece {
    std::vector<double> x, y, step;
    std::vector<std::uint8_t> usable;

    template <typename T>
    void read(const Path<T>& path, std::uint64_t from, std::uint64_t to) {
        const auto m = static_cast<std::size_t>(to - from);
        x.resize(m);
        y.resize(m);
        step.resize(m);
        usable.resize(m);
        for (std::size_t j = 0; j < m; ++j) {
            x[j] = path.x_at(from + j);
            y[j] = path.y_at(from + j);
            const bool on = path.laser_on == nullptr || path.laser_on[from + j] != 0;
            usable[j] = on && std::isfinite(x[j]) && std::isfinite(y[j]) ? 1 : 0;
        }
        // Not hypot, which costs several times more: an overflow here only makes the step
        // infinite, and a path whose steps overflow has no scale anyway.
        for (std::size_t j = 1; j < m; ++j) {
            const double dx = x[j] - x[j - 1];
            const double dy = y[j] - y[j - 1];
            step[j] = std::sqrt(dx * dx + dy * dy);
        }
    }
};

// Probes a task reads: a probe is a few microseconds of work.
constexpr std::size_t PROBE_BATCH = 16;

// What one probe's samples give: values written into the probe's own slice of a shared array,
// and the largest coordinate magnitude met.
struct ProbeFinds {
    std::span<double> slice;
    std::size_t used = 0;
    double magnitude = 0;
    void push(double value) noexcept {
        if (used < slice.size()) slice[used++] = value;
    }
};

// What a pass over the probes finds: values in probe order, as one pass would give them, and
// the largest coordinate magnitude it met.
struct Found {
    // Left uninitialised: only the values written are ever touched, so a pass costs the
    // memory of what it finds, not of the room it reserved.
    std::unique_ptr<double[]> storage;
    std::span<double> values;
    double magnitude = 0;
};

// Calls visit(piece, j, finds) for every sample of each probe from `lead` samples past its
// start, the piece holding the `lead` samples before j as well; a visit pushes at most
// `per_sample` values. Probes run on the pool, each into a slice with room for all it may push,
// and the slices are then closed up in probe order: no more memory than one pass reserves.
template <typename T, typename Visit>
Found gather_from_probes(const Path<T>& path, const std::vector<Probe>& spread, std::uint64_t lead,
                         std::size_t per_sample, Visit&& visit) {
    std::vector<ProbeFinds> finds(spread.size());
    std::size_t room = 0;
    for (const Probe& probe : spread)
        room += static_cast<std::size_t>(probe.end - probe.begin) * per_sample;
    Found all;
    all.storage = std::make_unique_for_overwrite<double[]>(room);
    all.values = std::span<double>(all.storage.get(), room);
    std::size_t offset = 0;
    for (std::size_t p = 0; p < spread.size(); ++p) {
        const auto size = static_cast<std::size_t>(spread[p].end - spread[p].begin) * per_sample;
        finds[p].slice = all.values.subspan(offset, size);
        offset += size;
    }
    for_each_batch(spread.size(), PROBE_BATCH, [&](std::size_t begin, std::size_t end) {
        Piece piece;  // its buffers serve every probe of the batch
        for (std::size_t p = begin; p < end; ++p) {
            const Probe& probe = spread[p];
            for (std::uint64_t from = probe.begin + lead; from < probe.end; from += PIECE) {
                const std::uint64_t to = std::min(from + PIECE, probe.end);
                piece.read(path, from - lead, to);
                for (std::size_t j = static_cast<std::size_t>(lead); j < piece.x.size(); ++j)
                    visit(piece, j, finds[p]);
            }
        }
    });
    std::size_t filled = 0;
    for (const ProbeFinds& found : finds) {
        // Slices only move towards the front, never past a slice not yet moved; std::copy
        // allows that overlap but not a copy onto itself.
        double* const to = all.values.data() + filled;
        if (to != found.slice.data())
            std::copy(found.slice.data(), found.slice.data() + found.used, to);
        filled += found.used;
        all.magnitude = std::max(all.magnitude, found.magnitude);
    }
    all.values = all.values.first(filled);
    return all;
}

// Speeds are measured over chords of this many steps, so that the noise of two samples spreads
// a line's speed by a fraction of what it spreads a single step; at least this many chords must
// have moved for them to be used.
constexpr std::size_t SPEED_CHORD = 4;
constexpr std::size_t MOVING_CHORDS_WANTED = 256;
// Chord speeds are counted in bins of a sixteenth of an octave (3 to 6 % wide): the exponent
// and the top four bits of the mantissa, which order as the values do. The scan speed is the
// window of WINDOW_BINS bins that holds the most of them.
constexpr int BIN_SHIFT = 48;
constexpr std::int64_t WINDOW_BINS = 4;
constexpr std::int64_t MOST_BINS = 4096;

// The median of the values in the window of bins that holds the most of them. NaN when the
// values span too many bins to count.
double densest_median(std::span<double> values) {
    std::vector<std::int64_t> bins(values.size());
    std::int64_t low = std::numeric_limits<std::int64_t>::max(), high = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        bins[i] = static_cast<std::int64_t>(std::bit_cast<std::uint64_t>(values[i]) >> BIN_SHIFT);
        low = std::min(low, bins[i]);
        high = std::max(high, bins[i]);
    }
    if (high - low >= MOST_BINS) return std::numeric_limits<double>::quiet_NaN();
    std::vector<std::size_t> counts(static_cast<std::size_t>(high - low + 1));
    for (const std::int64_t bin : bins) ++counts[static_cast<std::size_t>(bin - low)];
    // The window ending at bin `best` (offsets from low) holds the most.
    std::size_t best = 0, best_count = 0, window = 0;
    for (std::size_t b = 0; b < counts.size(); ++b) {
        window += counts[b];
        if (b >= static_cast<std::size_t>(WINDOW_BINS))
            window -= counts[b - static_cast<std::size_t>(WINDOW_BINS)];
        if (window > best_count) {
            best_count = window;
            best = b;
        }
    }
    const std::int64_t last = low + static_cast<std::int64_t>(best);
    const std::int64_t first = last - WINDOW_BINS + 1;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < values.size(); ++i)
        if (bins[i] >= first && bins[i] <= last) values[kept++] = values[i];
    return quantile(values.first(kept), 0.5);
}

// The scan step: the distance the mirror covers a sample at the speed it keeps most while it
// moves, measured over chords of SPEED_CHORD steps. Laser delays park the mirror for tens of
// samples a line, and under noise a parked mirror steps a few micrometres in any direction
// every sample: on a fast scan or a short line those steps outnumbered the line's own, and a
// median of every step that moved fell to a fraction of the scan step. A parked mirror's chords
// stay within the noise, while a line's keep its speed to a few per cent; jumps keep theirs
// too, but the lines take most of the time a layer moves. Where too few chords moved, the
// median of every step that moved at all stands: dwells that repeat a position exactly do not
// count in it.
template <typename T>
double median_step(const Path<T>& path, const std::vector<Probe>& spread, double& magnitude) {
    Found speeds = gather_from_probes(
        path, spread, SPEED_CHORD, 1, [](const Piece& piece, std::size_t j, ProbeFinds& found) {
            if (piece.usable[j] == 0) return;
            found.magnitude =
                std::max({found.magnitude, std::fabs(piece.x[j]), std::fabs(piece.y[j])});
            const std::size_t i = j - SPEED_CHORD;
            if (piece.usable[i] == 0) return;
            const double dx = piece.x[j] - piece.x[i], dy = piece.y[j] - piece.y[i];
            const double speed = std::sqrt(dx * dx + dy * dy) / static_cast<double>(SPEED_CHORD);
            if (speed > 0 && std::isfinite(speed)) found.push(speed);
        });
    magnitude = speeds.magnitude;
    if (speeds.values.size() >= MOVING_CHORDS_WANTED) {
        const double densest = densest_median(speeds.values);
        if (std::isfinite(densest)) return densest;
    }
    Found moved = gather_from_probes(path, spread, 1, 1,
                                     [](const Piece& piece, std::size_t j, ProbeFinds& found) {
                                         if (piece.usable[j] == 0 || piece.usable[j - 1] == 0)
                                             return;
                                         if (piece.step[j] > 0) found.push(piece.step[j]);
                                     });
    return quantile(moved.values, 0.5);
}

// Noise from the second differences of samples moving at the exposure speed, where a straight
// stretch leaves nothing but noise; the upper quartile is robust to turns yet not pinned to zero
// by a fine encoder step.
template <typename T>
double noise_sigma(const Path<T>& path, const std::vector<Probe>& spread, double step) {
    Found bends = gather_from_probes(
        path, spread, 2, 2, [step](const Piece& piece, std::size_t j, ProbeFinds& found) {
            if (piece.usable[j] == 0 || piece.usable[j - 1] == 0 || piece.usable[j - 2] == 0)
                return;
            const double before = piece.step[j - 1];
            const double after = piece.step[j];
            if (!(before > 0.5 * step && before < 1.5 * step)) return;
            if (!(after > 0.5 * step && after < 1.5 * step)) return;
            const double* x = piece.x.data();
            const double* y = piece.y.data();
            const double dx = (x[j] - x[j - 1]) - (x[j - 1] - x[j - 2]);
            const double dy = (y[j] - y[j - 1]) - (y[j - 1] - y[j - 2]);
            found.push(std::fabs(dx));
            found.push(std::fabs(dy));
        });
    const double sigma = quantile(bends.values, 0.75) * QUARTILE_TO_SIGMA;
    return std::isfinite(sigma) ? sigma : 0.0;
}

// A lagged mirror this close to a line, as a share of the sample step, exposes the line's
// track: where it settles onto a line the line begins, where it turns away the line ends. A
// tenth is the usual ratio of an encoder's step to the sample step.
constexpr double SETTLED_SHARE_OF_STEP = 0.1;

// An encoder step is believed between these shares of the sample step: a finer grid is more
// likely a float's own near far coordinates, and one of half a step or more is a raster laid
// on whole steps. Nearly every step's coordinate differences must be whole multiples of it;
// divisors of the smallest difference are tried for it, largest first.
constexpr double FINEST_ENCODER_SHARE = 0.02;
constexpr double COARSEST_ENCODER_SHARE = 0.5;
constexpr double ENCODER_MULTIPLES_SHARE = 0.99;
constexpr int ENCODER_DIVISORS = 16;
// Differences up to this many sample steps are looked at (jumps take many encoder steps, and
// a float's rounding of the quantum grows with each), and those up to this many times the
// smallest one refine the quantum before the rest are tested against it.
constexpr double ENCODER_DIFFERENCE_STEPS = 2.0;
constexpr double REFINING_MULTIPLES = 4.0;
// How far from a whole multiple a difference may lie, beyond its coordinates' rounding, as a
// share of the quantum.
constexpr double ENCODER_SLACK_SHARE = 2e-3;
constexpr double BLUR_SHARE = 0.125;
constexpr std::size_t ENCODER_PROBES = 32;

// The least-squares quantum of the differences up to `upto`, each taken as the multiple of
// `guess` nearest it.
double refined_quantum(std::span<const double> differences, double guess, double upto) {
    double dm = 0, mm = 0;
    for (const double d : differences) {
        if (!(d <= upto)) continue;
        const double m = std::nearbyint(d / guess);
        dm += d * m;
        mm += m * m;
    }
    return mm > 0 ? dm / mm : guess;
}

// The step an encoder rounds the coordinates to, or zero where they show none. `rounding` is
// how far the coordinates' own type may have moved each of them.
template <typename T>
double encoder_step(const Path<T>& path, const std::vector<Probe>& spread, double step,
                    double rounding) {
    const double longest = ENCODER_DIFFERENCE_STEPS * step;
    // A grid is the recording's own: a few probes spread over it show it as well as all.
    std::vector<Probe> some;
    const std::size_t stride = std::max<std::size_t>(1, spread.size() / ENCODER_PROBES);
    for (std::size_t p = 0; p < spread.size(); p += stride) some.push_back(spread[p]);
    Found found = gather_from_probes(
        path, some, 1, 2, [longest](const Piece& piece, std::size_t j, ProbeFinds& finds) {
            if (piece.usable[j] == 0 || piece.usable[j - 1] == 0) return;
            for (const double d :
                 {std::fabs(piece.x[j] - piece.x[j - 1]), std::fabs(piece.y[j] - piece.y[j - 1])})
                if (d > 0 && d <= longest) finds.push(d);
        });
    const std::span<const double> differences = found.values;
    // Each coordinate is within a quarter of `rounding` of its value, a difference within half.
    const double slack = 0.5 * rounding;
    double smallest = std::numeric_limits<double>::infinity();
    for (const double d : differences)
        if (d > slack) smallest = std::min(smallest, d);
    if (!std::isfinite(smallest)) return 0;
    // Whether nearly all `values` lie within `within` of a whole multiple of `quantum`; a grid
    // that fails is given up at its first miss too many.
    const auto multiples = [](std::span<const double> values, double quantum, double within) {
        const auto allowed = static_cast<std::size_t>((1 - ENCODER_MULTIPLES_SHARE) *
                                                      static_cast<double>(values.size()));
        std::size_t missed = 0;
        for (const double d : values) {
            missed += !(std::fabs(d - std::nearbyint(d / quantum) * quantum) <= within);
            if (missed > allowed) return false;
        }
        return true;
    };
    for (int k = 1; k <= ENCODER_DIVISORS; ++k) {
        const double guess = smallest / k;
        // Multiples of a grid the rounding blurs by more than an eighth of its step would
        // pass for whole ones by chance.
        if (!(guess >= FINEST_ENCODER_SHARE * step && slack <= BLUR_SHARE * guess)) return 0;
        const double quantum = refined_quantum(differences, guess, REFINING_MULTIPLES * smallest);
        if (multiples(differences, quantum, slack + ENCODER_SLACK_SHARE * quantum))
            return quantum <= COARSEST_ENCODER_SHARE * step ? quantum : 0;
    }
    return 0;
}

}  // namespace

template <typename T>
Scales measure_scales(const Path<T>& path, double tolerance) {
    Scales scales;
    const std::vector<Probe> spread = probes(path.size());
    double magnitude = 0;
    scales.step = median_step(path, spread, magnitude);
    if (!(std::isfinite(scales.step) && scales.step > 0)) return scales;
    scales.noise = noise_sigma(path, spread, scales.step);
    // Rounding of the coordinates themselves sets a floor below which no test can resolve.
    const double rounding = magnitude * 4 * std::numeric_limits<T>::epsilon();
    if (std::isfinite(tolerance) && tolerance > 0) {
        scales.tolerance = tolerance;
    } else {
        scales.tolerance = std::max({4 * scales.noise, 0.1 * scales.step, rounding});
    }
    if (!std::isfinite(scales.tolerance)) return scales;
    // Three standard deviations of the mean of the twelve, and of the four, end samples the
    // trim averages.
    const double floor = std::max(0.1 * scales.step, rounding);
    scales.settling_tolerance = std::min(scales.tolerance, std::max(0.6 * scales.noise, floor));
    scales.short_settling_tolerance =
        std::min(scales.tolerance, std::max(1.5 * scales.noise, floor));
    const double encoder = encoder_step(path, spread, scales.step, rounding);
    scales.settled = encoder > 0 ? encoder : SETTLED_SHARE_OF_STEP * scales.step;
    scales.mid_tolerance = 1.5 * scales.tolerance;
    // A chord long enough that a right-angle turn within it bends it well past the tolerance,
    // yet short enough to fit inside the shortest lines.
    const double wanted = std::ceil(6 * scales.mid_tolerance / scales.step);
    scales.window = wanted >= 10 ? 10 : (wanted <= 4 ? 4 : static_cast<std::uint64_t>(wanted));
    const double span = static_cast<double>(scales.window) * scales.step;
    scales.chord_min = 0.5 * span;
    scales.chord_max = 1.6 * span + 4 * scales.noise;
    scales.step_max = 1.6 * scales.step + 4 * scales.noise;
    scales.usable = std::isfinite(scales.tolerance) && std::isfinite(scales.chord_max) &&
                    std::isfinite(scales.chord_min * scales.chord_min) &&
                    std::isfinite(scales.chord_max * scales.chord_max);
    return scales;
}

template Scales measure_scales<float>(const Path<float>&, double);
template Scales measure_scales<double>(const Path<double>&, double);

}  // namespace vorlane::robust
