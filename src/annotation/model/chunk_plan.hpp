// Where the chunked stages cut their input: from which input lengths a stage is chunked, and
// the even ranges it is cut into. A stage's records depend on its cuts, so every form that
// stands for the chunked stages cuts by this plan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorlane {

// Stage input lengths from which the driver takes the chunked form (with 2 threads or more).
inline constexpr std::uint64_t PARALLEL_X_MIN_SAMPLES = 500000;
inline constexpr std::uint64_t PARALLEL_Y_MIN_RECORDS = 250000;

// Indices [start, end) of samples, or of records of a list.
struct SampleRange {
    std::uint64_t start;
    std::uint64_t end;  // exclusive

    bool operator==(const SampleRange&) const = default;
};

// Ranges of length ceil(n / p), the last one shorter; at most p, all non-empty. None for
// n = 0; p = 0 counts as 1.
std::vector<SampleRange> make_chunk_ranges(std::uint64_t n, std::uint64_t p);

// The chunked x stage runs when x_threads >= 2 and n >= x_min_samples, the chunked y stage
// when y_threads >= 2 and list A has at least y_min_records records, the sequential forms
// otherwise. The driver fills both thread counts from the one pool size; tests lower the
// thresholds so that short paths have seams.
struct ChunkPlan {
    std::uint64_t x_threads = 1;
    std::uint64_t y_threads = 1;
    std::uint64_t x_min_samples = PARALLEL_X_MIN_SAMPLES;
    std::uint64_t y_min_records = PARALLEL_Y_MIN_RECORDS;
    // Records of B kept from each chunk's start for the seams; a seam that needs more (a long
    // chain of records fusing across it, or of steps that keep the previous direction) makes
    // a chunked pass decline.
    std::size_t head = 32;

    bool chunks_x(std::uint64_t n) const noexcept { return x_threads >= 2 && n >= x_min_samples; }
    bool chunks_y(std::uint64_t m) const noexcept { return y_threads >= 2 && m >= y_min_records; }
};

}  // namespace vorlane
