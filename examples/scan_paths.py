"""Synthetic laser scan paths shaped like the recordings of a powder bed fusion machine.

Only NumPy is needed, so tests, benchmarks and examples can all build the same inputs.
"""

from __future__ import annotations

import numpy as np

__all__ = ["zigzag_path", "hatch_corners"]


def hatch_corners(
    lines: int,
    hatch_spacing: float = 0.1,
    line_length: float = 10.0,
    lead_in: float = 1.0,
    angle: float = 2.0,
) -> np.ndarray:
    """Corners of the raster as a (k, 2) array: lead-in start, then both ends of every line.

    Line i runs along a direction tilted `angle` degrees off the y axis, alternately up and
    down, and starts `hatch_spacing` to the right of line i - 1. The lead-in approaches the
    first line's start from below and to the left, at 45 degrees.
    """
    if lines < 1:
        raise ValueError("lines must be at least 1")
    theta = np.deg2rad(angle)
    along = np.array([np.sin(theta), np.cos(theta)]) * line_length
    corners = []
    if lead_in > 0:
        corners.append((-lead_in / np.sqrt(2.0), -lead_in / np.sqrt(2.0)))
    for i in range(lines):
        base = np.array([i * hatch_spacing, 0.0])
        bottom, top = base, base + along
        if i % 2 == 0:
            corners.extend([tuple(bottom), tuple(top)])
        else:
            corners.extend([tuple(top), tuple(bottom)])
    return np.asarray(corners, dtype=np.float64)


def zigzag_path(
    lines: int = 50,
    samples_per_line: int = 200,
    hatch_spacing: float = 0.1,
    line_length: float = 10.0,
    step: float = 1e-3,
    noise: float = 0.0,
    lead_in: float = 1.0,
    dtype=np.float64,
    seed: int = 0,
    angle: float = 2.0,
) -> tuple[np.ndarray, np.ndarray]:
    """A zigzag hatch raster sampled at a fixed rate, as (x, y) arrays of `dtype`.

    The laser moves at constant speed, so samples are spaced `line_length / samples_per_line`
    apart along the whole path, the short hops between lines and the lead-in included; a hop
    shorter than that spacing may get no sample of its own. Gaussian noise of standard
    deviation `noise` is added before the coordinates are rounded to the encoder's `step`,
    so long runs of equal x (the lines are steep) and of equal y (the hops are level) appear
    as they do in recorded data. `step=0` turns the rounding off.
    """
    if samples_per_line < 1:
        raise ValueError("samples_per_line must be at least 1")
    corners = hatch_corners(lines, hatch_spacing, line_length, lead_in, angle)
    seg = np.diff(corners, axis=0)
    seg_len = np.hypot(seg[:, 0], seg[:, 1])
    arc = np.concatenate([[0.0], np.cumsum(seg_len)])
    spacing = line_length / samples_per_line
    s = np.arange(0.0, arc[-1] + spacing * 0.5, spacing)
    s = np.minimum(s, arc[-1])
    x = np.interp(s, arc, corners[:, 0])
    y = np.interp(s, arc, corners[:, 1])
    if noise > 0:
        rng = np.random.default_rng(seed)
        x = x + rng.normal(0.0, noise, x.shape)
        y = y + rng.normal(0.0, noise, y.shape)
    if step > 0:
        # Round in float64 first, so that equal encoder counts stay exactly equal after the cast.
        x = np.round(x / step) * step
        y = np.round(y / step) * step
    return np.ascontiguousarray(x, dtype=dtype), np.ascontiguousarray(y, dtype=dtype)
