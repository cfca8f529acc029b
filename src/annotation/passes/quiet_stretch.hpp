// Quiet stretches of a raster line: runs of samples over which the fused rules provably record
// no turn and merge no y run, found with the vectorised block scan so that the walk can jump
// over them. Used by the walks of fused_pass.cpp only.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

#include "annotation/model/records.hpp"
#include "annotation/model/run_rules.hpp"
#include "annotation/passes/plain_scan.hpp"

namespace vorlane {

// A stretch of samples [start, end) over which the pipeline provably records no turn and
// merges no y run: x stays exactly equal or moves by at least the tolerance, y moves
// strictly in one sense at every sample by a margin that survives the rounding of the run
// means, and no x run is longer than RUN_BOUND. Over such a stretch only the pipeline's
// final state matters, and it depends on the last few x runs alone.
struct Stretch {
    std::uint64_t end = 0;      // first sample after the stretch
    std::uint64_t changes = 0;  // samples in (start, end) where x changes
};

template <typename T>
constexpr T COORDINATE_CAP = std::numeric_limits<T>::max() / T(1e6);  // sums cannot overflow

// Samples scanned per block; every block must hold an x change, so no x run in a stretch
// is longer than two blocks.
constexpr std::uint64_t SCAN_BLOCK = PLAIN_BLOCK;
constexpr std::uint64_t RUN_BOUND = 2 * SCAN_BLOCK;
constexpr std::uint64_t STRETCH_CAP = std::uint64_t(1) << 16;
// Steps walked one by one before the blocks; fewer than a block, so that a run that starts
// in them still ends within the next two blocks.
constexpr std::uint64_t FIRST_STEPS_WALKED = 8;
// Samples that must lie ahead for a skip to be tried. A skip saves a few nanoseconds a sample
// over the walk and costs about ten samples' worth to set up: measured on 100-sample calls, it
// wins from about 16 on (32 and 64 did no better), so that a short call along a line, not only
// a long one, gets the scan.
constexpr std::uint64_t SKIP_MIN_LEFT = 16;

// The smallest y step that beats the worst rounding of two neighbouring run means: a sum of
// L terms in T is off by at most about L u max|y| and the division adds u max|y|; on top,
// room for the tolerance. L <= RUN_BOUND.
template <typename T>
StepLimits<T> step_limits(T sense, T y_start) {
    const T largest_y = T(2) * std::fabs(y_start) + T(1);
    const T unit_roundoff = collapse_tolerance<T> / T(2);
    const T mean_error = T(1.1) * T(RUN_BOUND) * unit_roundoff * largest_y;
    return {sense, largest_y, T(2) * mean_error + T(4) * collapse_tolerance<T>};
}

template <typename T>
inline bool quiet_step(T x_prev, T x_next, T y_prev, T y_next, const StepLimits<T>& limits,
                       bool& same) noexcept {
    same = x_next == x_prev;
    const bool moved = std::fabs(x_next - x_prev) >= collapse_tolerance<T>;
    const bool bounded =
        std::fabs(x_next) <= COORDINATE_CAP<T> && std::fabs(y_next) <= limits.largest_y;
    const bool stepped = limits.sense * (y_next - y_prev) >= limits.smallest_step;
    return (same || moved) && bounded && stepped;
}

// The quiet stretch from `start`, ending by `end` and holding at most `max_changes` x
// changes: whole blocks are checked without branches (the compiler vectorises this), the
// block that fails is walked to its first bad step.
template <typename T>
[[gnu::noinline]] inline Stretch scan_stretch(const CoordinateView<T>& x,
                                              const CoordinateView<T>& y, std::uint64_t start,
                                              std::uint64_t end, std::uint64_t max_changes,
                                              const StepLimits<T>& limits) {
    Stretch s{start + 1, 0};
    // The margin is derived from the first y, so it must be a finite number of sane size.
    if (!(std::fabs(x.at(start)) <= COORDINATE_CAP<T> &&
          std::fabs(y.at(start)) <= COORDINATE_CAP<T>)) {
        return s;
    }
    const std::uint64_t limit = std::min(end, start + STRETCH_CAP);
    std::uint64_t q = start + 1;
    std::uint64_t since_change = 0;
    // One step at a time up to `until`: false at the first bad step or at an x run that
    // grows too long, leaving q there.
    const auto walk = [&](std::uint64_t until) {
        for (; q < until; ++q) {
            bool same;
            if (!quiet_step(x.at(q - 1), x.at(q), y.at(q - 1), y.at(q), limits, same)) return false;
            if (!same) {
                if (s.changes == max_changes) return false;
                ++s.changes;
                since_change = 0;
            } else if (++since_change >= SCAN_BLOCK) {
                return false;
            }
        }
        return true;
    };
    // Most attempts fail within a few steps, so those are walked: a failed attempt then costs
    // no more than the stretch it found, and a long stretch reaches the blocks at once.
    if (walk(std::min(limit, q + FIRST_STEPS_WALKED))) {
        while (q + SCAN_BLOCK <= limit) {
            std::uint64_t changes = 0;
            const bool quiet = quiet_block(x, y, q, COORDINATE_CAP<T>, limits, changes);
            if (!quiet || changes == 0 || s.changes + changes > max_changes) break;
            // The runs that end in this block are bounded by the change it holds; the
            // count of samples since the last change restarts within two blocks.
            s.changes += changes;
            since_change = 0;
            q += SCAN_BLOCK;
        }
        walk(limit);
    }
    s.end = q;
    return s;
}

// The latest `count` samples before `end` (and after `start`) where x changes, newest first.
template <typename T>
inline std::array<std::uint64_t, 4> latest_changes(const CoordinateView<T>& x, std::uint64_t start,
                                                   std::uint64_t end) {
    std::array<std::uint64_t, 4> found{};
    std::size_t count = 0;
    for (std::uint64_t q = end - 1; q > start && count < found.size(); --q) {
        if (!(x.at(q) == x.at(q - 1))) found[count++] = q;
    }
    return found;
}

// The x run [first, end) as its list-A record; its samples are known to share one x.
template <typename T>
XRun<T> x_run_over(const CoordinateView<T>& x, const CoordinateView<T>& y, std::uint64_t first,
                   std::uint64_t end) noexcept {
    XRun<T> run;
    run.open(first, x.at(first), y.at(first));
    for (std::uint64_t q = first + 1; q < end; ++q) run.add(y.at(q));
    return run;
}

}  // namespace vorlane
