"""A pure-Python model of the chunked collapse stages (range list, per-chunk run rules, seam
merges) to plug into the pipeline model of reference_model.annotate_model for a pool of p
threads."""

from __future__ import annotations

from collections.abc import Callable, Sequence

import numpy as np
from reference_model import Record, collapse_x_model, collapse_y_model, scalar_type, tolerance

PARALLEL_X_MIN_SAMPLES = 500_000
PARALLEL_Y_MIN_RECORDS = 250_000


def chunk_ranges(n: int, p: int) -> list[tuple[int, int]]:
    """Ranges of length ceil(n / p), the last one shorter: at most p, all non-empty."""
    if n == 0:
        return []
    length = -(-n // max(p, 1))
    return [(start, min(start + length, n)) for start in range(0, n, length)]


def merge_seams(chunks: Sequence[Sequence[Record]], key: str, t: Callable) -> list[Record]:
    """Joins chunk results in order, fusing a record into the last output record when their
    keys are within tolerance; the other coordinate becomes the sample-weighted mean, taken in
    double and rounded to the coordinate type."""
    value = "y" if key == "x" else "x"
    eps = tolerance(t)
    out: list[Record] = []
    for chunk in chunks:
        for r in chunk:
            if out and abs(getattr(r, key) - getattr(out[-1], key)) < eps:
                last = out[-1]
                w_last = float(last.end - last.start + 1)
                w_r = float(r.end - r.start + 1)
                mean = (float(getattr(r, value)) * w_r + float(getattr(last, value)) * w_last) / (
                    w_r + w_last
                )
                out[-1] = last._replace(**{value: t(mean), "end": r.end})
            else:
                out.append(r)
    return out


def collapse_x_chunked(x: np.ndarray, y: np.ndarray, p: int) -> list[Record]:
    chunks = [collapse_x_model(x, y, start, stop) for start, stop in chunk_ranges(len(x), p)]
    return merge_seams(chunks, "x", scalar_type(x.dtype))


def collapse_y_chunked(a: Sequence[Record], t: Callable, p: int) -> list[Record]:
    chunks = [collapse_y_model(a, t, start, stop) for start, stop in chunk_ranges(len(a), p)]
    return merge_seams(chunks, "y", t)


def stages_for_pool(p: int, t: Callable):
    """The (collapse_x, collapse_y) pair a pool of p threads uses, each choosing its form by
    the input length as the module does."""

    def collapse_x(x: np.ndarray, y: np.ndarray) -> list[Record]:
        if p >= 2 and len(x) >= PARALLEL_X_MIN_SAMPLES:
            return collapse_x_chunked(x, y, p)
        return collapse_x_model(x, y)

    def collapse_y(a: Sequence[Record]) -> list[Record]:
        if p >= 2 and len(a) >= PARALLEL_Y_MIN_RECORDS:
            return collapse_y_chunked(a, t, p)
        return collapse_y_model(a, t)

    return collapse_x, collapse_y
