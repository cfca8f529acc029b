"""How a build planner turns the parts of a layer into moves: hatch vectors clipped to the parts,
split into islands or stripes, ordered, and joined by jumps, connectors or skywriting turns.

The moves are commanded positions over time; `simulate` samples and records them.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

import numpy as np

if TYPE_CHECKING:
    from .simulate import Machine, Part, Strategy

Point = tuple[float, float] | np.ndarray

# What a move's samples are in the ground truth: nothing, a hatch line (dwells parked on its end
# included), or a skywriting stretch that may run on along a line with the laser off.
OTHER, LINE, SKY = 0, 1, 2

# A hole or island edge closer than this to a line's neighbour is no reason for a jump.
_CONNECTOR_REACH = 3.0
_ARC_PIECES = 16


@dataclass
class Moves:
    """Commanded straight moves in time order, as columns (one entry per move)."""

    x0: list[float] = field(default_factory=list)
    y0: list[float] = field(default_factory=list)
    x1: list[float] = field(default_factory=list)
    y1: list[float] = field(default_factory=list)
    duration: list[float] = field(default_factory=list)
    kind: list[int] = field(default_factory=list)
    line: list[int] = field(default_factory=list)  # hatch line id, or the line a SKY move leaves
    line_next: list[int] = field(default_factory=list)  # the line a SKY move heads for
    laser: list[bool] = field(default_factory=list)
    vectors: list[tuple[float, float, float, float]] = field(default_factory=list)
    vector_layer: list[int] = field(default_factory=list)
    position: tuple[float, float] | None = None

    @property
    def total_time(self) -> float:
        return math.fsum(self.duration)


class Planner:
    """Appends the moves of one layer after another to a `Moves` record."""

    def __init__(self, moves: Moves, strategy: Strategy, machine: Machine) -> None:
        self.moves = moves
        self.s = strategy
        self.m = machine
        self.dt = 1.0 / machine.sample_rate

    # -- primitive moves ------------------------------------------------------------------

    def _add(
        self,
        p: Point,
        q: Point,
        duration: float,
        kind: int = OTHER,
        line: int = 0,
        line_next: int = 0,
        laser: bool = False,
    ) -> None:
        if duration <= 0.0:
            return
        mv = self.moves
        mv.x0.append(float(p[0]))
        mv.y0.append(float(p[1]))
        mv.x1.append(float(q[0]))
        mv.y1.append(float(q[1]))
        mv.duration.append(duration)
        mv.kind.append(kind)
        mv.line.append(line)
        mv.line_next.append(line_next or line)
        mv.laser.append(laser)
        mv.position = (float(q[0]), float(q[1]))

    def dwell(self, samples: int, kind: int = OTHER, line: int = 0, laser: bool = False) -> None:
        p = self.moves.position
        if p is not None and samples > 0:
            self._add(p, p, samples * self.dt, kind, line, laser=laser)

    def travel(
        self,
        q: Point,
        speed: float,
        kind: int = OTHER,
        line: int = 0,
        line_next: int = 0,
        laser: bool = False,
    ) -> None:
        p = self.moves.position
        if p is None:
            self.moves.position = (float(q[0]), float(q[1]))
            return
        length = math.hypot(q[0] - p[0], q[1] - p[1])
        self._add(p, q, length / speed, kind, line, line_next, laser)

    def jump(self, q: Point, arrive_kind: int = OTHER, arrive_line: int = 0) -> None:
        """Jump with the laser off, then let the mirrors settle (the jump delay)."""
        p = self.moves.position
        if p is not None and math.hypot(q[0] - p[0], q[1] - p[1]) == 0.0:
            return
        self.travel(q, self.m.jump_speed)
        self.dwell(self.m.jump_delay, arrive_kind, arrive_line)

    def mark(self, q: Point, kind: int = OTHER, line: int = 0) -> None:
        self.travel(q, self.m.scan_speed, kind, line, laser=True)

    # -- layer ----------------------------------------------------------------------------

    def layer(self, parts: Sequence[Part], angle: float, layer_index: int) -> None:
        for part in parts:
            if self.s.contours == "before":
                self.contours(part)
            self.hatch(part, angle, layer_index)
            if self.s.contours == "after":
                self.contours(part)

    def contours(self, part: Part) -> None:
        for ring in (part.outline, *part.holes):
            ring = np.asarray(ring, dtype=np.float64)
            self.jump(ring[0])
            for k, corner in enumerate(np.vstack([ring[1:], ring[:1]])):
                if k:
                    self.dwell(self.m.corner_delay, laser=True)
                self.mark(corner)
            self.dwell(self.m.mark_delay, laser=True)

    def hatch(self, part: Part, angle: float, layer_index: int) -> None:
        for group in hatch_groups(part, angle, self.s):
            self.expose(group, layer_index)

    def expose(self, vectors: np.ndarray, layer_index: int) -> None:
        """Expose one group of directed vectors (rows x0, y0, x1, y1) in order."""
        s, m = self.s, self.m
        reach = _CONNECTOR_REACH * s.hatch_spacing
        # The vector exposed before this one in the group: its end, direction and line.
        end = heading = None
        before = 0
        # A vector the mirror crosses within one sample period leaves no recorded motion, only
        # its delays: no labelling could find it, so it is not planned, as planners drop slivers.
        shortest = m.scan_speed * self.dt
        for x0, y0, x1, y1 in vectors.tolist():
            if math.hypot(x1 - x0, y1 - y0) < shortest:
                continue
            a, b = np.array([x0, y0]), np.array([x1, y1])
            u = (b - a) / math.hypot(x1 - x0, y1 - y0)
            self.moves.vectors.append((x0, y0, x1, y1))
            self.moves.vector_layer.append(layer_index)
            line = len(self.moves.vectors)
            near = end is not None and math.hypot(*(a - end)) <= reach
            if s.skywriting > 0.0:
                run_up = a - s.skywriting * u
                if near and heading is not None and float(np.dot(u, heading)) < -0.5:
                    self.u_turn(before, run_up, heading, line)
                else:
                    self.jump(run_up)
                self.travel(a, m.scan_speed, SKY, line)
                self.mark(b, LINE, line)
                self.travel(b + s.skywriting * u, m.scan_speed, SKY, line)
            else:
                if near and s.connectors:
                    self.dwell(m.corner_delay, LINE, before, laser=True)
                    self.mark(a)
                    self.dwell(m.corner_delay, LINE, line, laser=True)
                else:
                    if before:
                        self.dwell(m.mark_delay, LINE, before, laser=True)
                    self.jump(a, LINE, line)
                self.mark(b, LINE, line)
            end, heading, before = b, u, line
        if before and s.skywriting <= 0.0:
            self.dwell(m.mark_delay, LINE, before, laser=True)

    def u_turn(self, line_before: int, to: Point, heading: np.ndarray, line_after: int) -> None:
        """Turn at scan speed, laser off, from the overshoot's end to the next run-up's start."""
        assert self.moves.position is not None
        px, py = self.moves.position
        cx, cy = (px + to[0]) / 2.0, (py + to[1]) / 2.0
        radius = math.hypot(to[0] - px, to[1] - py) / 2.0
        if radius == 0.0:
            return
        ex, ey = (px - cx) / radius, (py - cy) / radius
        hx, hy = float(heading[0]), float(heading[1])
        for k in range(1, _ARC_PIECES + 1):
            phi = math.pi * k / _ARC_PIECES
            c, s = radius * math.cos(phi), radius * math.sin(phi)
            point = (cx + c * ex + s * hx, cy + c * ey + s * hy)
            self.travel(point, self.m.scan_speed, SKY, line_before, line_after)


def hatch_groups(part: Part, angle: float, strategy: Strategy) -> list[np.ndarray]:
    """The part's hatch vectors in exposure order, one array (rows x0, y0, x1, y1) per island,
    stripe or, without either, for the whole part."""
    h = strategy.hatch_spacing
    inset = h if strategy.hatch_inset is None else strategy.hatch_inset
    rings = [np.asarray(part.outline, dtype=np.float64)] + [
        np.asarray(r, dtype=np.float64) for r in part.holes
    ]
    theta = math.radians(angle)
    if strategy.islands > 0.0:
        return _island_groups(rings, theta, h, inset, strategy)
    k, u0, u1, frame = _clip(rings, theta, h, inset, inset)
    if strategy.stripes > 0.0:
        if len(k) == 0:
            return []
        groups = []
        w = strategy.stripes
        lo = math.floor(float(u0.min()) / w) * w
        while lo < u1.max():
            a, b = np.maximum(u0, lo), np.minimum(u1, lo + w)
            keep = b > a
            groups.append(_order(k[keep], a[keep], b[keep], frame, strategy.meander))
            lo += w
        return [g for g in groups if len(g)]
    return [_order(k, u0, u1, frame, strategy.meander)]


def _island_groups(
    rings: list[np.ndarray], theta: float, h: float, inset: float, strategy: Strategy
) -> list[np.ndarray]:
    size = strategy.islands
    lo = rings[0].min(axis=0)
    hi = rings[0].max(axis=0)
    columns = max(1, math.ceil((hi[0] - lo[0]) / size))
    rows = max(1, math.ceil((hi[1] - lo[1]) / size))
    cells = [(r, c) for r in range(rows) for c in range(columns)]
    if strategy.island_order == "serpentine":
        cells = [(r, c if r % 2 == 0 else columns - 1 - c) for r, c in cells]
    elif strategy.island_order == "random":
        order = np.random.default_rng(strategy.order_seed).permutation(len(cells))
        cells = [cells[i] for i in order]
    clipped = {}
    groups = []
    for r, c in cells:
        turn = (r + c) % 2 * (math.pi / 2.0)
        if turn not in clipped:
            clipped[turn] = _clip(rings, theta + turn, h, inset, inset)
        k, u0, u1, frame = clipped[turn]
        x0, y0 = lo[0] + c * size, lo[1] + r * size
        square = np.array([[x0, y0], [x0 + size, y0], [x0 + size, y0 + size], [x0, y0 + size]])
        sk, su0, su1, _ = _clip([square], theta + turn, h, 0.0, 0.0, v_start=frame[2])
        # The square is convex, so each of its lines holds one interval at most.
        a = np.full(len(k), np.inf)
        b = np.full(len(k), -np.inf)
        if len(sk):
            where = np.searchsorted(sk, k)
            found = (where < len(sk)) & (sk[np.minimum(where, len(sk) - 1)] == k)
            a[found] = su0[where[found]]
            b[found] = su1[where[found]]
        a, b = np.maximum(u0, a), np.minimum(u1, b)
        keep = b > a
        group = _order(k[keep], a[keep], b[keep], frame, strategy.meander)
        if len(group):
            groups.append(group)
    return groups


def _clip(
    rings: list[np.ndarray],
    theta: float,
    h: float,
    inset_ends: float,
    inset_sides: float,
    v_start: float | None = None,
) -> tuple[np.ndarray, np.ndarray, np.ndarray, tuple[float, float, float, float]]:
    """Intervals of the hatch lines inside the rings (even-odd), in the frame turned by theta.

    Returns the line numbers, the interval ends along the line, and the frame (cos, sin,
    v_start). Lines lie at v = v_start + k h; intervals are shortened by `inset_ends` at both ends.
    """
    c, s = math.cos(theta), math.sin(theta)
    ks, us = [], []
    v_all = np.concatenate([-r[:, 0] * s + r[:, 1] * c for r in rings])
    if v_start is None:
        v_start = float(v_all.min()) + inset_sides
    v_stop = float(v_all.max()) - inset_sides
    for ring in rings:
        u = ring[:, 0] * c + ring[:, 1] * s
        v = -ring[:, 0] * s + ring[:, 1] * c
        ua, va, ub, vb = u, v, np.roll(u, -1), np.roll(v, -1)
        lo, hi = np.minimum(va, vb), np.maximum(va, vb)
        first = np.ceil((lo - v_start) / h).astype(np.int64)
        last = np.ceil((hi - v_start) / h).astype(np.int64)  # exclusive: edges are half-open
        count = np.maximum(last - first, 0)
        edge = np.repeat(np.arange(len(u)), count)
        k = np.repeat(first, count) + (
            np.arange(count.sum()) - np.repeat(np.cumsum(count) - count, count)
        )
        vk = v_start + k * h
        t = (vk - va[edge]) / (vb[edge] - va[edge])
        ks.append(k)
        us.append(ua[edge] + t * (ub[edge] - ua[edge]))
    k = np.concatenate(ks)
    u = np.concatenate(us)
    order = np.lexsort((u, k))
    k, u = k[order], u[order]
    k, u0, u1 = k[0::2], u[0::2] + inset_ends, u[1::2] - inset_ends
    keep = (u1 > u0) & (v_start + k * h <= v_stop + 1e-12)
    return k[keep], u0[keep], u1[keep], (c, s, v_start, h)


def _order(
    k: np.ndarray,
    u0: np.ndarray,
    u1: np.ndarray,
    frame: tuple[float, float, float, float],
    meander: bool,
) -> np.ndarray:
    """Direct and order the intervals: line by line, every other line reversed in a meander."""
    c, s, v_start, h = frame
    if len(k) == 0:
        return np.empty((0, 4))
    rank = np.unique(k, return_inverse=True)[1]
    backward = (rank % 2 == 1) if meander else np.zeros(len(k), dtype=bool)
    order = np.lexsort((np.where(backward, -u0, u0), k))
    k, u0, u1, backward = k[order], u0[order], u1[order], backward[order]
    start = np.where(backward, u1, u0)
    end = np.where(backward, u0, u1)
    v = v_start + k * h
    return np.column_stack([start * c - v * s, start * s + v * c, end * c - v * s, end * s + v * c])
