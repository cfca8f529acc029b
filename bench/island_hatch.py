"""The hatch paths of the benchmarks: a square island hatched at 80 degrees, its lines joined by
jumps and the island then traced by its contour, as a build planner lays out a layer.

Beside the steep raster of `paths.py` this is the layout a recorded layer more often has: lines
of many lengths, short jumps with settling dwells between them, and a contour whose edges run
along the axes. `paths.make_path` repeats its layer until there are n samples.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

__all__ = ["Hatch", "hatch_template", "hatch_vectors"]


@dataclass(frozen=True)
class Hatch:
    """Layout and machine parameters; lengths in mm, speeds in mm/s, rates in Hz, delays in
    samples. The angle must lie strictly between two axis directions."""

    angle: float = 80.0
    island: float = 10.0  # side of the square
    corner: tuple[float, float] = (40.0, 60.0)  # its lower left corner
    hatch_spacing: float = 0.1
    inset: float = 0.1  # the hatch stays this far inside the contour
    speed: float = 1000.0
    jump_speed: float = 5000.0
    sample_rate: float = 100_000.0
    encoder_step: float = 0.001
    noise: float = 0.0
    jump_delay: int = 10  # parked after every jump
    mark_delay: int = 5  # parked at the end of every exposure
    corner_delay: int = 5  # parked at each corner of the contour
    park_dwell: int = 50
    park_offset: float = 5.0  # the laser parks this far below and left of the island

    @property
    def sample_spacing(self) -> float:
        return self.speed / self.sample_rate

    @property
    def samples_per_line(self) -> int:
        """Samples of the longest hatch line; ids are held to half of it as the raster's are."""
        v = hatch_vectors(self)
        longest = float(np.hypot(v[:, 2] - v[:, 0], v[:, 3] - v[:, 1]).max())
        return math.ceil(longest / self.sample_spacing) + 1


def hatch_vectors(h: Hatch) -> np.ndarray:
    """The hatch lines clipped to the inset square, rows (x0, y0, x1, y1) in exposure order,
    every other line reversed (a meander)."""
    theta = math.radians(h.angle)
    along = np.array([math.cos(theta), math.sin(theta)])
    normal = np.array([-along[1], along[0]])
    if min(abs(along[0]), abs(along[1])) < 1e-9:
        raise ValueError("the hatch angle must not run along an axis")
    low = np.asarray(h.corner, dtype=np.float64) + h.inset
    high = np.asarray(h.corner, dtype=np.float64) + h.island - h.inset
    square = np.array([[low[0], low[1]], [high[0], low[1]], [high[0], high[1]], [low[0], high[1]]])
    reach = square @ normal
    lines = int((reach.max() - reach.min()) // h.hatch_spacing)
    # Half a spacing in from the extreme corners, so that no line only grazes one.
    offset = reach.min() + (np.arange(lines) + 0.5) * h.hatch_spacing
    base = offset[:, None] * normal  # the point of each line nearest the origin
    # Each axis keeps the line between two parameters along it; the square keeps both.
    bounds = [
        np.sort(np.stack([(low[a] - base[:, a]), (high[a] - base[:, a])]) / along[a], axis=0)
        for a in (0, 1)
    ]
    start = np.maximum(bounds[0][0], bounds[1][0])
    stop = np.minimum(bounds[0][1], bounds[1][1])
    # Lines of a sample or two at the corners would be dots, not lines.
    keep = stop - start > 2 * h.sample_spacing
    base, start, stop = base[keep], start[keep], stop[keep]
    backward = np.arange(len(base)) % 2 == 1
    start, stop = np.where(backward, stop, start), np.where(backward, start, stop)
    return np.hstack([base + start[:, None] * along, base + stop[:, None] * along])


class _Recorder:
    """Collects the noise-free samples of a layer, move after move."""

    def __init__(self, park: np.ndarray, dwell: int) -> None:
        self.pieces = [np.repeat(park[None, :], dwell, axis=0)]
        self.position = park
        self.count = dwell

    def move(self, to: np.ndarray, spacing: float) -> None:
        """Samples strictly after the current position up to and including `to`."""
        steps = max(1, math.ceil(float(np.hypot(*(to - self.position))) / spacing))
        t = np.arange(1, steps + 1) / steps
        self._add(self.position + t[:, None] * (to - self.position))
        self.position = to

    def dwell(self, samples: int) -> None:
        self._add(np.repeat(self.position[None, :], samples, axis=0))

    def _add(self, points: np.ndarray) -> None:
        self.pieces.append(points)
        self.count += len(points)


def hatch_template(h: Hatch) -> tuple[np.ndarray, np.ndarray]:
    """Noise-free positions of one layer, and the index just past each hatch line at least half
    as long as the longest (the lines a labelling is counted against)."""
    corner = np.asarray(h.corner, dtype=np.float64)
    park = corner - h.park_offset
    jump = h.jump_speed / h.sample_rate
    vectors = hatch_vectors(h)
    samples = np.ceil(np.hypot(*(vectors[:, 2:] - vectors[:, :2]).T) / h.sample_spacing)
    counted = samples >= samples.max() // 2
    path = _Recorder(park, h.park_dwell)
    line_ends = []
    for (x0, y0, x1, y1), whole in zip(vectors, counted):
        path.move(np.array([x0, y0]), jump)
        path.dwell(h.jump_delay)
        path.move(np.array([x1, y1]), h.sample_spacing)
        if whole:
            line_ends.append(path.count)
        path.dwell(h.mark_delay)
    outline = corner + h.island * np.array([[0.0, 0.0], [1.0, 0.0], [1.0, 1.0], [0.0, 1.0]])
    path.move(outline[0], jump)
    path.dwell(h.jump_delay)
    for k, to in enumerate(np.vstack([outline[1:], outline[:1]])):
        if k:
            path.dwell(h.corner_delay)
        path.move(to, h.sample_spacing)
    path.dwell(h.mark_delay)
    path.move(park, jump)
    return np.concatenate(path.pieces), np.asarray(line_ends)
