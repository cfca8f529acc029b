// Where lines end and begin around skywriting: a lagged mirror leaving a line on a U-turn, and
// the dwell after a jump, which is a line's own delay only when the scanner stopped before it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "robust/stages.hpp"
#include "robust_paths.hpp"

namespace vorlane::testing {
namespace {

constexpr double STEP = 0.01, SPACING = 0.1, LENGTH = 1.0, OVERSHOOT = 0.15;
constexpr int LINES = 16;

// Lines along x, `SPACING` apart, meandering; each is run up to and run on past by OVERSHOOT
// with U-turns between, at scan speed: only the lines themselves carry a truth label.
Recorded skywritten_meander() {
    Recorded path;
    path.sample(-OVERSHOOT, 0.0, -1);
    for (int k = 0; k < LINES; ++k) {
        const double dir = k % 2 == 0 ? 1.0 : -1.0;
        const double y = k * SPACING;
        const double a = k % 2 == 0 ? 0.0 : LENGTH, b = LENGTH - a;
        path.move_to(a, y, STEP, -1);
        path.move_to(b, y, STEP, k + 1);
        path.move_to(b + dir * OVERSHOOT, y, STEP, -1);
        if (k + 1 == LINES) break;
        // A half circle from this overshoot's end to the next run-up's start.
        const double cx = b + dir * OVERSHOOT, cy = y + SPACING / 2;
        for (int piece = 1; piece <= 16; ++piece) {
            const double phi = 3.141592653589793 * piece / 16;
            path.move_to(cx + dir * (SPACING / 2) * std::sin(phi),
                         cy - (SPACING / 2) * std::cos(phi), STEP, -1);
        }
    }
    return path;
}

// The last sample of each id.
std::vector<std::size_t> line_ends(const std::vector<std::int32_t>& ids) {
    std::vector<std::size_t> ends;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (ids[i] <= 0) continue;
        if (static_cast<std::size_t>(ids[i]) > ends.size()) ends.resize(ids[i]);
        ends[ids[i] - 1] = i;
    }
    return ends;
}

// A lagged mirror runs on along the line through the overshoot, then leaves it on the turn:
// each line ends on the line (within a tenth of a step and a half of it), at most a few
// samples before the mirror is a tenth of a step off, not several samples into the turn.
TEST(RobustLineEnds, LaggedLinesEndWhereTheMirrorTurnsAway) {
    for (double sigma : {0.0005, 0.002}) {
        Recorded clean = skywritten_meander();
        clean.add_lag(10.0);
        Recorded noisy = clean;
        noisy.add_noise(sigma, 3);
        const auto ids = label(noisy.x, noisy.y);
        const auto ends = line_ends(ids);
        ASSERT_EQ(ends.size(), static_cast<std::size_t>(LINES)) << "noise " << sigma;
        for (std::size_t line = 0; line + 1 < ends.size(); ++line) {
            const double y = static_cast<double>(line) * SPACING;
            const std::size_t end = ends[line];
            EXPECT_LT(std::fabs(clean.y[end] - y), 0.0015)
                << "line " << line + 1 << " ends off it, noise " << sigma;
            EXPECT_GT(std::fabs(clean.y[end + 5] - y), 0.001)
                << "line " << line + 1 << " ends well before the turn, noise " << sigma;
        }
    }
}

// Without lag, the U-turns leave each overshoot on a half circle whose first samples lie within
// the noise's tolerance of the line: each line must begin and end on its own axis (in the
// run-up or the overshoot, which carry no line) or within 2 um of it, never further into the
// turn (18 ends were before).
TEST(RobustLineEnds, LinesStopShortOfAUTurnAtScanSpeed) {
    for (double sigma : {0.0005, 0.001}) {
        const Recorded clean = skywritten_meander();
        Recorded noisy = clean;
        noisy.add_noise(sigma, 5);
        const auto ids = label(noisy.x, noisy.y);
        ASSERT_EQ(*std::max_element(ids.begin(), ids.end()), LINES) << "noise " << sigma;
        for (std::size_t i = 0; i < ids.size(); ++i) {
            const bool first = ids[i] > 0 && (i == 0 || ids[i - 1] != ids[i]);
            const bool last = ids[i] > 0 && (i + 1 == ids.size() || ids[i + 1] != ids[i]);
            if (!first && !last) continue;
            const double y = static_cast<double>(ids[i] - 1) * SPACING;
            EXPECT_LT(std::fabs(clean.y[i] - y), 0.002)
                << "line " << ids[i] << (first ? " begins" : " ends") << " on the turn, noise "
                << sigma;
        }
    }
}

// One-way lines along x, joined by jumps back at five times the scan speed, each jump followed
// by a dwell of ten samples. With skywriting the scanner runs on past each line and jumps
// without stopping, and runs up to the next one from the dwell; without it, it stops at the
// line's end (its mark delay) and jumps to the next line's start.
Recorded one_way(bool skywriting, int jump_delay = 10) {
    Recorded path;
    const double run = skywriting ? OVERSHOOT : 0.0;
    path.sample(-run, 0.0, -1);
    for (int k = 0; k < LINES; ++k) {
        const double y = k * SPACING;
        path.dwell(jump_delay, skywriting ? -1 : k + 1);
        path.move_to(0.0, y, STEP, -1);
        path.move_to(LENGTH, y, STEP, k + 1);
        if (skywriting) {
            path.move_to(LENGTH + run, y, STEP, -1);
        } else {
            path.dwell(5, k + 1);
        }
        path.move_to(-run, y + SPACING, 5 * STEP, -1);
    }
    return path;
}

TEST(RobustLineEnds, DwellAfterAJumpIsALinesOnlyWhenTheScannerStoppedBeforeIt) {
    // A lag of two samples turns the mirror through rest where a skywriting jump reverses it,
    // and lets it arrive at the next dwell by creeping: neither is a stop.
    const struct {
        bool skywriting;
        double lag;
        bool dwell_labelled;
    } cases[] = {{true, 0.0, false}, {false, 0.0, true}, {true, 2.0, false}, {false, 2.0, true}};
    for (const auto& c : cases) {
        Recorded path = one_way(c.skywriting);
        if (c.lag > 0) path.add_lag(c.lag);
        path.add_noise(0.0005, 7);
        const auto ids = label(path.x, path.y);
        int parked = 0, labelled = 0, jump_labelled = 0;
        for (std::size_t i = 1; i + 1 < path.size(); ++i) {
            const double before = std::hypot(path.x[i] - path.x[i - 1], path.y[i] - path.y[i - 1]);
            const double after = std::hypot(path.x[i + 1] - path.x[i], path.y[i + 1] - path.y[i]);
            if (before > 2 * STEP) jump_labelled += ids[i] > 0 && ids[i - 1] > 0;
            // A parked sample at the left edge, where each line (or its run-up) begins.
            if (before < 0.3 * STEP && after < 0.3 * STEP && path.x[i] < 0.5 * LENGTH) {
                ++parked;
                labelled += ids[i] > 0;
            }
        }
        ASSERT_GT(parked, 4 * (LINES - 1)) << "skywriting " << c.skywriting << ", lag " << c.lag;
        if (c.dwell_labelled) {
            EXPECT_GE(labelled, parked - 2 * LINES)
                << "the jump delays of the lines are theirs, lag " << c.lag;
        } else {
            EXPECT_LE(labelled, 12)
                << "the dwells before run-ups are not the lines', lag " << c.lag;
        }
        EXPECT_EQ(jump_labelled, 0) << "skywriting " << c.skywriting << ", lag " << c.lag;
        EXPECT_EQ(*std::max_element(ids.begin(), ids.end()), LINES)
            << "skywriting " << c.skywriting << ", lag " << c.lag;
    }
}

// Over a delay of tens of samples, noise now and then puts a sample beyond a parked mirror's
// radius; the rest of the delay is still the line's.
TEST(RobustLineEnds, ALoneStraySampleDoesNotEndALinesDelay) {
    Recorded path;
    std::vector<std::size_t> strays;
    for (int k = 0; k < LINES; ++k) {
        const double a = k % 2 == 0 ? 0.0 : LENGTH, b = LENGTH - a;
        if (k == 0) {
            path.sample(a, 0.0, 1);
        } else {
            path.move_to(a, k * SPACING, STEP, -1);
            path.truth.back() = k + 1;
        }
        path.dwell(20, k + 1);
        path.move_to(b, k * SPACING, STEP, k + 1);
        strays.push_back(path.size() + 10);
        path.dwell(40, k + 1);
    }
    path.add_noise(0.0005, 3);
    for (const std::size_t i : strays) path.x[i] += path.x[i] > 0.5 * LENGTH ? 0.008 : -0.008;
    const auto ids = label(path.x, path.y);
    int lost = 0;
    for (const std::size_t stray : strays)
        for (std::size_t i = stray + 1; i < stray + 30; ++i) lost += ids[i] != path.truth[i];
    EXPECT_EQ(lost, 0) << "samples of the delays after a stray one";
}

// One-way lines under a lag of ten samples. With skywriting, the jump back sets off straight
// from the overshoot's end and swings the mirror round on the line's axis within a few samples,
// and arrives at the next run-up's delay creeping back along the axis: no sample of a line
// moves back along it, whether the delay is short or long. Without skywriting, the mirror
// slows through the mark delay before the jump turns it: the delay stays the line's.
TEST(RobustLineEnds, ALaggedLineNeverTakesTheMirrorTurningBackAlongIt) {
    const struct {
        bool skywriting;
        int jump_delay;
    } cases[] = {{true, 10}, {true, 50}, {false, 10}};
    for (const auto [skywriting, jump_delay] : cases) {
        Recorded clean = one_way(skywriting, jump_delay);
        clean.add_lag(10.0);
        Recorded noisy = clean;
        noisy.add_noise(0.0005, 11);
        const auto ids = label(noisy.x, noisy.y);
        const auto ends = line_ends(ids);
        ASSERT_EQ(ends.size(), static_cast<std::size_t>(LINES))
            << "skywriting " << skywriting << ", jump delay " << jump_delay;
        for (std::size_t line = 0; line < ends.size(); ++line) {
            const std::size_t end = ends[line];
            if (skywriting) {
                int coming_back = 0;
                for (std::size_t i = 1; i <= end; ++i)
                    coming_back += ids[i] == ids[end] && clean.x[i] < clean.x[i - 1] - 0.1 * STEP;
                EXPECT_EQ(coming_back, 0)
                    << "line " << line + 1 << " moves back, jump delay " << jump_delay;
            } else {
                // The line's last true sample: the last of its mark delay.
                const auto from_back = std::find(clean.truth.rbegin(), clean.truth.rend(),
                                                 static_cast<std::int32_t>(line + 1)) -
                                       clean.truth.rbegin();
                const std::size_t true_end = clean.size() - 1 - static_cast<std::size_t>(from_back);
                EXPECT_LE(true_end, end + 2) << "line " << line + 1 << " keeps its mark delay";
            }
        }
    }
}

// A recording may begin in a jump: the first sample lies far from the first line's dwell. The
// jump is then followed back to the recording's start and no further.
TEST(RobustLineEnds, AJumpFromTheFirstSampleLeavesTheLinesAsTheyAre) {
    const Recorded lines = one_way(false);
    Recorded path = lines;
    path.x[0] = -3.0;
    path.y[0] = 2.0;
    const auto ids = label(path.x, path.y);
    const auto expected = label(lines.x, lines.y);
    EXPECT_EQ(ids[0], -1);
    EXPECT_TRUE(std::equal(ids.begin() + 1, ids.end(), expected.begin() + 1))
        << "the first line keeps its dwell and the others their ids";
}

// Lines along x broken by a hole: a short mark delay, a jump straight on across the hole, a
// jump delay. With lag the mirror only slows before that jump, as it would for skywriting
// that reverses it; but a jump that carries on the same way left a stop: the delay after the
// hole is the far piece's.
TEST(RobustLineEnds, ADelayAfterAHoleIsTheFarPiecesUnderLag) {
    Recorded path;
    path.sample(0.0, 0.0, -1);
    for (int k = 0; k < LINES; ++k) {
        const double y = k * SPACING;
        path.dwell(20, 2 * k + 1);
        path.move_to(0.5, y, STEP, 2 * k + 1);
        path.dwell(2, 2 * k + 1);
        path.move_to(0.8, y, 5 * STEP, -1);
        path.dwell(20, 2 * k + 2);
        path.move_to(LENGTH + 0.5, y, STEP, 2 * k + 2);
        path.dwell(2, 2 * k + 2);
        path.move_to(0.0, y + SPACING, 5 * STEP, -1);
    }
    path.add_lag(2.0);
    path.add_noise(0.0005, 5);
    const auto ids = label(path.x, path.y);
    int parked = 0, with_the_far_piece = 0;
    for (std::size_t i = 1; i + 10 < path.size(); ++i) {
        const bool at_far_start =
            std::fabs(path.x[i] - 0.8) < 0.002 && std::fabs(path.x[i] - path.x[i - 1]) < 0.3 * STEP;
        if (!at_far_start) continue;
        ++parked;
        with_the_far_piece += ids[i] > 0 && ids[i] == ids[i + 10 + 20];
    }
    ASSERT_GT(parked, 10 * LINES);
    EXPECT_GE(with_the_far_piece, parked - 2 * LINES);
}

// The core's view of a recorded path (which must outlive it) and the scales it measures.
struct Viewed {
    robust::Path<double> view;
    robust::Scales scales;
};
Viewed viewed(const Recorded& path) {
    const robust::Path<double> view{samples_of(path.x), samples_of(path.y), nullptr};
    return {view, robust::measure_scales(view, std::nan(""))};
}

// The stretch of samples [first, last] as the streaming pass hands it on: its fit sums.
robust::Segment stretch(const Recorded& path, std::uint64_t first, std::uint64_t last) {
    robust::Segment segment;
    segment.first = first;
    segment.last = last;
    segment.first_x = path.x[first];
    segment.first_y = path.y[first];
    segment.last_x = path.x[last];
    segment.last_y = path.y[last];
    segment.sums.origin_x = path.x[first];
    segment.sums.origin_y = path.y[first];
    for (std::uint64_t i = first; i <= last; ++i) segment.sums.add(path.x[i], path.y[i]);
    return segment;
}

// Noise of 2 um on a 10 um step splits a line where a chord fails by chance. A short first
// piece runs on along the rest's axis, so it reaches it the way the creeping end of a jump
// does; but it never stops on the way, so it is a piece of the line, not a jump's end.
TEST(RobustLineEnds, AShortPieceOfANoisyLineIsNoJumpsEnd) {
    Recorded path;
    path.sample(0.0, 0.0, 1);
    path.move_to(LENGTH, 0.0, STEP, 1);
    path.add_noise(0.002, 11);
    const auto [view, scales] = viewed(path);
    std::vector<robust::Segment> pieces = {stretch(path, 0, 15), stretch(path, 30, 100)};
    robust::fit_and_trim(view, scales, pieces);
    robust::extend_lines(view, scales, pieces);
    EXPECT_EQ(pieces[0].rejected, nullptr);
    EXPECT_EQ(pieces[0].ramp, robust::JumpRamp::none);
}

// A jump along a line's axis creeps the last of the way into the line's delay; the creep passes
// for a stretch of its own, which is only the jump's end. Its slowest samples are the delay's,
// and the line reaches back over them: the rejected stretch does not bound the line after it.
TEST(RobustLineEnds, ALinesDelayTakesTheCreepOfTheJumpBeforeIt) {
    Recorded path;
    path.sample(-0.5, 0.0, -1);
    path.move_to(-0.03, 0.0, 5 * STEP, -1);
    const std::size_t creep = path.size();
    for (const double x : {-0.02, -0.012, -0.006, -0.003, -0.0015, -0.0007}) path.sample(x, 0, -1);
    const std::size_t delay = path.size();
    path.dwell(30, 1);
    path.move_to(LENGTH, 0.0, STEP, 1);
    path.move_to(0.0, SPACING, 5 * STEP, -1);
    path.dwell(30, 2);
    path.move_to(LENGTH, SPACING, STEP, 2);
    const auto [view, scales] = viewed(path);
    std::vector<robust::Segment> pieces = {stretch(path, creep, delay - 1),
                                           stretch(path, delay + 30, delay + 130)};
    robust::fit_and_trim(view, scales, pieces);
    robust::extend_lines(view, scales, pieces);
    ASSERT_NE(pieces[0].rejected, nullptr);
    EXPECT_STREQ(pieces[0].rejected, "the end of a jump onto the next line");
    EXPECT_EQ(pieces[1].rejected, nullptr);
    EXPECT_LT(pieces[1].first, delay);
    EXPECT_GT(pieces[1].first, creep);
}

// Under lag a jump back along the line just left speeds up from rest on the line's own axis:
// straight, and slower than a jump for tens of samples. Only its speed, gained third after
// third up to more than the exposure's, tells it from a line; a lagged line's own start also
// gains speed from rest, but never beyond the exposure's.
TEST(RobustLineEnds, TheSpeedingStartOfALaggedJumpIsNoLine) {
    Recorded path;
    path.sample(0.0, 0.0, -1);
    path.dwell(30, -1);
    path.move_to(LENGTH, 0.0, STEP, 1);
    path.dwell(10, 1);
    const std::size_t jump = path.size();
    path.move_to(0.0, 0.0, 3 * STEP, -1);
    path.dwell(30, -1);
    path.add_lag(10.0);
    const auto [view, scales] = viewed(path);
    // The line's start from rest, its body, and the jump's first samples once it moves.
    std::vector<robust::Segment> pieces = {stretch(path, 31, 45), stretch(path, 45, jump - 1),
                                           stretch(path, jump + 1, jump + 12)};
    robust::fit_and_trim(view, scales, pieces);
    EXPECT_EQ(pieces[0].ramp, robust::JumpRamp::none);
    EXPECT_EQ(pieces[1].ramp, robust::JumpRamp::none);
    EXPECT_EQ(pieces[2].ramp, robust::JumpRamp::leaving);
}

// A short stretch that runs on at scan speed into a line on the line's own axis is a piece of
// the turn onto it, cut off by the drift test; one beyond a jump across a hole is a short line.
TEST(RobustLineEnds, AShortStretchRunningIntoALineIsAPieceOfItsTurn) {
    Recorded path;
    path.sample(0.0, 0.0, 1);
    path.move_to(0.08, 0.0, STEP, 1);
    const std::size_t piece_end = path.size() - 1;
    path.move_to(LENGTH, 0.0, STEP, 1);
    const std::size_t jump = path.size();
    path.move_to(LENGTH + 0.5, 0.0, 5 * STEP, -1);
    const std::size_t far_piece = path.size();
    path.move_to(LENGTH + 0.58, 0.0, STEP, 2);
    const auto [view, scales] = viewed(path);
    std::vector<robust::Segment> pieces = {stretch(path, 0, piece_end),
                                           stretch(path, piece_end + 1, jump - 1),
                                           stretch(path, far_piece, path.size() - 1)};
    robust::fit_and_trim(view, scales, pieces);
    robust::reject_turn_pieces(view, scales, SPACING, pieces);
    EXPECT_NE(pieces[0].rejected, nullptr);
    EXPECT_EQ(pieces[1].rejected, nullptr);
    EXPECT_EQ(pieces[2].rejected, nullptr);
}

// A lagged jump along a line's own axis slows into it without a stop, in steps a noisy line
// might take: only that they are faster than the line itself runs tells them from it. A line
// that runs faster throughout, dwells at its ends, or slows into its end's delay after a few
// samples keeps all of them.
TEST(RobustLineEnds, TheSlowingEndOfAJumpAlongTheAxisIsCutOffTheLine) {
    Recorded path;
    path.sample(0.0, 0.0, 1);
    path.move_to(LENGTH, 0.0, STEP, 1);
    path.move_to(0.0, SPACING, 5 * STEP, -1);
    const std::size_t approach = path.size();
    double x = 0.0;
    for (const double step : {0.025, 0.022, 0.019, 0.016, 0.013}) {
        x += step;
        path.sample(x, SPACING, -1);
    }
    const std::size_t second = path.size();
    path.move_to(x + LENGTH, SPACING, STEP, 2);
    const std::size_t fast = path.size();
    path.move_to(0.0, 2 * SPACING, 5 * STEP, -1);
    path.move_to(LENGTH, 2 * SPACING, 1.5 * STEP, 3);
    const std::size_t parked = path.size();
    path.move_to(0.0, 3 * SPACING, 5 * STEP, -1);
    path.dwell(50, 4);
    path.move_to(LENGTH, 3 * SPACING, STEP, 4);
    path.dwell(50, 4);
    const std::size_t short_line = path.size();
    path.move_to(0.0, 4 * SPACING, 5 * STEP, -1);
    path.move_to(0.189, 4 * SPACING, 1.05 * STEP, 5);
    path.dwell(50, 5);
    const auto [view, scales] = viewed(path);
    std::vector<robust::Segment> lines = {
        stretch(path, approach, fast - 1), stretch(path, fast + 1, parked - 1),
        stretch(path, parked + 1, short_line - 1), stretch(path, short_line + 1, path.size() - 1)};
    robust::fit_and_trim(view, scales, lines);
    const std::vector<robust::Segment> before = lines;
    robust::trim_jump_ramps(view, scales, lines);
    EXPECT_GE(lines[0].first + 2, second);
    EXPECT_LE(lines[0].first, second);
    EXPECT_EQ(lines[0].last, before[0].last);
    for (std::size_t k = 1; k < lines.size(); ++k) {
        EXPECT_EQ(lines[k].first, before[k].first) << "line " << k;
        EXPECT_EQ(lines[k].last, before[k].last) << "line " << k;
    }
}

// Under lag a short mark delay slows the mirror without stopping it, and a jump on along the
// line's axis speeds it up again: the line ends at the dip, not in the jump's first steps.
TEST(RobustLineEnds, ALineEndsWhereAShortMarkDelaySlowsItMost) {
    Recorded path;
    path.sample(0.0, 0.0, 1);
    path.move_to(LENGTH, 0.0, STEP, 1);
    double x = LENGTH;
    std::size_t dip = 0;
    for (const double step :
         {0.008, 0.006, 0.005, 0.005, 0.006, 0.008, 0.01, 0.011, 0.012, 0.012, 0.012, 0.012}) {
        if (step == 0.005 && dip == 0) dip = path.size();
        x += step;
        path.sample(x, 0.0, -1);
    }
    const auto [view, scales] = viewed(path);
    std::vector<robust::Segment> lines = {stretch(path, 0, path.size() - 1)};
    robust::fit_and_trim(view, scales, lines);
    robust::trim_jump_ramps(view, scales, lines);
    EXPECT_GE(lines[0].last + 2, dip);
    EXPECT_LE(lines[0].last, dip + 2);
    EXPECT_EQ(lines[0].first, 0u);
}

}  // namespace
}  // namespace vorlane::testing
