"""A small pure-Python model of the annotation pipeline, written from the rules rather than
from the C++ code, for comparing results bit for bit in property-based tests.

Coordinates are computed in the input's own width: Python floats for float64 (IEEE binary64,
no fused operations) and NumPy float32 scalars for float32, one rounded operation at a time.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from typing import NamedTuple

import numpy as np


class Record(NamedTuple):
    x: float
    y: float
    start: int
    end: int


class Turn(NamedTuple):
    index: int
    prev_dist_sq: float
    line_dist_sq: float
    x: float
    y: float
    start: int
    end: int


def scalar_type(dtype: np.dtype) -> Callable:
    return np.float32 if np.dtype(dtype) == np.float32 else float


def tolerance(t: Callable) -> float:
    return t(np.finfo(np.float32).eps) if t is np.float32 else t(np.finfo(np.float64).eps)


def _within(a, b, eps) -> bool:
    return abs(a - b) < eps


def collapse_x_model(
    x: np.ndarray, y: np.ndarray, start: int = 0, stop: int | None = None
) -> list[Record]:
    """Runs of equal x over samples [start, stop): first x, mean y summed in T."""
    t = scalar_type(x.dtype)
    eps = tolerance(t)
    stop = len(x) if stop is None else stop
    xs = [t(v) for v in x[start:stop].tolist()]
    ys = [t(v) for v in y[start:stop].tolist()]
    out: list[Record] = []
    if not xs:
        return out
    run_start, run_x, y_sum, count = start, xs[0], ys[0], 1
    for offset in range(1, len(xs)):
        j = start + offset
        if _within(xs[offset], run_x, eps):
            y_sum = y_sum + ys[offset]
            count += 1
        else:
            out.append(Record(run_x, y_sum / t(count), run_start, j - 1))
            run_start, run_x, y_sum, count = j, xs[offset], ys[offset], 1
    out.append(Record(run_x, y_sum / t(count), run_start, stop - 1))
    return out


def collapse_y_model(
    a: Sequence[Record], t: Callable, start: int = 0, stop: int | None = None
) -> list[Record]:
    """Runs of equal y over records [start, stop): first y, unweighted mean x summed in T."""
    eps = tolerance(t)
    stop = len(a) if stop is None else stop
    out: list[Record] = []
    if start >= stop:
        return out
    first = a[start]
    run_start, run_y, x_sum, count = first.start, first.y, first.x, 1
    for i in range(start + 1, stop):
        r = a[i]
        if _within(r.y, run_y, eps):
            x_sum = x_sum + r.x
            count += 1
        else:
            out.append(Record(x_sum / t(count), run_y, run_start, a[i - 1].end))
            run_start, run_y, x_sum, count = r.start, r.y, r.x, 1
    out.append(Record(x_sum / t(count), run_y, run_start, a[stop - 1].end))
    return out


def _direction(p: Record, q: Record, carry, eps, t):
    if _within(p.x, q.x, eps) or _within(p.y, q.y, eps):
        return carry
    d = q.y - p.y
    numerator = d if q.x > p.x else -d
    dx = q.x - p.x
    with np.errstate(all="ignore"):
        return numerator / dx


def _sign_class(v) -> float:
    return math.nan if math.isnan(v) else math.copysign(1.0, v)


def find_turning_points_model(
    points: Sequence[Record], t: Callable
) -> tuple[list[Turn], list[Turn]]:
    eps = tolerance(t)
    falling: list[Turn] = []
    rising: list[Turn] = []
    if len(points) < 2:
        return falling, rising
    zero = t(0)
    prev = _direction(points[0], points[1], t(1), eps, t)
    p0 = points[0]
    seed = Turn(0, zero, zero, p0.x, p0.y, p0.start, p0.end)
    falling.append(seed)
    rising.append(seed)
    with np.errstate(all="ignore"):
        for i in range(2, len(points)):
            cur = _direction(points[i - 1], points[i], prev, eps, t)
            if _sign_class(cur) == _sign_class(prev):
                prev = cur
                continue
            v = points[i - 1]
            f, r = falling[-1], rising[-1]
            if _within(r.x, f.x, eps):
                line = (v.x - r.x) * (v.x - r.x)
            else:
                m = (r.y - f.y) / (r.x - f.x)
                b = f.y - f.x * m
                off = v.x * m - v.y + b
                line = (off * off) / (m * m + t(1))
            target = falling if cur < 0 else rising
            last = target[-1]
            dx, dy = last.x - v.x, last.y - v.y
            target.append(Turn(i - 1, dx * dx + dy * dy, line, v.x, v.y, v.start, v.end))
            prev = cur
    return falling, rising


def order_model(falling: list[Turn], rising: list[Turn]) -> list[Turn]:
    kept = (falling[2:] if len(falling) > 2 else []) + (rising[1:] if len(rising) > 1 else [])
    return sorted(kept, key=lambda turn: turn.index)


def threshold_model(turns: Sequence[Turn], t: Callable) -> float:
    minimum = np.float32(1e-8) if t is np.float32 else 1e-8
    values = sorted(turn.line_dist_sq for turn in turns if turn.line_dist_sq > minimum)
    if not values:
        return t(1)
    with np.errstate(all="ignore"):
        scaled = values[len(values) // 2] * t(100)
    return scaled if scaled > t(1) else t(1)


def reversal_model(a, b, t: Callable) -> bool:
    with np.errstate(all="ignore"):
        d = a[0] * b[0] + a[1] * b[1]
        if not d < 0:
            return False
        bound = ((a[0] * a[0] + a[1] * a[1]) * (b[0] * b[0] + b[1] * b[1])) * t(0.75)
        return bool(d * d > bound)


def ids_model(n: int, turns: Sequence[Turn], threshold, t: Callable) -> np.ndarray:
    ids = np.full(n, -1, dtype=np.int32)
    m = len(turns)
    if m < 2:
        return ids

    def vec(k1: int, k0: int):
        return (turns[k1].x - turns[k0].x, turns[k1].y - turns[k0].y)

    current, fill_from, segment_open = 1, 0, False
    with np.errstate(all="ignore"):
        for i in range(1, m):
            turn = turns[i]
            ok = not (
                turn.prev_dist_sq > threshold or turn.prev_dist_sq * t(0.5) > turn.line_dist_sq
            )
            if ok:
                at_prev = i >= 2 and reversal_model(vec(i - 1, i - 2), vec(i, i - 1), t)
                at_this = i + 1 < m and reversal_model(vec(i, i - 1), vec(i + 1, i), t)
                ok = at_prev or at_this
            if not ok:
                if segment_open:
                    ids[fill_from : min(turn.start, n)] = current
                    current += 1
                segment_open = False
            else:
                mid = turn.start + (turn.end - turn.start) // 2
                first = fill_from if segment_open else turns[i - 1].end + 1
                if first <= mid:
                    ids[first : min(mid + 1, n)] = current
                current += 1
                fill_from = mid + 1
                segment_open = True
    return ids


def annotate_model(x: np.ndarray, y: np.ndarray, collapse_x=None, collapse_y=None) -> np.ndarray:
    """Ids of the whole pipeline; collapse_x(x, y) and collapse_y(list_a) may be replaced."""
    n = len(x)
    if n == 0:
        return np.empty(0, dtype=np.int32)
    t = scalar_type(x.dtype)
    list_a = (collapse_x or collapse_x_model)(x, y)
    list_b = collapse_y(list_a) if collapse_y else collapse_y_model(list_a, t)
    falling, rising = find_turning_points_model(list_b, t)
    turns = order_model(falling, rising)
    return ids_model(n, turns, threshold_model(turns, t), t)
