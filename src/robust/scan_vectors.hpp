// One fitted vector per labelled line: the orthogonal least-squares line through the samples
// that carry an id, its ends, length, angle and the samples' spread about it.
#pragma once

#include <cstdint>
#include <vector>

#include "robust/robust_scanlines.hpp"

namespace vorlane::robust {

// One row of the result; the layout is the record type the boundary hands to NumPy.
struct ScanVector {
    std::int64_t id;     // the line's id (positive)
    std::int64_t first;  // index of the first sample carrying it
    std::int64_t last;   // index of the last sample carrying it
    std::int64_t count;  // samples carrying it, finite or not
    double x0;           // the first finite sample projected onto the fitted line
    double y0;
    double x1;  // the last finite sample projected onto the fitted line
    double y1;
    double length;     // distance between those two projections
    double angle_deg;  // direction of the line in [0, 180); NaN when it has none
    double rms;        // root mean square distance of the finite samples from the line
};

// One row per positive id, in increasing id order; ids <= 0 are skipped. Samples with a NaN or
// infinite coordinate count in `count`, `first` and `last` but are left out of the fit. A line
// with one finite sample, or whose finite samples all coincide, has length 0, angle NaN and
// rms 0; a line without finite samples has NaN in every fitted field. All sums are in double,
// taken about the line's mean, whatever T is. x, y and ids have the same size.
template <typename T, typename Id>
std::vector<ScanVector> scan_vectors(StridedSamples<T> x, StridedSamples<T> y,
                                     StridedSamples<Id> ids);

}  // namespace vorlane::robust
