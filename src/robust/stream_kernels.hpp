// The inner loops of the streaming pass, written over four-lane vectors and built for AVX2 as
// well as the baseline, the one to run chosen when the module loads. Each lane does the scalar
// arithmetic in the scalar order, so both builds give the same bits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "robust/records.hpp"

namespace vorlane::robust {

// What a chord must satisfy to count as straight; lengths squared.
struct ChordLimits {
    std::size_t window;  // samples a chord spans
    double min2, max2;   // the speed band
    double bend2;        // the middle sample's largest distance from the chord
};

// Floats or doubles [0, count) read contiguously from any address into xs and ys as doubles;
// true when every x and y is finite.
bool read_floats_checked(const unsigned char* x, const unsigned char* y, std::size_t count,
                         double* xs, double* ys) noexcept;
bool read_doubles_checked(const unsigned char* x, const unsigned char* y, std::size_t count,
                          double* xs, double* ys) noexcept;

// True when every xs[j] and ys[j], j < count, is finite.
bool all_finite(const double* xs, const double* ys, std::size_t count) noexcept;

// Samples the pass reads next, asked of memory while the chords before them are tested: the
// read then finds them in cache instead of waiting for memory with nothing else to do. `bytes`
// of each axis from x and y, `width` bytes a sample; none when bytes is zero.
struct Lookahead {
    const unsigned char* x = nullptr;
    const unsigned char* y = nullptr;
    std::size_t bytes = 0;
    std::size_t width = 1;
};

// flags[j] = 1 when chord j..j+window is straight, else 0, for j < count; xs and ys hold
// count + window samples. Prefetches the lookahead on the way, a cache line for every line's
// worth of chords, so that it arrives spread over the loop.
void chord_flags(const double* xs, const double* ys, std::size_t count, const ChordLimits& limits,
                 const Lookahead& ahead, std::uint8_t* flags) noexcept;

// The drift test of a straight stretch: every DRIFT_EVERY-th chord start is tested, from an
// origin (the first sample of the stretch's first chord). Drift builds up slowly, so testing
// every fourth chord suffices; a constant, so that the tested samples lie at fixed offsets.
inline constexpr std::size_t DRIFT_EVERY = 4;
struct DriftTest {
    std::size_t window;
    double origin_x, origin_y;
    double bend2;
};

// The first chord start j = first, first + DRIFT_EVERY, ... below `to` whose sample j lies off the
// chord from the origin to sample j + window (the heading drifted), confirmed by the next test
// below `to`: one alone is noise at one sample. `to` when there is none.
std::size_t first_drift(const double* xs, const double* ys, std::size_t first, std::size_t to,
                        const DriftTest& test) noexcept;

// Adds samples [from, to) to the fit sums in four interleaved lanes, each lane's additions in
// sample order; the lanes fold into the sums after the samples past the last whole group.
void accumulate(const double* xs, const double* ys, std::size_t from, std::size_t to,
                FitSums& sums) noexcept;

}  // namespace vorlane::robust
