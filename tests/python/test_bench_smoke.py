"""The benchmark's scan-path generator makes the paths it claims to, and the benchmark runs."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

BENCH = Path(__file__).resolve().parents[2] / "bench"
sys.path.insert(0, str(BENCH))

from island_hatch import Hatch, hatch_vectors  # noqa: E402
from paths import VARIANTS, line_length_ids, make_path  # noqa: E402

N = 120_000  # a little under one layer: lead-in and some 47 lines


def steep_mid_crossings(x: np.ndarray, y: np.ndarray, mid: float, window: int = 50) -> int:
    """Crossings of the height `mid` where the path runs at least ten times steeper than flat."""
    x = x.astype(np.float64)
    y = y.astype(np.float64)
    crossings = np.flatnonzero(np.diff(y > mid))
    crossings = crossings[(crossings >= window) & (crossings < len(y) - window)]
    dy = np.abs(y[crossings + window] - y[crossings - window])
    dx = np.abs(x[crossings + window] - x[crossings - window])
    return int(np.count_nonzero(dy > 10 * dx))


@pytest.mark.parametrize("variant", ["plain", "noisy"])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_path_is_quantised_steep_and_has_its_lines(variant, dtype):
    p = make_path(N, dtype=dtype, variant=variant)
    assert p.x.dtype == dtype and p.y.dtype == dtype and len(p.x) == len(p.y) == N
    step = p.raster.encoder_step
    for axis in (p.x, p.y):
        counts = axis.astype(np.float64) / step
        off = np.abs(counts - np.rint(counts)).max()
        assert off < (1e-6 if dtype == np.float64 else 1e-2), f"{off} steps off the encoder grid"
    assert 40 <= p.lines <= 50
    mid = p.raster.origin[1] + p.raster.line_length / 2
    crossings = steep_mid_crossings(p.x, p.y, mid)
    # The line under way when the path ends may have crossed too.
    assert crossings in (p.lines, p.lines + 1), f"{crossings} steep crossings, {p.lines} lines"


def test_plain_path_has_runs_of_equal_x_and_of_equal_y():
    p = make_path(N)
    same_x = np.mean(p.x[1:] == p.x[:-1])
    same_y = np.mean(p.y[1:] == p.y[:-1])
    assert 0.2 < same_x < 0.8, same_x
    # Dwells and level hops only: a small share, but far more than chance.
    assert 0.001 < same_y < 0.05, same_y


def test_generator_is_deterministic_and_cast_preserves_equal_counts():
    a = make_path(20_000)
    b = make_path(20_000, dtype=np.float32)
    np.testing.assert_array_equal(a.x, make_path(20_000).x)
    np.testing.assert_array_equal(a.x[1:] == a.x[:-1], b.x[1:] == b.x[:-1])


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_annotation_finds_most_lines(dtype):
    vorlane = pytest.importorskip("vorlane")
    p = make_path(N, dtype=dtype)
    found = line_length_ids(vorlane.annotate_scanlines(p.x, p.y), p.raster)
    # The first lines and lines with a noise-made extra corner go unlabelled.
    assert 0.7 * p.lines <= found <= p.lines, f"{found} line-long scanlines for {p.lines} lines"


HATCH_LAYER = 110_000  # one whole layer of the hatch and the start of the next


@pytest.mark.parametrize("angle", [80.0, 45.0, 100.0, 170.0])
def test_hatch_lines_span_the_inset_square_a_spacing_apart(angle):
    h = Hatch(angle=angle)
    v = hatch_vectors(h)
    low, high = np.asarray(h.corner) + h.inset, np.asarray(h.corner) + h.island - h.inset
    ends = v.reshape(-1, 2, 2)
    assert (ends >= low - 1e-9).all() and (ends <= high + 1e-9).all(), "a line leaves the square"
    # Each end lies on the square's edge: the line is clipped there, not short of it.
    on_edge = np.minimum(np.abs(ends - low), np.abs(ends - high)).min(axis=2)
    assert on_edge.max() < 1e-9, f"an end {on_edge.max()} mm inside the square"
    direction = np.degrees(np.arctan2(v[:, 3] - v[:, 1], v[:, 2] - v[:, 0]))
    meander = angle + 180.0 * (np.arange(len(v)) % 2)  # every other line runs back
    np.testing.assert_allclose((direction - meander + 180.0) % 360.0 - 180.0, 0.0, atol=1e-6)
    theta = np.radians(angle)
    offsets = -v[:, 0] * np.sin(theta) + v[:, 1] * np.cos(theta)
    np.testing.assert_allclose(np.diff(offsets), h.hatch_spacing, rtol=1e-9)


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_hatch_path_is_quantised_has_its_lines_jumps_and_contour(dtype):
    p = make_path(HATCH_LAYER, dtype=dtype, variant="hatch")
    h = p.raster
    x, y = p.x.astype(np.float64), p.y.astype(np.float64)
    for axis in (x, y):
        off = np.abs(axis / h.encoder_step - np.rint(axis / h.encoder_step)).max()
        assert off < (1e-6 if dtype == np.float64 else 1e-2), f"{off} steps off the encoder grid"
    vectors = hatch_vectors(h)
    assert len(vectors) // 2 < p.lines < len(vectors), f"{p.lines} of {len(vectors)} lines"
    step = np.hypot(np.diff(x), np.diff(y))
    # Jumps between the lines move three to five times as far a sample as exposure does.
    jumps = np.count_nonzero(step > 2 * h.sample_spacing)
    assert jumps >= len(vectors), f"{jumps} jump samples for {len(vectors)} lines"
    left = (np.abs(x - h.corner[0]) < 1e-6) & (y >= h.corner[1]) & (y <= h.corner[1] + h.island)
    assert np.count_nonzero(left) >= h.island / h.sample_spacing, "no contour along the left edge"


def test_noisy_hatch_jitters_the_same_path_by_micrometres():
    plain = make_path(HATCH_LAYER, variant="hatch")
    noisy = make_path(HATCH_LAYER, variant="hatch-noisy")
    dx = np.abs(noisy.x - plain.x)
    assert dx.max() < 0.008, f"moved {dx.max()} mm"
    assert 0.3 < np.mean(dx > 0) < 0.9, "the noise barely changes an encoder count"
    assert noisy.lines == plain.lines


def test_every_variant_makes_exactly_n_samples():
    for name in VARIANTS:
        p = make_path(3 * HATCH_LAYER + 7, dtype=np.float32, variant=name)
        assert len(p.x) == len(p.y) == 3 * HATCH_LAYER + 7 and p.layers >= 1, name


def test_measure_one_reports_a_configuration():
    pytest.importorskip("vorlane")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run(
        [sys.executable, str(BENCH / "measure_one.py"), "time", "--n=3000", "--calls=1"],
        capture_output=True,
        text=True,
        env=env,
        check=True,
    )
    result = json.loads(done.stdout.splitlines()[-1])
    assert result["n"] == 3000 and result["dtype"] == "float64"
    assert result["call_s"] > 0 and result["floor_s"] > 0
