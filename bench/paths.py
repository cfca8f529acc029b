"""Scan paths for the benchmarks, shaped like a scanner's encoder recording of a hatched layer.

Each layer of the raster parks the laser, jumps to the field and exposes a raster of steep
hatch lines, hopping along the hatch normal between lines; the hatch paths (`island_hatch.py`)
expose a square island at 80 degrees with jumps between lines, then its contour. The positions
are sampled at a fixed rate, get Gaussian noise and are rounded to the encoder step, so runs of
equal x (steep lines) and of equal y (level hops, dwells) occur as in recorded data. Layers
repeat until n samples exist.
"""

from __future__ import annotations

import argparse
import math
from dataclasses import dataclass
from pathlib import Path

import numpy as np
from island_hatch import Hatch, hatch_template

__all__ = [
    "Hatch",
    "Raster",
    "ScanPath",
    "VARIANTS",
    "make_path",
    "line_length_ids",
    "write_path_file",
    "read_path_file",
]


@dataclass(frozen=True)
class Raster:
    """Machine and strategy parameters; lengths in mm, rates in Hz."""

    hatch_spacing: float = 0.1
    line_length: float = 20.0
    # Alternating layer by layer; both steep, so x advances under one encoder step per sample.
    hatch_angles: tuple[float, ...] = (86.0, 94.0)
    speed: float = 800.0
    jump_speed: float = 4000.0
    sample_rate: float = 100_000.0
    encoder_step: float = 0.001
    noise: float = 0.0002
    corner_dwell: int = 6
    park_dwell: int = 300
    lines_per_layer: int = 200
    origin: tuple[float, float] = (40.0, 60.0)
    park: tuple[float, float] = (30.0, 50.0)

    @property
    def sample_spacing(self) -> float:
        return self.speed / self.sample_rate

    @property
    def samples_per_line(self) -> int:
        return round(self.line_length / self.sample_spacing) + 1


# The noisy forms jitter by a whole encoder step, so the level hops and the dwells turn back and
# forth. The raster's two keep their names and parameters: their figures are compared across
# versions.
VARIANTS: dict[str, Raster | Hatch] = {
    "plain": Raster(),
    "noisy": Raster(noise=0.001),
    "hatch": Hatch(),
    "hatch-noisy": Hatch(noise=0.001),
}


@dataclass
class ScanPath:
    x: np.ndarray
    y: np.ndarray
    raster: Raster | Hatch
    # Hatch lines exposed completely within the n samples; of a hatch, those at least half as
    # long as its longest.
    lines: int
    layers: int  # layers begun within the n samples


def _segment(p: np.ndarray, q: np.ndarray, spacing: float) -> np.ndarray:
    """Samples strictly after p up to and including q, at most `spacing` apart."""
    steps = max(1, math.ceil(float(np.hypot(*(q - p))) / spacing))
    t = np.arange(1, steps + 1) / steps
    return p + t[:, None] * (q - p)


def _layer_template(r: Raster, angle: float) -> tuple[np.ndarray, np.ndarray]:
    """Noise-free positions of one layer, and the index just past each completed line."""
    theta = math.radians(angle)
    along = np.array([math.cos(theta), math.sin(theta)]) * r.line_length
    across = np.array([math.sin(theta), -math.cos(theta)]) * r.hatch_spacing
    origin = np.asarray(r.origin)
    park = np.asarray(r.park)
    jump = r.jump_speed / r.sample_rate
    u = np.linspace(0.0, 1.0, r.samples_per_line)[:, None]

    pieces = [np.repeat(park[None, :], r.park_dwell, axis=0)]
    position = park
    line_ends = []
    count = r.park_dwell
    for k in range(r.lines_per_layer):
        start = origin + k * across
        a, b = (start, start + along) if k % 2 == 0 else (start + along, start)
        # Lead-in jump for the first line, a hop along the hatch normal for the others.
        approach = _segment(position, a, jump if k == 0 else r.sample_spacing)[:-1]
        line = a + u * (b - a)
        dwell = np.repeat(b[None, :], r.corner_dwell, axis=0)
        pieces += [approach, line, dwell]
        count += len(approach) + len(line)
        line_ends.append(count)
        count += len(dwell)
        position = b
    pieces.append(_segment(position, park, jump))
    points = np.concatenate(pieces)
    return points, np.asarray(line_ends)


def make_path(
    n: int,
    dtype=np.float64,
    variant: str = "plain",
    seed: int = 0,
    raster: Raster | Hatch | None = None,
) -> ScanPath:
    """The first n samples of the variant's layer sequence, as two arrays of `dtype`."""
    r = raster if raster is not None else VARIANTS[variant]
    n = int(n)
    if isinstance(r, Hatch):
        templates = [hatch_template(r)]
    else:
        templates = [_layer_template(r, angle) for angle in r.hatch_angles]
    rng = np.random.default_rng(seed)
    x = np.empty(n, dtype=dtype)
    y = np.empty(n, dtype=dtype)
    done = lines = layers = 0
    while done < n:
        points, line_ends = templates[layers % len(templates)]
        take = min(len(points), n - done)
        for out, axis in ((x, 0), (y, 1)):
            v = points[:take, axis]
            if r.noise > 0.0:
                v = v + rng.normal(0.0, r.noise, take)
            # Rounded in float64, so equal encoder counts stay equal after a cast to float32.
            out[done : done + take] = np.rint(v / r.encoder_step) * r.encoder_step
        lines += int(np.count_nonzero(line_ends <= take))
        layers += 1
        done += take
    return ScanPath(x, y, r, lines, layers)


def line_length_ids(ids: np.ndarray, raster: Raster | Hatch) -> int:
    """Ids covering at least half a hatch line (the longest, of a hatch); noise-made corners add
    shorter ones, and a hatch's contour edges are as long."""
    _, counts = np.unique(ids[ids > 0], return_counts=True)
    return int(np.count_nonzero(counts >= raster.samples_per_line // 2))


def write_path_file(path: Path | str, x: np.ndarray, y: np.ndarray) -> None:
    """Raw little-endian float64: all of x, then all of y (the stage benchmark's input)."""
    with open(path, "wb") as f:
        np.asarray(x, dtype="<f8").tofile(f)
        np.asarray(y, dtype="<f8").tofile(f)


def read_path_file(path: Path | str) -> tuple[np.ndarray, np.ndarray]:
    data = np.fromfile(path, dtype="<f8")
    half = len(data) // 2
    return data[:half], data[half:]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=float, default=1e6, help="number of samples")
    parser.add_argument("--variant", choices=sorted(VARIANTS), default="plain")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--out", type=Path, help="write the path here for the stage benchmark")
    args = parser.parse_args()
    p = make_path(int(args.n), variant=args.variant, seed=args.seed)
    if args.out:
        write_path_file(args.out, p.x, p.y)
    same_x = float(np.mean(p.x[1:] == p.x[:-1]))
    same_y = float(np.mean(p.y[1:] == p.y[:-1]))
    print(
        f"n={len(p.x)} layers={p.layers} lines={p.lines} "
        f"equal-x neighbours={same_x:.3f} equal-y neighbours={same_y:.3f}"
    )


if __name__ == "__main__":
    main()
