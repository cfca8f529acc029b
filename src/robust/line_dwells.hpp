// The dwells at a line's ends and the jumps that arrive at them: which parked samples, and which
// of a lagged mirror's slow creep, a line's start and end take, and where the extension along
// the line's axis must stop.
#pragma once

#include <cstdint>
#include <vector>

#include "robust/path.hpp"
#include "robust/records.hpp"

namespace vorlane::robust {

// Samples, the first included, that make a stop: noise near a step can park three moving
// samples by chance now and then, never five.
inline constexpr std::uint64_t STOP_SAMPLES = 5;

// How many samples after `from`, walking by `step` (+1 or -1) and never past `limit`, stay
// parked where the mirror is at `from`. Judged against the mean of the dwell so far rather
// than sample to sample, so that noise as large as a step still shows a dwell as one point.
template <typename T>
std::uint64_t parked_after(const Path<T>& path, const Scales& scales, std::uint64_t from, int step,
                           std::uint64_t limit);

// How far a parked mirror's samples may lie from their running mean, noise and all.
double parked_radius(const Scales& scales) noexcept;

// How far behind the point where a lagged mirror creeping up to a line's start comes to rest a
// sample of the creep may lie and still count as the line's delay.
double creep_margin(const Scales& scales) noexcept;

// Whether the step into sample `i` is a lagged mirror's creep (or rest).
template <typename T>
bool creeps_into(const Path<T>& path, const Scales& scales, std::uint64_t i);

// Cuts what the extension took beyond a stop near either end of a line. A line runs at
// exposure speed and may begin or end in a dwell, but never passes through one: samples that
// reach a dwell on the line's own axis from before it are a jump arriving there with lag (or,
// after it, leaving), which the extension along the axis cannot tell from the line. Only the
// `added_front` and `added_back` samples the extension took are looked through.
template <typename T>
void cut_at_stops(const Path<T>& path, const Scales& scales, Segment& line,
                  std::uint64_t added_front, std::uint64_t added_back);

// How a recording's scanner leaves its hatch lines, judged from the jumps to them over all the
// lines before any is extended: whether it skywrites, and whether most of its jumps leave the
// mirror moving, so plainly that one which seems to leave it at rest is a lagged reversal too.
struct Skywriting {
    bool used = false;
    bool throughout = false;
};

// Settles a line's ends over the dwell parked where they lie. A parked mirror is one point seen
// many times, so the mean of its samples shows that point's own offset (its rounding to the
// encoder step, a fit a little off at the line's end) and not a settling, and the trim of the
// ends may stop anywhere inside a long laser delay. A dwell at a line's end is the line's. One
// at its start is the line's when a jump from a mirror at rest arrives there; after a jump that
// left the mirror moving (skywriting), what follows the dwell is a run-up that cannot be told
// from the line, and the dwell lies before it: none of it is the line's. Where a lagged
// arrival creeps onto the line, the settling of the starts finishes the work.
template <typename T>
void settle_dwell(const Path<T>& path, const Scales& scales, Segment& line, std::uint64_t floor,
                  std::uint64_t ceiling, const Skywriting& skywriting);

// The recording's Skywriting, from an evenly spread share of its lines' jumps.
template <typename T>
Skywriting skywriting_of(const Path<T>& path, const Scales& scales,
                         const std::vector<Segment>& segments);

// Moves a line's start past a lagged mirror's creep up to it from behind. A jump along the
// line's own axis leaves the mirror short of the start, and it creeps up through the delay: it
// has not reached the line until it comes to rest there. The rest is where the delay moves
// least, late in it (the line then sets off); the samples before it that lie behind that point
// by more than the settling tolerance, or three noise deviations, are the jump's. `moving_from`
// is the line's first sample at speed.
template <typename T>
void drop_creep_behind_start(const Path<T>& path, const Scales& scales, Segment& line,
                             std::uint64_t moving_from);

}  // namespace vorlane::robust
