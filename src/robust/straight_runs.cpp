// The one streaming pass over the samples: tests every chord for speed and bend, follows each
// straight stretch while its heading holds, and gathers its fit sums on the way.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "robust/stages.hpp"
#include "robust/stream_kernels.hpp"

namespace vorlane::robust {
namespace {

// Chord starts handled per block: the converted block (and its window margin) stays in cache.
constexpr std::uint64_t BLOCK = 4096;

template <typename T>
bool contiguous(const Path<T>& path) {
    return path.x.byte_stride == static_cast<std::int64_t>(sizeof(T)) &&
           path.y.byte_stride == static_cast<std::int64_t>(sizeof(T));
}

// A stretch of the path as plain doubles in the block's own buffers, so the tests below run over
// plain arrays whatever the stride or width of the input. Doubles are copied too: one tight
// copying loop draws them from memory faster than the chord test reading them in place does,
// and the later passes over the block then read it from cache.
struct Block {
    std::vector<double> x, y;
    std::vector<std::size_t> unusable;   // local indices of unusable samples
    std::vector<std::uint8_t> straight;  // per chord start: 1 when straight

    // Reads samples [from, to).
    template <typename T>
    void load(const Path<T>& path, std::uint64_t from, std::uint64_t to) {
        const auto m = static_cast<std::size_t>(to - from);
        unusable.clear();
        const bool all_on =
            path.laser_on == nullptr || std::memchr(path.laser_on + from, 0, m) == nullptr;
        const bool in_a_row = contiguous(path);
        // Formed only for a contiguous view, where they lie inside the input.
        const unsigned char* x_bytes = in_a_row ? path.x.data + from * sizeof(T) : nullptr;
        const unsigned char* y_bytes = in_a_row ? path.y.data + from * sizeof(T) : nullptr;
        x.resize(m);
        y.resize(m);
        bool finite = false;
        if (in_a_row) {
            if constexpr (sizeof(T) == sizeof(float))
                finite = read_floats_checked(x_bytes, y_bytes, m, x.data(), y.data());
            else
                finite = read_doubles_checked(x_bytes, y_bytes, m, x.data(), y.data());
        } else {
            for (std::size_t j = 0; j < m; ++j) x[j] = static_cast<double>(path.x[from + j]);
            for (std::size_t j = 0; j < m; ++j) y[j] = static_cast<double>(path.y[from + j]);
            finite = all_finite(x.data(), y.data(), m);
        }
        if (finite && all_on) return;
        // Unusable samples are rare, and only a block that holds one is searched. They are set
        // to zero so that no arithmetic below meets NaN or overflow from them; no chord that
        // spans one is accepted.
        for (std::size_t j = 0; j < m; ++j) {
            if (path.usable(from + j)) continue;
            unusable.push_back(j);
            x[j] = 0.0;
            y[j] = 0.0;
        }
    }

    // Chord j..j+k is straight when every sample in it is usable, its length lies in the speed
    // band and its middle sample sits within the bend tolerance of it.
    void test_chords(const Scales& scales, std::size_t count, const Lookahead& ahead) {
        const auto k = static_cast<std::size_t>(scales.window);
        const ChordLimits limits{k, scales.chord_min * scales.chord_min,
                                 scales.chord_max * scales.chord_max,
                                 scales.mid_tolerance * scales.mid_tolerance};
        straight.resize(count);
        chord_flags(x.data(), y.data(), count, limits, ahead, straight.data());
        for (const std::size_t u : unusable) {
            const std::size_t lo = u >= k ? u - k : 0;
            for (std::size_t j = lo; j <= u && j < count; ++j) straight[j] = 0;
        }
    }

    // First chord start in [from, to) whose sample a window behind the frontier leaves the
    // chord from the origin to the frontier: the heading drifted (a circle is locally straight
    // everywhere). Returns to when none does.
    std::size_t first_drift(std::size_t from, std::size_t to, std::uint64_t base, std::size_t k,
                            double origin_x, double origin_y, double bend2) const {
        // The tested chords lie on one grid of global indices, to keep chunks alike.
        const std::size_t first =
            from +
            static_cast<std::size_t>((DRIFT_EVERY - (base + from) % DRIFT_EVERY) % DRIFT_EVERY);
        const DriftTest test{k, origin_x, origin_y, bend2};
        return robust::first_drift(x.data(), y.data(), first, to, test);
    }
};

// Fit sums of the samples [from, to) of a block.
void accumulate(const Block& block, std::size_t from, std::size_t to, FitSums& sums) {
    accumulate(block.x.data(), block.y.data(), from, to, sums);
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

// Samples [from, to) of a contiguous input, which the next block reads; none of a strided one.
template <typename T>
Lookahead lookahead(const Path<T>& path, std::uint64_t from, std::uint64_t to) {
    if (!contiguous(path) || from >= to) return {};
    return {path.x.data + from * sizeof(T), path.y.data + from * sizeof(T),
            static_cast<std::size_t>(to - from) * sizeof(T), sizeof(T)};
}

// First index in [from, count) whose flag is `value`, count if none.
std::size_t find_flag(const std::uint8_t* flags, std::size_t from, std::size_t count,
                      std::uint8_t value) {
    const void* found = std::memchr(flags + from, value, count - from);
    return found == nullptr ? count : static_cast<const std::uint8_t*>(found) - flags;
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
        block.test_chords(scales, count, lookahead(path, b1 + k, std::min(b1 + k + BLOCK, n)));
        const std::uint8_t* straight = block.straight.data();
        std::size_t j = 0;
        while (j < count) {
            if (straight[j] == 0) {
                follower.close();
                j = find_flag(straight, j, count, 1);
                continue;
            }
            const std::size_t e = find_flag(straight, j, count, 0);
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
