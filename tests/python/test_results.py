"""End-to-end ids of annotate_scanlines in both widths, against known paths and the model."""

from __future__ import annotations

import numpy as np
import pytest
from conftest import SIX_STEEP_LINES_IDS, six_steep_lines
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from reference_model import annotate_model

import vorlane

WIDTHS = [np.float64, np.float32]


def horizontal_raster():
    x, y = [], []
    for line in range(4):
        xs = [0, 2, 4, 6, 8, 10]
        x += xs if line % 2 == 0 else xs[::-1]
        y += [line] * 6
    return x, y


def triangle_wave():
    wave = [0, 1, 2, 3, 4, 3, 2, 1]
    return list(range(33)), [wave[k % 8] for k in range(33)]


@pytest.mark.parametrize("dtype", WIDTHS)
@pytest.mark.parametrize(
    "path, expected",
    [
        (six_steep_lines(), SIX_STEEP_LINES_IDS),
        (horizontal_raster(), [-1] * 24),
        (triangle_wave(), [-1] * 33),
    ],
    ids=["six-steep-lines", "horizontal-raster", "triangle-wave"],
)
def test_known_paths(path, expected, dtype):
    x, y = (np.asarray(v, dtype=dtype) for v in path)
    ids = vorlane.annotate_scanlines(x, y)
    assert ids.dtype == np.int32
    assert ids.tolist() == expected


@pytest.mark.parametrize("dtype", WIDTHS)
def test_tiny_inputs(dtype):
    for n in (1, 2, 3):
        x = np.arange(n, dtype=dtype)
        assert vorlane.annotate_scanlines(x, x).tolist() == [-1] * n


def zigzag(lines, per_line, spacing, step, noise, rng, dtype):
    """A raster of steep lines, quantised to the encoder step, with optional noise."""
    t = np.linspace(0.0, 1.0, per_line)
    xs, ys = [], []
    for k in range(lines):
        ys.append(t if k % 2 == 0 else t[::-1])
        xs.append(k * spacing + 0.02 * spacing * t)
    x, y = np.concatenate(xs), np.concatenate(ys) * 10.0
    if noise:
        x = x + rng.normal(0.0, noise, x.size)
        y = y + rng.normal(0.0, noise, y.size)
    if step:
        x, y = np.round(x / step) * step, np.round(y / step) * step
    return x.astype(dtype), y.astype(dtype)


special_values = st.sampled_from([np.nan, np.inf, -np.inf, 0.0, -0.0, 1e-300, 1e300, 5e-324])


@st.composite
def paths(draw):
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    dtype = draw(st.sampled_from(WIDTHS))
    x, y = zigzag(
        lines=draw(st.integers(1, 12)),
        per_line=draw(st.integers(2, 40)),
        spacing=draw(st.sampled_from([0.1, 1.0, 1e-6, 1e6])),
        step=draw(st.sampled_from([0.0, 1e-3, 0.05])),
        noise=draw(st.sampled_from([0.0, 1e-3, 0.02])),
        rng=rng,
        dtype=dtype,
    )
    for _ in range(draw(st.integers(0, 4))):
        arr = x if draw(st.booleans()) else y
        with np.errstate(over="ignore"):
            arr[draw(st.integers(0, arr.size - 1))] = draw(special_values)
    if draw(st.booleans()):
        # Long runs of equal x or y, as quantised encoders make them.
        j = draw(st.integers(0, x.size - 1))
        k = min(x.size, j + draw(st.integers(1, 30)))
        (x if draw(st.booleans()) else y)[j:k] = x[j] if draw(st.booleans()) else y[j]
    return x, y


def check_invariants(ids: np.ndarray) -> None:
    assert ((ids == -1) | (ids > 0)).all(), "ids are -1 or positive"
    labelled = ids[ids > 0]
    assert (np.diff(labelled) >= 0).all(), "positive ids never decrease along the path"
    for value in np.unique(labelled):
        where = np.flatnonzero(ids == value)
        assert where[-1] - where[0] + 1 == where.size, f"id {value} is one contiguous range"


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(paths())
def test_generated_paths_match_the_model(path):
    x, y = path
    with np.errstate(all="ignore"):
        ids = vorlane.annotate_scanlines(x, y)
        expected = annotate_model(x, y)
    np.testing.assert_array_equal(ids, expected)
    check_invariants(ids)
    again = vorlane.annotate_scanlines(x, y)
    np.testing.assert_array_equal(again, ids)
    assert again is not ids and not np.shares_memory(again, ids)


@pytest.mark.parametrize("dtype", WIDTHS)
def test_realistic_path_finds_its_lines(dtype):
    rng = np.random.default_rng(7)
    x, y = zigzag(lines=40, per_line=500, spacing=0.1, step=1e-3, noise=0.0, rng=rng, dtype=dtype)
    ids = vorlane.annotate_scanlines(x, y)
    np.testing.assert_array_equal(ids, annotate_model(x, y))
    assert 35 <= ids.max() <= 40
    assert (ids > 0).mean() > 0.9
