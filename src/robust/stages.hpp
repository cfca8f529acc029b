// The stages of the robust labelling, in the order the driver runs them.
#pragma once

#include <cstdint>
#include <vector>

#include "robust/path.hpp"
#include "robust/records.hpp"

namespace vorlane::robust {

// Noise, sample step and the thresholds derived from them, from an evenly spread sample of the
// path; tolerance, when finite and positive, replaces the derived straightness tolerance.
template <typename T>
Scales measure_scales(const Path<T>& path, double tolerance);

// The straight stretches whose chords start in [begin, end): one streaming pass that tests
// each chord for speed and bend, splits where the heading drifts, and gathers the fit sums.
template <typename T>
std::vector<Segment> straight_runs(const Path<T>& path, const Scales& scales, std::uint64_t begin,
                                   std::uint64_t end);

// Joins consecutive stretches that touch and lie on one line: a chord that failed by noise,
// or a chunk seam, split them. The only rule that settles seams.
void merge_collinear(std::vector<Segment>& segments, const Scales& scales);

// Fits each stretch and trims the samples at its ends that turned away from the line.
template <typename T>
void fit_and_trim(const Path<T>& path, const Scales& scales, std::vector<Segment>& segments);

struct FamilyReport {
    double spacing = 0;
    std::vector<double> angles_deg;
};

// Marks as hatch lines the stretches with a parallel neighbour in recording order at about the
// line spacing, and rejects polygon edges; the spacing comes from the stretches themselves.
FamilyReport judge_hatch(std::vector<Segment>& segments, const Scales& scales);

// Extends each hatch line over the samples that continue it: the last of its turn and the
// dwell parked at its ends, never into a neighbouring line's samples.
template <typename T>
void extend_lines(const Path<T>& path, const Scales& scales, std::vector<Segment>& segments);

// Moves each hatch line's start past the samples a lagged mirror spends settling onto it;
// returns the per-sample decay of the settling offset it measured, zero when it found none.
template <typename T>
double settle_line_starts(const Path<T>& path, const Scales& scales,
                          std::vector<Segment>& segments);

// Ends each hatch line where a lagged mirror begins to turn away from it, or to leave the dwell
// it ends in, from a fit of the departure's growth; run only where the starts showed a lag.
template <typename T>
void settle_line_ends(const Path<T>& path, const Scales& scales, std::vector<Segment>& segments);

// Cuts from each hatch line's ends the samples that move faster than the line itself: a jump
// along its own axis, slowing into it or speeding out of it without a stop.
template <typename T>
void trim_jump_ramps(const Path<T>& path, const Scales& scales, std::vector<Segment>& segments);

// Rejects the short stretches that run straight on into a hatch line, or out of it, on its own
// axis: pieces of a lagged turn, once the lines around them are settled.
template <typename T>
void reject_turn_pieces(const Path<T>& path, const Scales& scales, double spacing,
                        std::vector<Segment>& segments);

// Cuts from each hatch line's ends the samples of a turn at scan speed (a skywriting U-turn)
// that lie within the tolerance of the line; run only where no lag rounds the turns.
template <typename T>
void trim_turn_arcs(const Path<T>& path, const Scales& scales, double spacing,
                    std::vector<Segment>& segments);

// Adds, between the hatch lines, the vectors too short to move along: a dot of parked samples
// between two jumps, one spacing off a neighbouring line's axis beside its end.
template <typename T>
void add_dot_lines(const Path<T>& path, const Scales& scales, double spacing,
                   std::vector<Segment>& lines);

}  // namespace vorlane::robust
