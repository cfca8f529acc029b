"""Recorded laser scan paths with ground truth, for testing scanline labelling on known answers.

A layer is planned the way a build planner does it (hatch vectors clipped to the parts, islands
or stripes, meander or one-way order, connectors, skywriting, contours) and recorded the way a
machine logs it: commanded positions sampled at a fixed rate, a first-order servo lag, Gaussian
noise, encoder rounding and the delays that park the mirrors. Lengths are in millimetres, times
in seconds, delays in samples. Everything is vectorised over the samples and deterministic
from the seed.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Literal

import numpy as np
import numpy.typing as npt

from ._planner import LINE, SKY, Moves, Planner

__all__ = ["OVERSHOOT", "Machine", "Part", "RecordedPath", "Strategy", "simulate_path"]

OVERSHOOT = -2
"""Truth value of skywriting samples that run on along a line with the laser off."""

ON_LINE_TOLERANCE = 1e-3
"""With servo lag, a sample belongs to its line only if the mirror is this close to it (mm)."""


def _polygon_circle(cx: float, cy: float, radius: float, vertices: int) -> np.ndarray:
    phi = np.linspace(0.0, 2.0 * math.pi, vertices, endpoint=False)
    return np.column_stack([cx + radius * np.cos(phi), cy + radius * np.sin(phi)])


@dataclass(frozen=True, eq=False)
class Part:
    """One region of a layer: an outer polygon and polygons of holes, as (k, 2) arrays in mm.

    Use `Part.rectangle` and `Part.circle` for the common shapes; holes are given by
    `Part.round_hole`.
    """

    outline: np.ndarray
    holes: tuple[np.ndarray, ...] = ()

    @staticmethod
    def round_hole(cx: float, cy: float, radius: float, vertices: int = 90) -> np.ndarray:
        """A round hole's polygon, wound the other way round than the outline."""
        return _polygon_circle(cx, cy, radius, vertices)[::-1]

    @classmethod
    def rectangle(
        cls, x0: float, y0: float, width: float, height: float, holes: Sequence[np.ndarray] = ()
    ) -> Part:
        corners = np.array(
            [[x0, y0], [x0 + width, y0], [x0 + width, y0 + height], [x0, y0 + height]]
        )
        return cls(corners, tuple(holes))

    @classmethod
    def circle(
        cls,
        cx: float,
        cy: float,
        radius: float,
        holes: Sequence[np.ndarray] = (),
        vertices: int = 180,
    ) -> Part:
        return cls(_polygon_circle(cx, cy, radius, vertices), tuple(holes))


@dataclass(frozen=True)
class Strategy:
    """How the planner hatches and orders a layer.

    Attributes
    ----------
    hatch_spacing
        Distance between neighbouring hatch lines (mm).
    angle
        Hatch angle of the first layer, degrees from the x axis.
    rotation
        Added to the angle from one layer to the next (67 is common; 90 alternates 0/90).
    meander
        Alternate the direction of neighbouring lines; False exposes every line the same way.
    connectors
        Join neighbouring lines by an exposed connector along the boundary (a slicer's zigzag)
        instead of a jump.
    skywriting
        Overshoot length (mm) past each line's end at scan speed, laser off, followed by a
        U-turn (meander) or a jump into a run-up as long; 0 turns skywriting off.
    contours
        Trace the outline and holes with the laser on ``"before"`` or ``"after"`` the hatch, or
        not at all (None).
    hatch_inset
        How far the hatch stays inside the outline (mm); None means one hatch spacing.
    islands
        Side of the square islands (mm) that cut the hatch, 0 for none. Islands alternate
        between the layer's angle and the angle turned by 90 degrees, like a chessboard.
    stripes
        Width of the stripes (mm) that cut the hatch into short vectors, 0 for none.
    island_order
        ``"rows"``, ``"serpentine"`` or ``"random"`` (shuffled with `order_seed`).
    """

    hatch_spacing: float = 0.1
    angle: float = 0.0
    rotation: float = 67.0
    meander: bool = True
    connectors: bool = False
    skywriting: float = 0.0
    contours: Literal["before", "after"] | None = None
    hatch_inset: float | None = None
    islands: float = 0.0
    stripes: float = 0.0
    island_order: Literal["rows", "serpentine", "random"] = "rows"
    order_seed: int = 0


@dataclass(frozen=True)
class Machine:
    """How the scanner moves and how its positions are recorded.

    Attributes
    ----------
    sample_rate
        Recording rate (Hz).
    scan_speed, jump_speed
        Mirror speed while exposing and while jumping (mm/s).
    jump_delay, mark_delay, corner_delay
        Samples the mirrors stay parked after a jump, at the end of an exposure before a jump,
        and at a corner between two exposed moves.
    lag
        Time constant of the first-order servo lag (s); 0 records the commanded positions.
    noise
        Standard deviation of the Gaussian position noise (mm), per axis.
    quantum
        Encoder step (mm) the positions are rounded to; 0 keeps them unrounded.
    dtype
        Width of the returned coordinates, float64 or float32.
    """

    sample_rate: float = 100_000.0
    scan_speed: float = 1000.0
    jump_speed: float = 5000.0
    jump_delay: int = 10
    mark_delay: int = 5
    corner_delay: int = 5
    lag: float = 0.0
    noise: float = 0.0
    quantum: float = 0.0
    dtype: npt.DTypeLike = np.float64


@dataclass
class RecordedPath:
    """A recorded path and its ground truth.

    Attributes
    ----------
    x, y
        Recorded coordinates (mm) of the machine's dtype.
    laser_on
        Whether the laser was on at each sample (bool).
    truth
        int32 per sample: the hatch line (1..K in recording order) the sample lies on, -1 for
        samples on no line, `OVERSHOOT` (-2) for skywriting samples that run on along a line.
    vectors
        (K, 4) float64: the planned hatch vectors x0, y0, x1, y1; row i - 1 is line i.
    vector_layer
        (K,) int: the layer each vector belongs to.
    """

    x: np.ndarray
    y: np.ndarray
    laser_on: np.ndarray
    truth: np.ndarray
    vectors: np.ndarray
    vector_layer: np.ndarray
    machine: Machine = field(repr=False)
    strategy: Strategy = field(repr=False)

    @property
    def lines(self) -> int:
        """The number of hatch vectors planned (some may fall beyond a truncated path)."""
        return len(self.vectors)


def simulate_path(
    parts: Part | Sequence[Part],
    strategy: Strategy = Strategy(),
    machine: Machine = Machine(),
    *,
    layers: int = 1,
    samples: int | None = None,
    park: tuple[float, float] | None = None,
    seed: int = 0,
) -> RecordedPath:
    """Plan `layers` layers of the parts, record them and return the path with its ground truth.

    Parameters
    ----------
    parts
        The parts exposed on every layer, in this order.
    strategy, machine
        The planner's hatching and the machine's motion and recording.
    layers
        Layers to plan; each turns the hatch angle by ``strategy.rotation``.
    samples
        If given, layers keep coming until the path has this many samples, and it is cut there.
    park
        Where the mirrors rest before each layer; by default 5 mm below and left of the parts.
    seed
        Seed of the noise; the same arguments give the same path.

    Returns
    -------
    RecordedPath
    """
    parts = [parts] if isinstance(parts, Part) else list(parts)
    _check(parts, strategy, machine, samples)
    if park is None:
        low = np.min([p.outline.min(axis=0) for p in parts], axis=0)
        park = (float(low[0]) - 5.0, float(low[1]) - 5.0)
    dt = 1.0 / machine.sample_rate
    moves = Moves()
    planner = Planner(moves, strategy, machine)
    layer = 0
    while layer < layers or (samples is not None and moves.total_time < samples * dt):
        planner.jump(park)
        planner.dwell(max(machine.jump_delay, 50))
        planner.layer(parts, strategy.angle + layer * strategy.rotation, layer)
        layer += 1
        if samples is not None and layer >= layers and not moves.vectors:
            raise ValueError("the parts hold no hatch vector")
    planner.jump(park)
    return _record(moves, strategy, machine, samples, seed)


def _check(parts: list[Part], strategy: Strategy, machine: Machine, samples: int | None) -> None:
    if not parts:
        raise ValueError("parts must hold at least one part")
    for name in ("sample_rate", "scan_speed", "jump_speed"):
        if not getattr(machine, name) > 0.0:
            raise ValueError(f"machine.{name} must be positive")
    for name in ("jump_delay", "mark_delay", "corner_delay", "lag", "noise", "quantum"):
        if not getattr(machine, name) >= 0:
            raise ValueError(f"machine.{name} must not be negative")
    if np.dtype(machine.dtype) not in (np.float32, np.float64):
        raise ValueError(f"machine.dtype must be float32 or float64, not {machine.dtype}")
    if not strategy.hatch_spacing > 0.0:
        raise ValueError("strategy.hatch_spacing must be positive")
    if samples is not None and samples < 1:
        raise ValueError("samples must be at least 1")


def _record(
    moves: Moves, strategy: Strategy, machine: Machine, samples: int | None, seed: int
) -> RecordedPath:
    rate = machine.sample_rate
    duration = np.asarray(moves.duration)
    # Sample k is taken at k / rate; a move holds the samples in [begin, end), so the moves
    # tile the samples exactly when each begins where the one before ends.
    begin = np.concatenate([[0.0], np.cumsum(duration)])
    bounds = np.ceil(begin * rate).astype(np.int64)
    begin, first, count = begin[:-1], bounds[:-1], np.diff(bounds)
    move = np.repeat(np.arange(len(duration), dtype=np.int32), count)
    n = len(move) if samples is None else min(len(move), samples)
    move = move[:n]
    t = np.arange(n) / rate
    commanded = []
    for start, stop in ((moves.x0, moves.x1), (moves.y0, moves.y1)):
        p0, p1 = np.asarray(start), np.asarray(stop)
        speed = (p1 - p0) / duration
        commanded.append((p0 - speed * begin)[move] + speed[move] * t)
    del t
    if machine.lag > 0.0:
        alpha = -math.expm1(-1.0 / (rate * machine.lag))
        mirror = [first_order_lag(c, alpha) for c in commanded]
    else:
        mirror = commanded
    del commanded
    vectors = np.asarray(moves.vectors, dtype=np.float64).reshape(-1, 4)
    # A first-order lag neither overshoots nor oscillates, and its transient decays as
    # exp(-t / lag): 40 time constants into a move the mirror has closed all but 4e-18 of any
    # jump's distance and trails the command along the move, so only the samples before then
    # can be off the line.
    settle = math.ceil(40.0 * machine.lag * rate) if machine.lag > 0.0 else 0
    truth = _truth(mirror, move, first, np.minimum(count, settle), moves, vectors)
    laser_on = np.asarray(moves.laser, dtype=bool)[move]
    del move

    rng = np.random.default_rng(seed)
    coords = []
    for m in mirror:
        if machine.noise > 0.0:
            m = m + rng.normal(0.0, machine.noise, n)
        if machine.quantum > 0.0:
            # Rounded in float64, so equal encoder counts stay equal after a cast to float32.
            m = np.rint(m / machine.quantum) * machine.quantum
        coords.append(np.ascontiguousarray(m, dtype=machine.dtype))
    layer = np.asarray(moves.vector_layer, dtype=np.int64)
    return RecordedPath(coords[0], coords[1], laser_on, truth, vectors, layer, machine, strategy)


class _Lines:
    """The hatch lines' geometry, indexed by line id (row 0 unused)."""

    def __init__(self, vectors: np.ndarray) -> None:
        v = np.vstack([np.zeros((1, 4)), vectors])
        self.x0, self.y0 = v[:, 0], v[:, 1]
        dx, dy = v[:, 2] - v[:, 0], v[:, 3] - v[:, 1]
        self.length = np.hypot(dx, dy)
        safe = np.where(self.length > 0.0, self.length, 1.0)
        self.ux, self.uy = dx / safe, dy / safe

    def offsets(
        self, x: np.ndarray, y: np.ndarray, ids: np.ndarray
    ) -> tuple[np.ndarray, np.ndarray]:
        """Distance of each point from line ids' infinite line, and from the segment itself."""
        rx, ry = x - self.x0[ids], y - self.y0[ids]
        ux, uy = self.ux[ids], self.uy[ids]
        along = rx * ux + ry * uy
        across = np.abs(rx * uy - ry * ux)
        beyond = np.maximum(np.maximum(-along, along - self.length[ids]), 0.0)
        return across, np.hypot(across, beyond)


def _truth(
    mirror: list[np.ndarray],
    move: np.ndarray,
    first: np.ndarray,
    settle: np.ndarray,
    moves: Moves,
    vectors: np.ndarray,
) -> np.ndarray:
    """Truth per sample; `first` and `settle` hold each move's first sample and how many of
    its samples the servo lag may keep off the commanded path."""
    kind = np.asarray(moves.kind, dtype=np.int8)
    line = np.asarray(moves.line, dtype=np.int32)
    truth = np.where(kind == LINE, line, -1).astype(np.int32)[move]
    if len(vectors) == 0:
        return truth
    lines = _Lines(vectors)
    x, y = mirror
    settling = (kind == LINE) & (settle > 0)
    if settling.any():
        # The command is on the line but the mirror has not reached it yet.
        width = settle[settling]
        on = np.repeat(first[settling] - np.cumsum(width) + width, width) + np.arange(width.sum())
        on = on[on < len(move)]
        ids = truth[on]
        across, apart = lines.offsets(x[on], y[on], ids)
        off = apart > ON_LINE_TOLERANCE
        skywritten = np.zeros(len(vectors) + 1, dtype=bool)
        skywritten[line[kind == SKY]] = True
        run_on = (across <= ON_LINE_TOLERANCE) & skywritten[ids]
        truth[on[off]] = np.where(run_on[off], OVERSHOOT, -1)
    # Skywriting moves run on along the line they leave or head for where the mirror is on it.
    sky = np.flatnonzero((kind == SKY)[move])
    near = np.zeros(len(sky), dtype=bool)
    for ref in (line, np.asarray(moves.line_next, dtype=np.int32)):
        near |= lines.offsets(x[sky], y[sky], ref[move[sky]])[0] <= ON_LINE_TOLERANCE
    truth[sky[near]] = OVERSHOOT
    return truth


def first_order_lag(command: np.ndarray, alpha: float) -> np.ndarray:
    """The response of a first-order lag, y[k] = y[k-1] + alpha (command[k] - y[k-1]), at rest
    on command[0] before the first sample.

    Solved in blocks without a loop over the samples: within a block the recursion is a
    weighted cumulative sum, and the blocks' end states follow the same recursion, shorter.
    """
    command = np.asarray(command, dtype=np.float64)
    if len(command) == 0:
        return command.copy()
    return _linear_recursion(alpha * command, 1.0 - alpha, float(command[0]))


def _linear_recursion(u: np.ndarray, b: float, y0: float) -> np.ndarray:
    """y[k] = b y[k-1] + u[k] with y[-1] = y0."""
    n = len(u)
    if b <= 0.0:
        return u.copy()
    # The weights b**-j must stay finite within a block.
    block = int(min(4096, max(1, 575.0 / -math.log(b)))) if b < 1.0 else 4096
    if block < 2 or n < 2:
        y = np.empty(n)
        state = y0
        for k in range(n):
            state = b * state + u[k]
            y[k] = state
        return y
    rows = -(-n // block)
    padded = np.zeros(rows * block)
    padded[:n] = u
    j = np.arange(block, dtype=np.float64)
    grow = b**-j
    shrink = b**j
    z = np.cumsum(padded.reshape(rows, block) * grow, axis=1) * shrink
    carry_gain = b**block
    if carry_gain < 1e-30:
        ends = z[:, -1]
    else:
        ends = _linear_recursion(z[:, -1], carry_gain, y0)
    before = np.concatenate([[y0], ends[:-1]])
    z += before[:, None] * (shrink * b)
    return z.reshape(-1)[:n]
