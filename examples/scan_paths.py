"""Synthetic laser scan paths shaped like the recordings of a powder bed fusion machine.

`zigzag_path` is the steep zigzag raster the examples label, made by `vorlane_tools`'s
recorded-path generator, which makes far more kinds of paths (any angle, islands, skywriting,
servo lag, ...) and their ground truth: see docs/simulate.md.
"""

from __future__ import annotations

import math
import os
import sys

import numpy as np

try:
    from vorlane_tools import Machine, Part, Strategy, simulate_path
except ImportError:
    # Run from a source checkout where only vorlane is installed: the generator is plain Python.
    sys.path.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src"))
    from vorlane_tools import Machine, Part, Strategy, simulate_path

__all__ = ["zigzag_path"]


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

    `lines` lines of `line_length`, tilted `angle` degrees off the y axis, start `hatch_spacing`
    apart along x, alternately down and up, joined by exposed hops along the hatch. The laser
    moves at one speed everywhere, so samples are `line_length / samples_per_line` apart along
    the whole path, the lead-in from its rest `lead_in` up and to the left of the first line
    and the way back to it included. Gaussian noise of standard deviation `noise` is added
    before the coordinates are rounded to the encoder's `step` (0 turns the rounding off), so
    runs of equal x (the lines are steep) and of equal y (the hops are level) appear as they do
    in recorded data.
    """
    if lines < 1:
        raise ValueError("lines must be at least 1")
    if samples_per_line < 1:
        raise ValueError("samples_per_line must be at least 1")
    tilt = math.radians(angle)
    along = np.array([math.sin(tilt), math.cos(tilt)])
    # The planner keeps lines half a spacing inside the part, ends included, so the part
    # reaches that far past the raster; its right side lies further out, beyond any doubt.
    inset = hatch_spacing * math.cos(tilt) / 2.0
    low = -inset * along
    high = (line_length + inset) * along
    left, right = -hatch_spacing / 2.0, (lines - 0.25) * hatch_spacing
    outline = np.array(
        [low + [left, 0.0], low + [right, 0.0], high + [right, 0.0], high + [left, 0.0]]
    )
    top = line_length * along
    rest = (top[0] - lead_in / math.sqrt(2.0), top[1] + lead_in / math.sqrt(2.0))
    speed = line_length / samples_per_line * 100_000.0
    path = simulate_path(
        Part(outline),
        # At 270 - angle degrees the lines run downwards and the raster advances along +x.
        Strategy(
            hatch_spacing=hatch_spacing * math.cos(tilt),
            angle=270.0 - angle,
            connectors=True,
            hatch_inset=inset,
        ),
        Machine(
            scan_speed=speed,
            jump_speed=speed,
            jump_delay=0,
            mark_delay=0,
            corner_delay=0,
            noise=noise,
            quantum=step,
            dtype=dtype,
        ),
        park=rest,
        seed=seed,
    )
    return path.x, path.y
