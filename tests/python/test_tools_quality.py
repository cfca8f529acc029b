"""Labelling quality on recorded layers that no tuning case holds: the lines a user would count."""

from __future__ import annotations

import numpy as np
import pytest

import vorlane
from vorlane_tools import (
    Machine,
    Part,
    RecordedPath,
    Score,
    Strategy,
    robust_scanlines,
    score_labels,
    simulate_path,
)
from vorlane_tools.cases import CASES

# Square parts with a round hole that breaks the lines crossing it in two.
HOLED_SQUARE = Part.rectangle(40.0, 40.0, 8.0, 8.0, holes=[Part.round_hole(44.0, 44.0, 1.5)])
SMALL_HOLED_SQUARE = Part.rectangle(40.0, 40.0, 6.0, 6.0, holes=[Part.round_hole(42.0, 42.0, 1.2)])


def robust_score(path: RecordedPath) -> Score:
    """The robust labelling of a recorded path, scored against its truth."""
    return score_labels(robust_scanlines(path.x, path.y), path.truth)


def phantom_lines(ids: np.ndarray, truth: np.ndarray) -> int:
    """Ids whose samples mostly lie on no true line."""
    labelled = ids > 0
    on_line = np.bincount(ids[labelled], weights=truth[labelled] > 0)[1:]
    sizes = np.bincount(ids[labelled])[1:]
    return int(np.count_nonzero(on_line < sizes / 2))


@pytest.mark.parametrize("seed", [3, 4, 5])
@pytest.mark.parametrize("lag", [30e-6, 100e-6])
def test_lagged_meander_broken_by_a_hole_keeps_the_jump_across_it_out(seed, lag):
    # Each line the hole breaks is left by a jump along the line itself: collinear, so only
    # its speed tells it from the line, and a lagged start must not be followed back over it.
    path = simulate_path(
        (HOLED_SQUARE,),
        Strategy(angle=30.0),
        Machine(lag=lag, noise=0.001, quantum=0.001),
        seed=seed,
    )
    ids = robust_scanlines(path.x, path.y)
    steps = np.hypot(np.diff(path.x), np.diff(path.y))
    exposure_step = np.median(steps[path.truth[1:] > 0])
    same_line = (ids[1:] > 0) & (ids[1:] == ids[:-1])
    assert np.all(steps[same_line] < 2.5 * exposure_step)
    score = score_labels(ids, path.truth)
    assert score.recovered >= 0.98 * score.lines
    assert score.precision >= 0.985


@pytest.mark.parametrize("meander", [True, False])
@pytest.mark.parametrize("angle", [0.0, 47.0, 113.0])
def test_long_laser_delays_stay_with_their_lines(meander, angle):
    # A jump delay of 1 ms parks the mirror at each line's start for 100 samples: one point seen
    # many times, whose mean offset (rounding, a fit a little off at the end) is no settling.
    # The short lines at the corners of a turned square are mostly dwell, so a dwell cut
    # anywhere inside loses them.
    path = simulate_path(
        (Part.rectangle(60.0, 40.0, 10.0, 10.0),),
        Strategy(angle=angle, meander=meander),
        Machine(noise=0.0005, quantum=0.001, jump_delay=100, mark_delay=5),
        layers=2,
        seed=1,
    )
    score = robust_score(path)
    assert score.recovered >= 0.99 * score.lines
    assert score.precision >= 0.995


@pytest.mark.parametrize("angle", [1.0, 60.0])
def test_a_run_ups_dwell_stays_off_the_line(angle):
    # One-way skywriting: the mirror overshoots each line, jumps back at speed (along the line
    # itself at 1 degree) and parks for the jump delay before its run-up. Neither the dwell
    # nor the run-up is the line's, wherever the trim of the line's start happens to stop.
    path = simulate_path(
        (Part.rectangle(60.0, 30.0, 8.0, 8.0),),
        Strategy(angle=angle, meander=False, skywriting=0.1),
        Machine(noise=0.0005, jump_delay=50, mark_delay=0, corner_delay=5),
        seed=7,
    )
    score = robust_score(path)
    assert score.recovered >= 0.98 * score.lines
    assert score.precision >= 0.995


@pytest.mark.parametrize("seed", [3, 4, 5])
def test_a_lagged_jump_along_the_line_stops_before_it_starts(seed):
    # The jump across the hole runs along the line, and with 100 us of lag and a 0.5 ms jump
    # delay the mirror creeps up to the line's start from behind: on the line's axis, slower
    # than exposure, stopping at the start. What reaches that stop is the jump, not the line.
    path = simulate_path(
        (HOLED_SQUARE,),
        Strategy(angle=30.0),
        Machine(lag=100e-6, noise=0.001, quantum=0.001, jump_delay=50),
        seed=seed,
    )
    score = robust_score(path)
    assert score.recovered >= 0.98 * score.lines
    assert score.precision >= 0.98


@pytest.mark.parametrize("angle", [20.0, 162.0])
def test_a_lagged_jump_creeping_into_its_delay_leaves_the_delay_with_the_line(angle):
    # One-way hatching under 50 us of lag: each jump back creeps the last of the way into a
    # 0.5 ms jump delay, so slowly that the dwell drifts by more than its noise. The creep and
    # the delay passed for a short line of their own, or were cut off the line they lead into.
    # Not yet every line: the guard is against losing what is recovered now (84 % before).
    path = simulate_path(
        (Part.rectangle(40.0, 40.0, 6.0, 6.0),),
        Strategy(angle=angle, meander=False),
        Machine(lag=50e-6, noise=0.0005, jump_delay=50, mark_delay=5),
        seed=1,
    )
    score = robust_score(path)
    assert score.recovered >= 0.95 * score.lines
    assert score.precision >= 0.99


def test_a_short_mark_delay_before_a_jump_across_a_hole_is_a_stop():
    # A 2-sample mark delay under 20 us of lag: the mirror only slows before the jump across the
    # hole, then creeps into the jump delay on the far piece's axis. The delay is the far
    # piece's, and the creep is no line of its own.
    path = simulate_path(
        (HOLED_SQUARE,),
        Strategy(angle=21.0, hatch_spacing=0.15),
        Machine(lag=20e-6, noise=0.0, quantum=0.001, jump_delay=50, mark_delay=2),
    )
    score = robust_score(path)
    assert score.recovered >= 0.98 * score.lines
    assert score.precision >= 0.99


@pytest.mark.parametrize("angle", [15.0, 160.0])
def test_the_slowing_end_of_a_lagged_jump_back_is_no_line(angle):
    # One-way hatching under 100 us of lag, jumping back at three times the scan speed: the
    # jump's last tens of samples slow down along a track nearly parallel to the lines, on the
    # next line's axis but slanted off it, and passed for short lines of their own (95 %
    # precision, 83 to 88 % of the lines, before).
    path = simulate_path(
        (Part.rectangle(20.0, 30.0, 4.0, 4.0),),
        Strategy(angle=angle, meander=False),
        Machine(jump_speed=3000.0, lag=100e-6, jump_delay=50, mark_delay=5, dtype=np.float32),
        seed=1,
    )
    score = robust_score(path)
    assert score.recovered >= 0.88 * score.lines
    assert score.precision >= 0.975


@pytest.mark.parametrize("angle", [10.0, 100.0])
def test_the_ends_of_lagged_jumps_back_do_not_set_the_line_spacing(angle):
    # One-way hatching of two small parts under 100 us of lag: the slowing and speeding ends of
    # each jump back run nearly parallel to the lines, between them, and outnumbered the lines'
    # own neighbours, so the spacing came out at 0.09 to 0.1 mm and no line was found.
    path = simulate_path(
        (Part.rectangle(60.0, 54.0, 5.0, 5.0), Part.circle(68.0, 54.5, 2.6)),
        Strategy(hatch_spacing=0.15, angle=angle, meander=False, contours="after"),
        Machine(jump_speed=3000.0, lag=100e-6, noise=0.002, quantum=0.0, mark_delay=5),
        layers=2,
        seed=1,
    )
    ids, info = robust_scanlines(path.x, path.y, return_info=True)
    assert info["line_spacing"] == pytest.approx(0.15, rel=0.02)
    score = score_labels(ids, path.truth)
    assert score.recovered >= 0.95 * score.lines
    assert score.precision >= 0.98


def test_one_way_lines_broken_by_a_hole_keep_their_neighbours_across_the_jumps():
    # One-way hatching under 100 us of lag leaves two ramps between lines; where a hole breaks
    # the rows, the nearest three stretches either side were two ramps and the same row's other
    # piece, and the pieces found no parallel neighbour (69 % of the lines before).
    path = simulate_path(
        (Part.rectangle(75.0, 38.0, 13.0, 11.0, holes=[Part.round_hole(73.0, 37.5, 1.2)]),),
        Strategy(hatch_spacing=0.08, angle=30.0, meander=False, contours="before"),
        Machine(
            jump_speed=3000.0,
            lag=100e-6,
            noise=0.002,
            quantum=0.0,
            mark_delay=50,
            corner_delay=0,
            dtype=np.float32,
        ),
        seed=1,
    )
    score = robust_score(path)
    assert score.recovered >= 0.9 * score.lines
    assert score.precision >= 0.99


@pytest.mark.parametrize("angle", [23.0, 120.0])
def test_a_fast_scan_with_long_delays_measures_its_own_step(angle):
    # 2 mm stripes scanned at 2500 mm/s, with 50-sample jump and mark delays under 1 um of
    # noise: the parked mirror's small steps outnumbered the lines' own, the step came out at a
    # tenth of the scan's, and every line was too fast to be one (none of 161 found before).
    path = simulate_path(
        (Part.rectangle(40.0, 40.0, 6.0, 6.0),),
        Strategy(hatch_spacing=0.15, angle=angle, stripes=2.0),
        Machine(
            scan_speed=2500.0,
            noise=0.001,
            quantum=0.0,
            jump_delay=50,
            mark_delay=50,
            corner_delay=5,
            dtype=np.float32,
        ),
        seed=1,
    )
    ids, info = robust_scanlines(path.x, path.y, return_info=True)
    assert info["sample_step"] == pytest.approx(0.025, rel=0.02)
    score = score_labels(ids, path.truth)
    assert score.recovered >= 0.92 * score.lines
    assert score.precision >= 0.995


@pytest.mark.parametrize("angle", [20.0, 95.0])
def test_a_plainly_skywriting_scanner_parks_before_every_run_up(angle):
    # One-way skywriting over 2 mm islands with a 50-sample jump delay, under 2 um of noise:
    # most jumps leave the mirror at scan speed, but now and then the reversal looks like a
    # stop, and the line took the dwell parked before its run-up (87 to 94 % of the lines at
    # 96 to 98 % precision before).
    path = simulate_path(
        (Part.rectangle(40.0, 40.0, 6.0, 6.0),),
        Strategy(hatch_spacing=0.15, angle=angle, meander=False, skywriting=0.1, islands=2.0),
        Machine(noise=0.002, quantum=0.001, jump_delay=50, mark_delay=0, dtype=np.float32),
        layers=2,
        seed=1,
    )
    score = robust_score(path)
    assert score.recovered >= 0.97 * score.lines
    assert score.precision >= 0.99


@pytest.mark.parametrize("angle", [32.0, 144.0])
def test_a_jump_reversing_a_lagged_mirror_at_scan_speed_left_it_moving(angle):
    # One-way skywriting over 2 mm stripes under 50 us of lag, with no mark delay and a
    # 50-sample jump delay: the jump back reverses the mirror through rest, which looked like a
    # stop, and its long creep into the delay hid the jump from the vote, so the layer counted
    # as one without skywriting and every line took the dwell before its run-up (no line of
    # 475 before).
    path = simulate_path(
        (Part.rectangle(40.0, 40.0, 6.0, 6.0),),
        Strategy(hatch_spacing=0.1, angle=angle, meander=False, skywriting=0.1, stripes=2.0),
        Machine(
            lag=50e-6,
            noise=0.0,
            quantum=0.0,
            jump_delay=50,
            mark_delay=0,
            corner_delay=5,
            dtype=np.float32,
        ),
        seed=1,
    )
    score = robust_score(path)
    assert score.recovered >= 0.35 * score.lines
    assert score.precision >= 0.88


@pytest.mark.parametrize("angle", [20.0, 113.0])
def test_the_speeding_start_of_a_lagged_jump_back_is_no_line(angle):
    # One-way skywriting under 100 us of lag: after each overshoot the mirror turns back along
    # the line it left and speeds up over tens of samples on its axis, straight and parallel to
    # the hatch. Those starts passed for short lines of their own (22 to 25 a layer before,
    # at 97.1 % precision).
    path = simulate_path(
        (Part.rectangle(20.0, 30.0, 4.0, 4.0),),
        Strategy(angle=angle, meander=False, skywriting=0.3),
        Machine(jump_speed=3000.0, lag=100e-6, noise=0.0005, quantum=0.0, jump_delay=10),
        seed=1,
    )
    ids = robust_scanlines(path.x, path.y)
    assert phantom_lines(ids, path.truth) <= 10
    assert score_labels(ids, path.truth).precision >= 0.975


@pytest.mark.parametrize("angle", [50.0, 140.0])
def test_a_lagged_turn_onto_a_line_is_no_line_of_its_own(angle):
    # Exposed connectors between 2 mm islands under 50 us of lag: the mirror comes out of each
    # rounded corner straightening along the line's own axis, and the drift test cuts that
    # piece off the line as a short stretch of its own (30 such ids a layer before, 99.2 %
    # precision).
    path = simulate_path(
        (Part.rectangle(20.0, 30.0, 6.0, 6.0),),
        Strategy(angle=angle, connectors=True, islands=2.0),
        Machine(lag=50e-6, noise=0.0, quantum=0.0, jump_delay=50, mark_delay=50, corner_delay=0),
        seed=1,
    )
    ids = robust_scanlines(path.x, path.y)
    assert phantom_lines(ids, path.truth) <= 5
    assert score_labels(ids, path.truth).precision >= 0.995


def test_a_contour_corner_rounded_into_pieces_still_ends_its_edges():
    # 20 us of lag and no corner delay round the contour's corners into short pieces between
    # its edges; beside the connectors along the boundary, an edge or a piece whose corner hid
    # behind them passed for a hatch line of its own.
    path = simulate_path(
        (Part.rectangle(40.0, 40.0, 10.0, 8.0, holes=[Part.round_hole(43.0, 43.0, 1.2)]),),
        Strategy(angle=139.0, rotation=90.0, connectors=True, contours="after"),
        Machine(
            jump_speed=8000.0,
            lag=20e-6,
            noise=0.0005,
            quantum=0.001,
            jump_delay=50,
            mark_delay=50,
            corner_delay=0,
            dtype=np.float32,
        ),
        layers=2,
        seed=1,
    )
    ids = robust_scanlines(path.x, path.y)
    assert phantom_lines(ids, path.truth) == 0
    assert score_labels(ids, path.truth).recovered >= 0.99 * path.lines


@pytest.mark.parametrize("angle", [60.0, 150.0])
def test_a_lagged_jump_setting_off_from_a_mark_delay_left_a_stop(angle):
    # 2 um of noise lets a line take steps of twice the exposure speed, so under 20 us of lag a
    # jump at three times that speed sets off in steps that passed for scan speed before it: the
    # scanner looked as if it had skywritten, and the jump delay after the hole was cut off the
    # far piece (61 to 69 % of the lines before).
    path = simulate_path(
        (SMALL_HOLED_SQUARE,),
        Strategy(angle=angle, hatch_spacing=0.12),
        Machine(jump_speed=3000.0, lag=20e-6, noise=0.002, jump_delay=50, mark_delay=5),
        seed=1,
    )
    score = robust_score(path)
    assert score.recovered >= 0.85 * score.lines
    assert score.precision >= 0.98


@pytest.mark.parametrize("angle", [20.0, 107.0])
def test_a_lagged_mirror_creeping_up_to_a_lines_start_has_not_reached_it(angle):
    # Under 100 us of lag a 0.5 ms jump delay leaves the mirror short of the far piece's start:
    # it creeps up along the line's own axis through the whole delay. Only where it comes to
    # rest has it reached the line (87 % of the lines at 97.5 % precision before; 96.5 and
    # 97.4 % while the creep up to five microns behind that point still counted as the line's).
    path = simulate_path(
        (SMALL_HOLED_SQUARE,),
        Strategy(angle=angle, hatch_spacing=0.05),
        Machine(lag=100e-6, noise=0.0, quantum=0.001, jump_delay=50, mark_delay=20),
        seed=1,
    )
    score = robust_score(path)
    assert score.recovered >= 0.975 * score.lines
    assert score.precision >= 0.985


@pytest.mark.parametrize("angle", [30.0, 141.0])
def test_a_creep_settled_across_the_line_is_not_yet_on_it(angle):
    # The jump across the hole arrives along the far piece's own axis, so it lies settled
    # across the line all the way in; the start's settling followed it back over the creep and
    # the jump's last tens of samples (97.8 to 97.9 % of the lines before).
    path = simulate_path(
        (HOLED_SQUARE,),
        Strategy(angle=angle, hatch_spacing=0.05),
        Machine(lag=100e-6, noise=0.001, quantum=0.0, jump_delay=50, mark_delay=5, corner_delay=0),
        seed=1,
    )
    score = robust_score(path)
    assert score.recovered >= 0.985 * score.lines
    assert score.precision >= 0.99


@pytest.mark.parametrize("angle", [40.0, 142.0])
def test_a_layer_whose_mark_delays_blur_now_and_then_is_not_skywritten(angle):
    # 2 mm islands hatched 0.05 mm apart, with 2-sample mark delays under 2 um of noise: about
    # one jump in six seems to leave a moving mirror, which made the layer a skywriting one and
    # cost those lines their jump delays (77 to 82 % of the lines before).
    path = simulate_path(
        (Part.rectangle(45.0, 48.0, 6.0, 6.0),),
        Strategy(
            hatch_spacing=0.05,
            angle=angle,
            islands=2.0,
            island_order="serpentine",
            contours="after",
        ),
        Machine(
            jump_speed=8000.0,
            noise=0.002,
            quantum=0.0,
            jump_delay=50,
            mark_delay=2,
            corner_delay=5,
        ),
        layers=2,
        seed=1,
    )
    score = robust_score(path)
    assert score.recovered >= 0.96 * score.lines
    assert score.precision >= 0.995


@pytest.mark.parametrize("angle", [7.0, 73.0])
def test_a_short_mark_delay_blurred_by_noise_is_still_a_stop(angle):
    # 2 mm islands with 2-sample mark delays under 1 um of noise: now and then the two parked
    # samples look like motion, as if the scanner had jumped straight out of its line while
    # skywriting, and the next line lost its jump delay. Skywriting is the scanner's setting:
    # where nearly every jump leaves the mirror at rest, none is taken to leave it moving (162
    # of 163 and 181 of 183 lines before).
    path = simulate_path(
        (Part.rectangle(40.0, 40.0, 6.0, 6.0),),
        Strategy(angle=angle, hatch_spacing=0.12, islands=2.0),
        Machine(noise=0.001, quantum=0.001, jump_delay=10, mark_delay=2, corner_delay=5),
        seed=2,
    )
    score = robust_score(path)
    assert score.recovered == score.lines
    assert score.precision >= 0.995


@pytest.mark.parametrize("angle", [56.0, 150.0])
def test_a_jump_slowing_along_the_lines_axis_is_not_the_line(angle):
    # With no jump delay under 100 us of lag, the jump across the hole slows into the far
    # piece without stopping, along its own axis: straight, and under 2 um of noise slow
    # enough for a line's steps, but faster than the line itself runs (99.2 and 99.3 %
    # precision before).
    path = simulate_path(
        (HOLED_SQUARE,),
        Strategy(angle=angle),
        Machine(lag=100e-6, noise=0.002, jump_delay=0, mark_delay=2, dtype=np.float32),
        seed=1,
    )
    score = robust_score(path)
    assert score.recovered >= 0.98 * score.lines
    assert score.precision >= 0.995


@pytest.mark.parametrize("angle", [30.0, 152.0])
def test_a_line_begins_where_a_jump_along_it_slows_the_most(angle):
    # A 0.1 ms jump delay under 30 us of lag: the jump across the hole slows along the far
    # piece's axis to half the scan speed without stopping, then speeds up with the line. The
    # dip is where the line begins; what comes before it is the jump's (99.4 % precision
    # before).
    path = simulate_path(
        (HOLED_SQUARE,),
        Strategy(angle=angle, hatch_spacing=0.2),
        Machine(lag=30e-6, noise=0.0005, quantum=0.0, jump_delay=10, mark_delay=5),
        seed=1,
    )
    score = robust_score(path)
    assert score.recovered == score.lines
    assert score.precision >= 0.995


@pytest.mark.parametrize("angle", [23.0, 106.0])
def test_long_delays_under_heavy_noise_stay_with_their_lines(angle):
    # 2 um of noise on a 10 um step with 0.5 ms delays at both ends of every line: now and then
    # a sample lies just past the tolerance, or the one a line's extension stops at is far out
    # in its dwell. Neither may end the line there (92 and 96 % of the lines before).
    path = simulate_path(
        (Part.rectangle(40.0, 40.0, 6.0, 6.0),),
        Strategy(angle=angle, hatch_spacing=0.12),
        Machine(noise=0.002, quantum=0.001, jump_delay=50, mark_delay=50, dtype=np.float32),
        layers=2,
        seed=1,
    )
    score = robust_score(path)
    assert score.recovered >= 0.98 * score.lines
    assert score.precision >= 0.995


@pytest.mark.parametrize("name", ["steep-clean", "steep-rounded", "steep-float32"])
def test_a_clean_steep_raster_loses_no_line_the_exact_labelling_finds(name):
    # Where the exact labelling is right, the robust one must find every line it finds.
    path = CASES[name].record(quick=True)
    exact = score_labels(vorlane.annotate_scanlines(path.x, path.y), path.truth)
    robust = robust_score(path)
    assert exact.recovered > 0
    assert robust.recovered >= exact.recovered
    assert robust.precision >= exact.precision


@pytest.mark.parametrize("angle", [40.0, 164.0])
def test_a_short_lagged_line_settles_where_its_own_fit_says(angle):
    # 3 mm islands under 100 us of lag without noise: the lines at an island's corners move at
    # speed for a few tens of samples, settle onto their track over most of them and end in a
    # 0.5 ms mark delay. Fitted whole, such a line leans towards its approach and seems to settle
    # too soon (87 and 93 % of the lines, at 99.0 and 99.5 % precision, before). What is still
    # lost are vectors only a few steps long, which a lagged mirror crosses as a jump into the
    # delay.
    path = simulate_path(
        (Part.rectangle(40.0, 40.0, 9.0, 9.0),),
        Strategy(angle=angle, hatch_spacing=0.12, islands=3.0, rotation=0.0),
        Machine(lag=100e-6, noise=0.0, quantum=0.0, jump_delay=0, mark_delay=50),
        seed=1,
    )
    score = robust_score(path)
    assert score.recovered >= 0.97 * score.lines
    assert score.precision >= 0.995


@pytest.mark.parametrize("seed", [1, 2])
def test_noise_on_a_mirror_parked_before_a_jump_back_is_no_part_of_the_jump(seed):
    # One-way hatching without lag, 2-sample mark delays and 2 um of noise: the step between
    # the parked samples points back along the run half the time, the way the jump to the next
    # line goes. Taken for the jump's first step, it left the mirror moving often enough to call
    # the layer skywritten, and lines lost the jump delays they begin in (84 and 86 % of the
    # lines before).
    path = simulate_path(
        (Part.rectangle(40.0, 40.0, 8.0, 8.0),),
        Strategy(angle=43.0, hatch_spacing=0.1, meander=False),
        Machine(noise=0.002, quantum=0.001, jump_delay=50, mark_delay=2, dtype=np.float32),
        seed=seed,
    )
    score = robust_score(path)
    assert score.recovered >= 0.98 * score.lines
    assert score.precision >= 0.995


@pytest.mark.parametrize("skywriting", [0.1, 0.3])
def test_a_skywriting_u_turns_first_samples_are_not_the_lines(skywriting):
    # Without lag, a U-turn at scan speed leaves the overshoot on a half circle of half the line
    # spacing, whose first samples stay within 2 um of noise's tolerance of the line. They are
    # neither the line nor its overshoot (99.0 and 98.96 % precision before).
    path = simulate_path(
        (Part.rectangle(40.0, 40.0, 8.0, 8.0),),
        Strategy(angle=101.0, hatch_spacing=0.08, skywriting=skywriting, stripes=4.0),
        Machine(noise=0.002, quantum=0.001, jump_delay=10, mark_delay=0),
        seed=1,
    )
    score = robust_score(path)
    assert score.recovered >= 0.98 * score.lines
    assert score.precision >= 0.995


@pytest.mark.parametrize("seed", [4, 7, 8])
def test_with_the_laser_signal_noise_at_a_run_ups_end_is_no_dwell(seed):
    # Skywritten islands under 2 um of noise on a 10 um step: now and then two of a line's first
    # exposed samples lie within the parked radius of each other, which passed for the delay
    # before a run-up and cut the line's start. The laser signal leaves that delay unexposed
    # (172 to 176 of 178 lines before).
    path = simulate_path(
        (Part.rectangle(40.0, 40.0, 6.0, 6.0),),
        Strategy(angle=74.0, hatch_spacing=0.08, skywriting=0.1, islands=3.0),
        Machine(noise=0.002, jump_delay=50, mark_delay=5, corner_delay=5),
        seed=seed,
    )
    ids = robust_scanlines(path.x, path.y, laser_on=path.laser_on)
    score = score_labels(ids, path.truth, laser_on=path.laser_on)
    assert score.recovered >= 0.99 * score.lines
    assert score.precision >= 0.995


@pytest.mark.parametrize("angle", [64.0, 122.0])
def test_a_lagged_mirror_settles_to_the_encoders_step_at_any_sample_rate(angle):
    # At 50 kHz a 1 um encoder step is a twentieth of the 20 um sample step, not the usual
    # tenth: held to a tenth of the step, the lines began while a 100 us lag still held the
    # mirror 1 to 2 um off them (96 and 99 % of the lines, at 98.8 % precision, before).
    path = simulate_path(
        (Part.rectangle(40.0, 40.0, 8.0, 8.0),),
        Strategy(angle=angle, hatch_spacing=0.1),
        Machine(sample_rate=50_000.0, lag=100e-6, noise=0.0005, quantum=0.001),
        seed=1,
    )
    score = robust_score(path)
    assert score.recovered >= 0.98 * score.lines
    assert score.precision >= 0.995


@pytest.mark.parametrize("angle", [7.0, 97.0])
def test_a_run_ups_jump_delay_stays_off_the_line_under_lag(angle):
    # Skywriting with a 0.5 ms jump delay at each run-up's start and 20 us of lag: the run-up
    # lies on the line's axis, so the settling saw the mirror settled all the way back and gave
    # the line the delay parked before its run-up (97 and 97 % of the lines before).
    path = simulate_path(
        (Part.rectangle(40.0, 40.0, 8.0, 8.0),),
        Strategy(angle=angle, hatch_spacing=0.05, skywriting=0.1),
        Machine(jump_speed=3000.0, jump_delay=50, mark_delay=0, lag=20e-6, noise=0.0, quantum=0.0),
        seed=1,
    )
    score = robust_score(path)
    assert score.recovered >= 0.99 * score.lines
    assert score.precision >= 0.995


@pytest.mark.parametrize("islands", [0.0, 5.0])
def test_a_lagged_skywriting_scanner_is_known_by_jumps_that_creep_long(islands):
    # Skywriting of 0.3 mm under 50 us of lag and 1 um of noise, with a 0.5 ms jump delay at
    # each run-up's start: a jump running straight on out of the overshoot creeps into that
    # delay for longer than any single jump is trusted with, so none was counted towards the
    # scanner's setting and the lines took the delays before their run-ups (95 and 90 % of the
    # lines, at 99.45 and 98.84 % precision, before).
    path = simulate_path(
        (Part.rectangle(40.0, 40.0, 10.0, 10.0),),
        Strategy(
            angle=76.0,
            hatch_spacing=0.12,
            skywriting=0.3,
            islands=islands,
            island_order="random",
            rotation=0.0,
        ),
        Machine(jump_speed=3000.0, jump_delay=50, mark_delay=5, lag=50e-6, noise=0.001),
        seed=1,
    )
    score = robust_score(path)
    assert score.recovered >= 0.97 * score.lines
    assert score.precision >= 0.995


@pytest.mark.parametrize("skywriting", [0.1, 0.3])
def test_a_jump_back_under_heavy_lag_is_followed_through_its_whole_creep(skywriting):
    # Under 100 us of lag the mirror takes some forty samples to slow from a jump's speed into
    # the delay at a run-up's start. Looked for only thirty-two samples back, the jump was not
    # found, and some lines took the delay before their run-up (98.3 % of the lines, at 99.70 %
    # precision, before).
    path = simulate_path(
        (Part.rectangle(40.0, 40.0, 8.0, 8.0),),
        Strategy(angle=76.0, hatch_spacing=0.08, skywriting=skywriting),
        Machine(jump_delay=50, mark_delay=0, lag=100e-6, noise=0.0),
        seed=1,
    )
    score = robust_score(path)
    assert score.recovered >= 0.99 * score.lines
    assert score.precision >= 0.998


@pytest.mark.parametrize("angle", [20.0, 78.0])
def test_exposed_connectors_between_one_way_lines_are_no_family(angle):
    # One-way lines in 2 mm stripes joined by exposed connectors: each connector runs back to
    # the next line's start, a degree or two off the one before as the lines' ends follow the
    # stripe's edge, so neighbouring connectors passed for parallel lines at the spacing though
    # they drift apart by many tolerances along their length (99.1 and 99.2 % precision before).
    path = simulate_path(
        (Part.rectangle(40.0, 40.0, 8.0, 8.0),),
        Strategy(angle=angle, hatch_spacing=0.2, meander=False, connectors=True, stripes=2.0),
        Machine(noise=0.0005, quantum=0.001),
        seed=1,
    )
    score = robust_score(path)
    assert score.recovered >= 0.98 * score.lines
    assert score.precision >= 0.995


@pytest.mark.parametrize("angle", [30.0, 141.6])
def test_a_tight_u_turn_loses_the_samples_noise_brings_onto_the_line(angle):
    # Lines 50 um apart joined by skywriting U-turns under 2 um of noise: the turn's second
    # sample lies as far off the line as the tolerance, and noise brings it within half the
    # time (99.70 and 99.68 % precision before).
    path = simulate_path(
        (Part.rectangle(40.0, 40.0, 8.0, 8.0),),
        Strategy(angle=angle, hatch_spacing=0.05, skywriting=0.3),
        Machine(noise=0.002, jump_delay=10, mark_delay=0),
        seed=1,
    )
    score = robust_score(path)
    assert score.recovered >= 0.99 * score.lines
    assert score.precision >= 0.9975


def test_a_lagged_line_under_heavy_noise_waits_out_an_uncertain_settling():
    # One-way lines under 100 us of lag and 2 um of noise: each jump back arrives nearly along
    # the next line, and the small settling it leaves is fitted only roughly. Begun where the
    # fitted size settles, a line took samples still settling as often as it left settled
    # ones (99.69 % precision over these three layers before).
    total = Score(0, 0, 0, 0, 0, 0)
    for seed in (1, 2, 3):
        path = simulate_path(
            (Part.rectangle(40.0, 40.0, 8.0, 8.0),),
            Strategy(angle=176.6, hatch_spacing=0.12, meander=False),
            Machine(jump_speed=8000.0, jump_delay=0, mark_delay=20, lag=100e-6, noise=0.002),
            seed=seed,
        )
        total = total + robust_score(path)
    assert total.recovered >= 0.98 * total.lines
    assert total.precision >= 0.997


@pytest.mark.parametrize("angle", [15.0, 160.0])
def test_a_slow_jump_gathering_speed_after_a_mark_delay_left_a_stop(angle):
    # One-way stripes under 100 us of lag, jumping back at three times scan speed: the lagged
    # mirror creeps through the mark delay, turns, and its ramp passes scan speed on the way to
    # the jump's. Those steps passed for a run the mirror left moving, the arrival was believed
    # of no jump, and the line lost the delay it starts in (95 and 96 % of the lines before).
    path = simulate_path(
        (Part.rectangle(40.0, 40.0, 8.0, 8.0),),
        Strategy(angle=angle, hatch_spacing=0.12, meander=False, stripes=2.0),
        Machine(jump_speed=3000.0, jump_delay=50, mark_delay=20, lag=100e-6, quantum=0.001),
        seed=1,
    )
    score = robust_score(path)
    assert score.recovered >= 0.975 * score.lines


@pytest.mark.parametrize("angle", [30.0, 100.0])
def test_a_lagged_jump_out_of_a_mark_delay_is_not_the_lines(angle):
    # One-way lines that park 50 samples at their ends under 100 us of lag: the jump back sets
    # off slowly, its first samples inside the parked radius, and the line kept one or two of
    # them as its delay (99.41 and 99.49 % precision before).
    path = simulate_path(
        (Part.rectangle(40.0, 40.0, 4.0, 4.0),),
        Strategy(angle=angle, hatch_spacing=0.1, meander=False),
        Machine(
            jump_speed=3000.0, jump_delay=10, mark_delay=50, lag=100e-6, noise=0.0005, quantum=0.001
        ),
        seed=1,
    )
    assert robust_score(path).precision >= 0.998


@pytest.mark.parametrize("angle", [0.0, 37.0])
def test_a_skywriting_scanners_long_creeping_jumps_still_run_up(angle):
    # One-way skywriting in 3 mm islands under 50 us of lag: a slow jump back creeps for more
    # than twelve samples into the delay before the run-up, too long for one jump to be
    # believed alone. Where most jumps show the scanner skywriting throughout, such a jump
    # still leaves a run-up; judged of no jump, the line took the delay (90 and 95 % of the
    # lines, at 98.0 and 98.9 % precision, before).
    path = simulate_path(
        (Part.rectangle(40.0, 40.0, 8.0, 8.0),),
        Strategy(angle=angle, hatch_spacing=0.12, meander=False, skywriting=0.3, islands=3.0),
        Machine(jump_speed=3000.0, jump_delay=50, mark_delay=0, lag=50e-6, noise=0.001),
        seed=1,
    )
    score = robust_score(path)
    assert score.recovered >= 0.99 * score.lines
    assert score.precision >= 0.998


@pytest.mark.parametrize("angle", [60.0, 110.0])
def test_a_jumps_partial_step_beside_a_delay_is_not_the_lines(angle):
    # One-way lines in stripes, without lag: a jump that ends between two samples leaves its
    # last step a few um short of the delay it arrives in, and one that sets off between two
    # leaves its first just past the delay it leaves. Both lie within the parked radius, and
    # the lines took them (99.88 and 99.85 % precision before).
    path = simulate_path(
        (Part.rectangle(40.0, 40.0, 8.0, 8.0),),
        Strategy(angle=angle, hatch_spacing=0.2, meander=False, stripes=2.0),
        Machine(jump_speed=3000.0, jump_delay=50, mark_delay=20, noise=0.0005),
        seed=1,
    )
    assert robust_score(path).precision >= 0.9995


def test_a_lagged_u_turns_tail_is_no_line_beside_the_settled_start():
    # Skywritten meander in 2 mm islands under 100 us of lag: the U-turn's tail straightens out
    # along the next line's axis and passes for a short line of its own. Its start settled,
    # the line lies more than a window of samples past the tail, which was then kept as a line
    # (99.55 % precision before).
    path = simulate_path(
        (Part.rectangle(40.0, 40.0, 8.0, 8.0),),
        Strategy(angle=120.0, hatch_spacing=0.05, skywriting=0.3, islands=2.0),
        Machine(jump_delay=50, mark_delay=0, lag=100e-6, quantum=0.001),
        seed=1,
    )
    assert robust_score(path).precision >= 0.9958


def test_vectors_too_short_to_move_along_are_lines_of_their_own():
    # Meandering stripes parked 50 samples at both ends of every vector: where a stripe's edge
    # cuts a line to a step or two, the vector is a dot of delays between two jumps, and no
    # straight stretch shows it (339 and 337 of 344 and 346 lines before).
    total = Score(0, 0, 0, 0, 0, 0)
    for angle in (122.3, 147.5):
        path = simulate_path(
            (Part.rectangle(40.0, 40.0, 8.0, 8.0),),
            Strategy(angle=angle, hatch_spacing=0.12, stripes=2.0),
            Machine(jump_delay=50, mark_delay=50, noise=0.002, quantum=0.001),
            seed=1,
        )
        total = total + robust_score(path)
    assert total.recovered >= 0.99 * total.lines
    assert total.precision >= 0.999
