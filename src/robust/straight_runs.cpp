// The one streaming pass over the samples: tests every chord for speed and bend, follows each
// straight stretch while its heading holds, and gathers its fit sums on the way.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "robust/stages.hpp"

namespace vorlane::robust {
namespace {

// Chord starts handled per block: the converted block (and its window margin) stays in cache.
constexpr std::uint64_t BLOCK = 4096;

// A stretch of the path converted to double once, so the chord tests run over plain arrays
// whatever the stride or width of the input.
struct Block {
    std::vector<double> x, y;
    std::vector<std::uint32_t> next_unusable;  // local index of the first unusable at or after j
    std::vector<std::uint8_t> straight;

    template <typename T>
    void load(const Path<T>& path, std::uint64_t from, std::uint64_t to) {
        const std::size_t m = static_cast<std::size_t>(to - from);
        x.resize(m);
        y.resize(m);
        next_unusable.resize(m + 1);
        next_unusable[m] = static_cast<std::uint32_t>(m);
        for (std::size_t j = 0; j < m; ++j) {
            const double xv = path.x_at(from + j);
            const double yv = path.y_at(from + j);
            // Unusable samples hold zero so that no arithmetic below meets NaN or overflow
            // from them; no chord that spans one is accepted anyway.
            const bool usable = path.usable(from + j);
            x[j] = usable ? xv : 0.0;
            y[j] = usable ? yv : 0.0;
            next_unusable[j] = usable ? 0 : 1;
        }
        for (std::size_t j = m; j-- > 0;)
            next_unusable[j] =
                next_unusable[j] != 0 ? static_cast<std::uint32_t>(j) : next_unusable[j + 1];
    }

    // Chord j..j+k is straight when every sample in it is usable, its length lies in the speed
    // band and its middle sample sits within the bend tolerance of it. Branch-free so that it
    // vectorises.
    void test_chords(const Scales& scales, std::size_t count) {
        const std::size_t k = static_cast<std::size_t>(scales.window);
        const std::size_t half = k / 2;
        const double min2 = scales.chord_min * scales.chord_min;
        const double max2 = scales.chord_max * scales.chord_max;
        const double bend2 = scales.mid_tolerance * scales.mid_tolerance;
        straight.resize(count);
        for (std::size_t j = 0; j < count; ++j) {
            const double dx = x[j + k] - x[j];
            const double dy = y[j + k] - y[j];
            const double ex = x[j + half] - x[j];
            const double ey = y[j + half] - y[j];
            const double length2 = dx * dx + dy * dy;
            const double cross = ex * dy - ey * dx;
            const bool whole = next_unusable[j] > j + k;
            straight[j] = static_cast<std::uint8_t>(whole & (length2 >= min2) & (length2 <= max2) &
                                                    (cross * cross <= bend2 * length2));
        }
    }
};

// The stretch being followed: it covers samples [first, chord start + window].
class RunFollower {
  public:
    RunFollower(const Scales& scales, std::vector<Segment>& out)
        : k_(scales.window), bend2_(scales.mid_tolerance * scales.mid_tolerance), out_(out) {}

    // Chord j of the block (global start i) is straight.
    void extend(const Block& block, std::size_t j, std::uint64_t i) {
        if (open_ && drifted(block, j)) close();
        if (!open_) {
            begin(block, j, i);
            return;
        }
        add(block, j + k_, i + k_);
    }

    void close() {
        if (!open_) return;
        out_.push_back(run_);
        accumulate_from_ = run_.last + 1;
        open_ = false;
    }

  private:
    // The heading drifts when the sample a window behind the frontier leaves the chord from the
    // stretch's first sample to the frontier: a circle is locally straight everywhere.
    bool drifted(const Block& block, std::size_t j) const {
        const double fx = block.x[j + k_] - run_.first_x;
        const double fy = block.y[j + k_] - run_.first_y;
        const double gx = block.x[j] - run_.first_x;
        const double gy = block.y[j] - run_.first_y;
        const double cross = gx * fy - gy * fx;
        return !(cross * cross <= bend2_ * (fx * fx + fy * fy));
    }

    void begin(const Block& block, std::size_t j, std::uint64_t i) {
        run_ = Segment{};
        run_.first = i;
        run_.first_x = block.x[j];
        run_.first_y = block.y[j];
        run_.sums.origin_x = block.x[j];
        run_.sums.origin_y = block.y[j];
        open_ = true;
        // A stretch split by drift shares samples with the one before; each sample's sums
        // belong to one stretch only, so a later join does not count them twice.
        const std::uint64_t from = std::max(i, accumulate_from_);
        for (std::uint64_t g = from; g <= i + k_; ++g) add(block, j + (g - i), g);
    }

    void add(const Block& block, std::size_t local, std::uint64_t global) {
        run_.sums.add(block.x[local], block.y[local]);
        run_.last = global;
        run_.last_x = block.x[local];
        run_.last_y = block.y[local];
    }

    std::uint64_t k_;
    double bend2_;
    std::vector<Segment>& out_;
    Segment run_;
    bool open_ = false;
    std::uint64_t accumulate_from_ = 0;
};

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
        for (std::size_t j = 0; j < count; ++j) {
            if (block.straight[j] != 0)
                follower.extend(block, j, b0 + j);
            else
                follower.close();
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
