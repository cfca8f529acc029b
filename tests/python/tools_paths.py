"""Inputs shared by the vorlane_tools tests: a few hatch lines with ids, and the same samples
laid out in every memory layout the native module must read in place."""

from __future__ import annotations

import numpy as np


def hatch(dtype=np.float64, lines=5, per_line=40, seed=3):
    """Noisy lines at assorted angles, 150 mm from the origin, with their ids (0 between)."""
    rng = np.random.default_rng(seed)
    xs, ys, ids = [], [], []
    for k in range(lines):
        angle = np.radians(37.0 * k)
        t = np.linspace(0.0, 2.0, per_line)
        xs.append(150 + 0.1 * k + t * np.cos(angle) + rng.normal(0, 1e-3, per_line))
        ys.append(-150 + t * np.sin(angle) + rng.normal(0, 1e-3, per_line))
        ids.append(np.full(per_line, k + 1))
        xs.append(np.array([150.0]))
        ys.append(np.array([-150.0]))
        ids.append(np.array([0]))
    x, y = np.concatenate(xs).astype(dtype), np.concatenate(ys).astype(dtype)
    return x, y, np.concatenate(ids).astype(np.int32)


def record_field(values, pad):
    """values as a field of packed records `pad` bytes longer than the element: the stride is
    no whole number of elements and, for odd pads, the data is misaligned."""
    record = np.zeros(len(values), dtype=[("lead", "u1", (pad,)), ("v", values.dtype)])
    record["v"] = values
    return record["v"]


def misaligned(values):
    buffer = np.zeros(values.nbytes + 1, np.uint8)
    view = np.frombuffer(buffer.data, dtype=values.dtype, count=len(values), offset=1)
    buffer[1:] = values.view(np.uint8)
    assert values.itemsize == 1 or not view.flags.aligned
    return view


def read_only(values):
    view = values.view()
    view.setflags(write=False)
    return view


# name -> (make a view of an array of n elements, how many elements the view has)
LAYOUTS = {
    "contiguous": lambda a: a,
    "reversed": lambda a: a[::-1],
    "every third": lambda a: np.repeat(a, 3)[::3],
    "reversed every second": lambda a: np.repeat(a, 2)[::-2],
    "record field, 4-byte pad": lambda a: record_field(a, 4),
    "record field, 3-byte pad": lambda a: record_field(a, 3),
    "misaligned": misaligned,
    "read-only": read_only,
}
