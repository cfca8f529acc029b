// The one streaming pass over the samples: tests every chord for speed and bend, follows each
// straight stretch while its heading holds, and gathers its fit sums on the way.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "robust/stages.hpp"

namespace vorlane::robust {
namespace {

// Chord starts handled per block: the converted block (and its window margin) stays in cache.
constexpr std::uint64_t BLOCK = 4096;

// Values [from, from + count) as doubles. Contiguous input is read in a loop that vectorises;
// any other stride is read one value at a time.
template <typename T>
void read_values(const StridedSamples<T>& values, std::uint64_t from, std::size_t count,
                 double* out) {
    if (values.byte_stride == static_cast<std::int64_t>(sizeof(T))) {
        // One fixed-size copy a value compiles to a plain load, and the loop vectorises; a
        // bulk copy of a variable length would not.
        const unsigned char* start = values.data + from * sizeof(T);
        for (std::size_t j = 0; j < count; ++j) {
            T value;
            std::memcpy(&value, start + j * sizeof(T), sizeof(T));
            out[j] = static_cast<double>(value);
        }
        return;
    }
    for (std::size_t j = 0; j < count; ++j) out[j] = static_cast<double>(values[from + j]);
}

// A stretch of the path converted to double once, so the tests below run over plain arrays
// whatever the stride or width of the input, and vectorise.
struct Block {
    std::vector<double> x, y;
    // Flags are doubles (0 or 1): compilers vectorise a comparison of doubles into doubles but
    // not into integers or bytes.
    std::vector<std::size_t> unusable;  // local indices of unusable samples
    std::vector<double> straight;       // per chord start
    mutable std::vector<double> drifted;

    template <typename T>
    void load(const Path<T>& path, std::uint64_t from, std::uint64_t to) {
        const auto m = static_cast<std::size_t>(to - from);
        x.resize(m);
        y.resize(m);
        unusable.clear();
        read_values(path.x, from, m, x.data());
        read_values(path.y, from, m, y.data());
        // Unusable samples are rare: a vectorised scan finds whether a stretch holds any, and
        // only then is it searched. They are set to zero so that no arithmetic below meets NaN
        // or overflow from them; no chord that spans one is accepted.
        constexpr std::size_t BATCH = 256;
        for (std::size_t b = 0; b < m; b += BATCH) {
            const std::size_t e = std::min(b + BATCH, m);
            std::uint32_t off = 0;
            if (path.laser_on != nullptr)
                for (std::size_t j = b; j < e; ++j) off |= path.laser_on[from + j] == 0 ? 1u : 0u;
            // v - v is zero for finite v and NaN otherwise, so the sum is zero exactly when all
            // are finite; two lanes let it vectorise without reordering either lane.
            const double* xs = x.data();
            const double* ys = y.data();
            std::array<double, 2> lanes{};
            std::size_t j = b;
            for (; j + 2 <= e; j += 2)
                for (std::size_t l = 0; l < 2; ++l)
                    lanes[l] += (xs[j + l] - xs[j + l]) + (ys[j + l] - ys[j + l]);
            for (; j < e; ++j) lanes[0] += (xs[j] - xs[j]) + (ys[j] - ys[j]);
            if (off == 0 && lanes[0] + lanes[1] == 0.0) continue;
            for (std::size_t j = b; j < e; ++j) {
                if (path.usable(from + j)) continue;
                unusable.push_back(j);
                x[j] = 0.0;
                y[j] = 0.0;
            }
        }
    }

    // Chord j..j+k is straight when every sample in it is usable, its length lies in the speed
    // band and its middle sample sits within the bend tolerance of it.
    void test_chords(const Scales& scales, std::size_t count) {
        const auto k = static_cast<std::size_t>(scales.window);
        const std::size_t half = k / 2;
        const double min2 = scales.chord_min * scales.chord_min;
        const double max2 = scales.chord_max * scales.chord_max;
        const double bend2 = scales.mid_tolerance * scales.mid_tolerance;
        straight.resize(count);
        // Local pointers: the compiler cannot otherwise tell the flag stores from the vectors'
        // own pointers, and would not vectorise.
        const double* xs = x.data();
        const double* ys = y.data();
        double* flags = straight.data();
        for (std::size_t j = 0; j < count; ++j) {
            const double dx = xs[j + k] - xs[j];
            const double dy = ys[j + k] - ys[j];
            const double ex = xs[j + half] - xs[j];
            const double ey = ys[j + half] - ys[j];
            const double length2 = dx * dx + dy * dy;
            const double cross = ex * dy - ey * dx;
            const double fast_enough = length2 >= min2 ? 1.0 : 0.0;
            const double slow_enough = length2 <= max2 ? 1.0 : 0.0;
            const double flat = cross * cross <= bend2 * length2 ? 1.0 : 0.0;
            flags[j] = fast_enough * slow_enough * flat;
        }
        for (const std::size_t u : unusable) {
            const std::size_t lo = u >= k ? u - k : 0;
            for (std::size_t j = lo; j <= u && j < count; ++j) straight[j] = 0.0;
        }
    }

    // First chord start in [from, to) whose sample a window behind the frontier leaves the
    // chord from the origin to the frontier: the heading drifted (a circle is locally straight
    // everywhere). Returns to when none does.
    std::size_t first_drift(std::size_t from, std::size_t to, std::uint64_t base, std::size_t k,
                            double origin_x, double origin_y, double bend2) const {
        constexpr std::size_t BATCH = 256;
        constexpr std::uint64_t DRIFT_EVERY = 4;
        const double* xs = x.data();
        const double* ys = y.data();
        // Drift builds up slowly, so every fourth chord (by global index, to keep chunks
        // alike) is tested, a batch at once into flags that vectorise, then searched.
        const std::size_t first =
            from +
            static_cast<std::size_t>((DRIFT_EVERY - (base + from) % DRIFT_EVERY) % DRIFT_EVERY);
        const auto drifted_at = [=](std::size_t j) {
            const double fx = xs[j + k] - origin_x;
            const double fy = ys[j + k] - origin_y;
            const double gx = xs[j] - origin_x;
            const double gy = ys[j] - origin_y;
            const double cross = gx * fy - gy * fx;
            return !(cross * cross <= bend2 * (fx * fx + fy * fy));
        };
        drifted.resize(BATCH);
        double* flags = drifted.data();
        for (std::size_t b = first; b < to; b += BATCH * DRIFT_EVERY) {
            const std::size_t tests = std::min(BATCH, (to - b + DRIFT_EVERY - 1) / DRIFT_EVERY);
            for (std::size_t t = 0; t < tests; ++t) {
                const std::size_t j = b + t * DRIFT_EVERY;
                const double fx = xs[j + k] - origin_x;
                const double fy = ys[j + k] - origin_y;
                const double gx = xs[j] - origin_x;
                const double gy = ys[j] - origin_y;
                const double cross = gx * fy - gy * fx;
                flags[t] = cross * cross <= bend2 * (fx * fx + fy * fy) ? 0.0 : 1.0;
            }
            // A drift shows in two tests running; one alone is noise at one sample.
            for (std::size_t t = 0; t < tests; ++t) {
                if (flags[t] == 0.0) continue;
                const std::size_t j = b + t * DRIFT_EVERY;
                const bool confirmed = t + 1 < tests
                                           ? flags[t + 1] != 0.0
                                           : j + DRIFT_EVERY < to && drifted_at(j + DRIFT_EVERY);
                if (confirmed) return j;
            }
        }
        return to;
    }
};

// Fit sums of the samples [from, to) of a block, in four interleaved lanes so that the
// additions vectorise and overlap without reordering any one lane's sum.
void accumulate(const Block& block, std::size_t from, std::size_t to, FitSums& sums) {
    std::array<double, 4> su{}, sv{}, suu{}, suv{}, svv{};
    const double ox = sums.origin_x, oy = sums.origin_y;
    const double* xs = block.x.data();
    const double* ys = block.y.data();
    std::size_t j = from;
    for (; j + 4 <= to; j += 4) {
        for (std::size_t l = 0; l < 4; ++l) {
            const double u = xs[j + l] - ox;
            const double v = ys[j + l] - oy;
            su[l] += u;
            sv[l] += v;
            suu[l] += u * u;
            suv[l] += u * v;
            svv[l] += v * v;
        }
    }
    for (; j < to; ++j) sums.add(block.x[j], block.y[j]);
    const auto fold = [](const std::array<double, 4>& lanes) {
        return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
    };
    sums.n += static_cast<double>((to - from) - (to - from) % 4);
    sums.su += fold(su);
    sums.sv += fold(sv);
    sums.suu += fold(suu);
    sums.suv += fold(suv);
    sums.svv += fold(svv);
}

// The stretch being followed: it covers samples [first, last chord start + window].
class RunFollower {
  public:
    RunFollower(const Scales& scales, std::vector<Segment>& out)
        : k_(static_cast<std::size_t>(scales.window)),
          bend2_(scales.mid_tolerance * scales.mid_tolerance),
          out_(out) {}

    // Chords [from, to) of the block, whose first sample is global sample base, are straight.
    void follow(const Block& block, std::size_t from, std::size_t to, std::uint64_t base) {
        while (from < to) {
            if (!open_) {
                begin(block, from, base);
                ++from;
                continue;
            }
            const std::size_t stop =
                block.first_drift(from, to, base, k_, origin_x_, origin_y_, bend2_);
            if (stop > from) {
                accumulate(block, from + k_, stop + k_, run_.sums);
                set_last(block, stop - 1 + k_, base);
            }
            if (stop == to) return;
            close();
            from = stop;
        }
    }

    void close() {
        if (!open_) return;
        out_.push_back(run_);
        accumulate_from_ = run_.last + 1;
        open_ = false;
    }

  private:
    void begin(const Block& block, std::size_t j, std::uint64_t base) {
        const std::uint64_t i = base + j;
        // Only the fields the pass fills are reset: stretches start often at turns, and a
        // whole record is large.
        run_.sums = FitSums{};
        origin_x_ = block.x[j];
        origin_y_ = block.y[j];
        // A stretch split by drift shares its first chord with the one before; the shared
        // samples stay with that one, so that every stretch's sums hold exactly its samples.
        const std::uint64_t skip = std::max(i, accumulate_from_) - i;
        const std::size_t start = j + static_cast<std::size_t>(std::min<std::uint64_t>(skip, k_));
        run_.first = base + start;
        run_.first_x = block.x[start];
        run_.first_y = block.y[start];
        run_.sums.origin_x = block.x[start];
        run_.sums.origin_y = block.y[start];
        open_ = true;
        accumulate(block, start, j + k_ + 1, run_.sums);
        set_last(block, j + k_, base);
    }

    void set_last(const Block& block, std::size_t local, std::uint64_t base) {
        run_.last = base + local;
        run_.last_x = block.x[local];
        run_.last_y = block.y[local];
    }

    std::size_t k_;
    double bend2_;
    std::vector<Segment>& out_;
    Segment run_;
    double origin_x_ = 0,
           origin_y_ = 0;  // first sample of the first chord: drift is measured from it
    bool open_ = false;
    std::uint64_t accumulate_from_ = 0;
};

// First index in [from, count) whose flag is `value`, count if none.
std::size_t find_flag(const double* flags, std::size_t from, std::size_t count, double value) {
    return static_cast<std::size_t>(std::find(flags + from, flags + count, value) - flags);
}

}  // namespace

template <typename T>
std::vector<Segment> straight_runs(const Path<T>& path, const Scales& scales, std::uint64_t begin,
                                   std::uint64_t end) {
    std::vector<Segment> runs;
    const std::uint64_t n = path.size();
    const std::uint64_t k = scales.window;
    if (!scales.usable || n <= k) return runs;
    const std::uint64_t chord_end = std::min(end, n - k);
    Block block;
    RunFollower follower(scales, runs);
    for (std::uint64_t b0 = begin; b0 < chord_end; b0 += BLOCK) {
        const std::uint64_t b1 = std::min(b0 + BLOCK, chord_end);
        block.load(path, b0, b1 + k);
        const auto count = static_cast<std::size_t>(b1 - b0);
        block.test_chords(scales, count);
        const double* straight = block.straight.data();
        std::size_t j = 0;
        while (j < count) {
            if (straight[j] == 0.0) {
                follower.close();
                j = find_flag(straight, j, count, 1.0);
                continue;
            }
            const std::size_t e = find_flag(straight, j, count, 0.0);
            follower.follow(block, j, e, b0);
            j = e;
        }
    }
    follower.close();
    return runs;
}

template std::vector<Segment> straight_runs<float>(const Path<float>&, const Scales&, std::uint64_t,
                                                   std::uint64_t);
template std::vector<Segment> straight_runs<double>(const Path<double>&, const Scales&,
                                                    std::uint64_t, std::uint64_t);

}  // namespace vorlane::robust
