"""The recorded-path generator: its ground truth agrees with the planned vectors and the
recording, and the same arguments give the same path."""

from __future__ import annotations

import math
from dataclasses import replace

import numpy as np
import pytest

from vorlane_tools import OVERSHOOT, Machine, Part, Strategy, simulate_path
from vorlane_tools.cases import CASES
from vorlane_tools.simulate import first_order_lag

TOLERANCE = 1e-3 + 1e-9
SQUARE = Part.rectangle(10.0, 20.0, 3.0, 2.0)
EXACT = Machine(noise=0.0, quantum=0.0)


def segment_distance(x, y, vectors, infinite=False):
    x0, y0, x1, y1 = vectors.T
    dx, dy = x1 - x0, y1 - y0
    t = ((x - x0) * dx + (y - y0) * dy) / (dx * dx + dy * dy)
    if not infinite:
        t = np.clip(t, 0.0, 1.0)
    return np.hypot(x - x0 - t * dx, y - y0 - t * dy)


def check_truth(path):
    """Every line sample lies on its planned vector, lines come in recording order, and
    skywriting samples run on along the line before or after them."""
    x, y, truth = path.x.astype(np.float64), path.y.astype(np.float64), path.truth
    # The truth is taken before the cast to float32, which moves samples by up to 8 nm.
    tolerance = TOLERANCE + (1e-5 if path.x.dtype == np.float32 else 0.0)
    assert set(np.unique(truth)) <= {-2, -1} | set(range(1, path.lines + 1))
    on = np.flatnonzero(truth > 0)
    ids = truth[on]
    firsts = np.unique(ids, return_index=True)[1]
    assert (np.diff(ids[np.sort(firsts)]) > 0).all(), "lines appear in recording order"
    far = segment_distance(x[on], y[on], path.vectors[ids - 1])
    worst = int(np.argmax(far))
    assert far[worst] <= tolerance, f"line {ids[worst]}: a sample {far[worst] * 1e3:.4f} um off"
    index = np.arange(len(truth))
    before = np.maximum.accumulate(np.where(truth > 0, index, 0))
    after = np.minimum.accumulate(np.where(truth > 0, index, len(truth) - 1)[::-1])[::-1]
    over = np.flatnonzero(truth == OVERSHOOT)
    # A line that the lagging mirror never settled on has no samples; look one further.
    candidates = [np.maximum(truth[before[over]], 1), np.maximum(truth[after[over]], 1)]
    candidates += [np.minimum(candidates[0] + 1, path.lines), np.maximum(candidates[1] - 1, 1)]
    near = np.min(
        [segment_distance(x[over], y[over], path.vectors[c - 1], True) for c in candidates], axis=0
    )
    assert (near <= tolerance).all(), "an overshoot sample runs along no neighbouring line"


STRATEGIES = {
    "meander-jumps": Strategy(angle=0.0),
    "one-way": Strategy(angle=90.0, meander=False),
    "connectors-contours": Strategy(angle=45.0, connectors=True, contours="after"),
    "skywriting": Strategy(angle=120.0, skywriting=0.2),
    "islands": Strategy(angle=20.0, islands=1.0, island_order="random"),
    "stripes": Strategy(angle=70.0, stripes=1.0, meander=False),
}


@pytest.mark.parametrize("lag", [0.0, 100e-6])
@pytest.mark.parametrize("name", STRATEGIES)
def test_truth_lies_on_the_planned_vectors(name, lag):
    path = simulate_path(SQUARE, STRATEGIES[name], replace(EXACT, lag=lag), layers=2)
    check_truth(path)
    present = np.unique(path.truth[path.truth > 0])
    # With lag, a short line can end before the mirror has settled onto it.
    settled = 0.05 + 10.0 * lag * path.machine.scan_speed
    long_enough = np.hypot(*(path.vectors[:, 2:] - path.vectors[:, :2]).T) > settled
    assert set(np.flatnonzero(long_enough) + 1) <= set(present), "a planned line went missing"
    assert (path.truth == OVERSHOOT).any() == (name == "skywriting")


@pytest.mark.parametrize("name", CASES)
def test_every_case_has_a_sound_truth(name):
    case = CASES[name]
    path = replace(case, machine=replace(case.machine, noise=0.0, quantum=0.0)).record(quick=True)
    assert path.lines > 0
    check_truth(path)


def test_lines_are_straight_and_parallel_within_a_layer():
    strategy = Strategy(angle=10.0, rotation=67.0, islands=1.0)
    path = simulate_path(SQUARE, strategy, EXACT, layers=3)
    dx, dy = (path.vectors[:, 2:] - path.vectors[:, :2]).T
    angle = np.degrees(np.arctan2(dy, dx)) % 180.0
    for layer in range(3):
        base = (10.0 + 67.0 * layer) % 180.0
        turned = np.minimum(abs(angle - base), abs(abs(angle - base) - 90.0))
        found = turned[path.vector_layer == layer]
        assert len(found) and np.minimum(found, 180.0 - found).max() < 1e-9, f"layer {layer}"


def test_hole_breaks_a_line_in_two():
    part = Part.rectangle(0.0, 0.0, 4.0, 2.0, holes=[Part.round_hole(2.0, 1.0, 0.5)])
    path = simulate_path(part, Strategy(angle=0.0), EXACT)
    v = path.vectors
    same_row = np.isclose(v[1:, 1], v[:-1, 1]) & np.isclose(v[1:, 3], v[:-1, 3])
    assert same_row.sum() >= 5, "lines crossing the hole should be cut into two vectors"
    assert len(np.unique(path.truth[path.truth > 0])) == path.lines


def test_no_sliver_shorter_than_a_sample_step_is_planned():
    # The top hatch line crosses this triangle 3 um below its apex, where it is 3 um wide.
    triangle = Part(np.array([[0.0, 0.0], [2.0, 0.0], [1.0, 0.90135]]))
    path = simulate_path(triangle, Strategy(angle=0.0, hatch_inset=0.0), EXACT)
    lengths = np.hypot(*(path.vectors[:, 2:] - path.vectors[:, :2]).T)
    assert lengths.min() >= path.machine.scan_speed / path.machine.sample_rate
    assert np.isclose(path.vectors[:, 1].max(), 0.8), "the lines below it are all planned"
    assert len(np.unique(path.truth[path.truth > 0])) == path.lines


@pytest.mark.parametrize("delay", ["mark_delay", "jump_delay"])
def test_dwell_at_a_line_end_belongs_to_the_line(delay):
    machine = replace(EXACT, **{"jump_delay": 0, "mark_delay": 0, "corner_delay": 0, delay: 25})
    path = simulate_path(SQUARE, Strategy(angle=30.0), machine)
    x, y, truth = path.x, path.y, path.truth
    parked = np.flatnonzero((np.diff(x) == 0) & (np.diff(y) == 0))
    lines = truth[parked][truth[parked] > 0]
    # Every line but the first or last (no jump into it, none out of it) has its dwell.
    assert len(np.unique(lines)) >= path.lines - 1
    end = 2 if delay == "mark_delay" else 0
    for line in np.unique(lines):
        where = np.flatnonzero(truth == line)
        corner = path.vectors[line - 1, end : end + 2]
        run = where[-25:] if delay == "mark_delay" else where[:25]
        np.testing.assert_array_equal(np.column_stack([x[run], y[run]]), np.tile(corner, (25, 1)))
    assert not path.laser_on[truth > 0].all() if delay == "jump_delay" else True


def test_same_arguments_give_the_same_path_and_the_seed_moves_only_the_noise():
    machine = Machine(noise=0.002, quantum=0.001, lag=50e-6)
    a, b = (simulate_path(SQUARE, Strategy(skywriting=0.1), machine, seed=3) for _ in range(2))
    c = simulate_path(SQUARE, Strategy(skywriting=0.1), machine, seed=4)
    for field in ("x", "y", "laser_on", "truth", "vectors"):
        np.testing.assert_array_equal(getattr(a, field), getattr(b, field), err_msg=field)
    np.testing.assert_array_equal(a.truth, c.truth)
    assert (a.x != c.x).mean() > 0.5


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_recording_is_rounded_noisy_and_typed(dtype):
    part = Part.rectangle(140.0, 135.0, 3.0, 3.0)
    clean = simulate_path(part, Strategy(), replace(EXACT, dtype=dtype))
    noisy = simulate_path(part, Strategy(), Machine(noise=0.002, quantum=0.001, dtype=dtype))
    assert noisy.x.dtype == noisy.y.dtype == dtype
    assert noisy.truth.dtype == np.int32 and noisy.laser_on.dtype == bool
    assert len({len(noisy.x), len(noisy.y), len(noisy.truth), len(noisy.laser_on)}) == 1
    counts = noisy.x.astype(np.float64) / 0.001
    assert np.abs(counts - np.rint(counts)).max() < (1e-6 if dtype == np.float64 else 0.01)
    error = (noisy.x.astype(np.float64) - clean.x.astype(np.float64)).std()
    assert math.isclose(error, math.hypot(0.002, 0.001 / math.sqrt(12)), rel_tol=0.05), error
    assert abs(noisy.x.astype(np.float64) - 141.5).max() < 7.0, "the path stays near its part"


def test_moving_the_parts_moves_the_path():
    here = simulate_path(SQUARE, Strategy(angle=25.0, skywriting=0.1), EXACT)
    moved_part = Part(SQUARE.outline + [120.0, 100.0])
    there = simulate_path(moved_part, Strategy(angle=25.0, skywriting=0.1), EXACT)
    np.testing.assert_array_equal(here.truth, there.truth)
    np.testing.assert_allclose(there.x - here.x, 120.0, atol=1e-9)
    np.testing.assert_allclose(there.y - here.y, 100.0, atol=1e-9)


def test_samples_fixes_the_length_and_adds_layers():
    path = simulate_path(SQUARE, Strategy(), Machine(), samples=200_000)
    assert len(path.x) == 200_000
    assert path.vector_layer.max() >= 3


@pytest.mark.parametrize("alpha", [1.0, 0.5, 0.1, 1e-3])
def test_first_order_lag_matches_its_recursion(alpha):
    command = np.cumsum(np.random.default_rng(1).normal(size=20_000)) + 150.0
    expected = np.empty_like(command)
    state = command[0]
    for k, c in enumerate(command):
        state += alpha * (c - state)
        expected[k] = state
    np.testing.assert_allclose(first_order_lag(command, alpha), expected, rtol=0, atol=1e-9)


@pytest.mark.parametrize(
    "arguments",
    [
        {"parts": []},
        {"machine": Machine(scan_speed=0.0)},
        {"machine": Machine(sample_rate=float("nan"))},
        {"machine": Machine(noise=-1.0)},
        {"machine": Machine(dtype=np.int32)},
        {"strategy": Strategy(hatch_spacing=0.0)},
        {"samples": 0},
    ],
    ids=lambda a: next(iter(a)),
)
def test_nonsense_settings_are_refused(arguments):
    arguments = {"parts": SQUARE, **arguments}
    with pytest.raises(ValueError):
        simulate_path(**arguments)
