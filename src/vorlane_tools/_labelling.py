"""The public wrappers of the native labelling and fitting functions: they normalise the
optional arguments and leave every check of x, y and ids to the native module."""

from __future__ import annotations

import numbers
from typing import Any, Literal, TypedDict, overload

import numpy as np
import numpy.typing as npt

from vorlane_tools import _native

_INT64_MAX = np.iinfo(np.int64).max


class RobustInfo(TypedDict):
    """What robust_scanlines derived from the data and what it found."""

    noise: float
    tolerance: float
    sample_step: float
    line_spacing: float
    window: int
    angles_deg: list[float]
    lines: int
    rejected: dict[str, int]


def _laser_bytes(laser_on: Any) -> npt.NDArray[np.bool_] | None:
    """laser_on as one contiguous bool per sample: nonzero is on, NaN is off."""
    if laser_on is None:
        return None
    on = np.asarray(laser_on)
    if on.ndim != 1 or on.dtype.kind not in "biuf":
        raise TypeError(
            "laser_on must be a 1-D array of bool, integer or floating values, "
            f"not a {on.ndim}-D array of {on.dtype}"
        )
    if on.dtype.kind == "b":
        return np.ascontiguousarray(on)
    if on.dtype.kind == "f":
        return np.ascontiguousarray((on != 0) & ~np.isnan(on))
    return np.ascontiguousarray(on != 0)


def _tolerance(tolerance: Any) -> Any:
    # Real numbers of any kind (NumPy scalars included) go down as float; anything else is
    # passed on for the native check to reject with its message.
    if isinstance(tolerance, numbers.Real) and not isinstance(tolerance, bool):
        return float(tolerance)
    return tolerance


@overload
def robust_scanlines(
    x: npt.NDArray[np.floating[Any]],
    y: npt.NDArray[np.floating[Any]],
    *,
    laser_on: npt.ArrayLike | None = None,
    tolerance: float | None = None,
    return_info: Literal[False] = False,
) -> npt.NDArray[np.int32]: ...
@overload
def robust_scanlines(
    x: npt.NDArray[np.floating[Any]],
    y: npt.NDArray[np.floating[Any]],
    *,
    laser_on: npt.ArrayLike | None = None,
    tolerance: float | None = None,
    return_info: Literal[True],
) -> tuple[npt.NDArray[np.int32], RobustInfo]: ...
def robust_scanlines(
    x: npt.NDArray[np.floating[Any]],
    y: npt.NDArray[np.floating[Any]],
    *,
    laser_on: npt.ArrayLike | None = None,
    tolerance: float | None = None,
    return_info: bool = False,
) -> npt.NDArray[np.int32] | tuple[npt.NDArray[np.int32], RobustInfo]:
    """Label the samples of a recorded path with the hatch line each belongs to.

    x and y: 1-D NumPy arrays of one length, both float64 or both float32, read in place at
    any stride. laser_on: None or anything numpy.asarray makes a 1-D bool, integer or floating
    array of that length (nonzero is on, NaN off). tolerance: None to derive the straightness
    tolerance from the data, or a positive finite number in coordinate units.

    Returns a new int32 array: 1, 2, 3, ... for the hatch lines in recording order, -1 for
    every other sample; with return_info=True, the pair (ids, info).
    """
    ids, info = _native.robust_scanlines(x, y, _laser_bytes(laser_on), _tolerance(tolerance))
    return (ids, info) if return_info else ids


def scan_vectors(
    x: npt.NDArray[np.floating[Any]],
    y: npt.NDArray[np.floating[Any]],
    ids: npt.ArrayLike,
) -> npt.NDArray[np.void]:
    """Fit one straight vector to the samples of every positive id.

    x and y as for robust_scanlines; ids: a 1-D array of any integer type and the same length
    (the result of either labelling function). Returns a structured array, one row per positive
    id in increasing order, with the fields id, first, last, count, x0, y0, x1, y1, length,
    angle_deg and rms; see docs/robust.md.
    """
    labels = np.asarray(ids)
    if labels.ndim != 1 or labels.dtype.kind not in "iu":
        raise TypeError(
            f"ids must be a 1-D array of an integer type, not a {labels.ndim}-D array of "
            f"{labels.dtype}"
        )
    if labels.dtype not in (np.dtype(np.int32), np.dtype(np.int64)):
        if (
            labels.dtype.kind == "u"
            and labels.dtype.itemsize == 8
            and labels.size
            and labels.max() > _INT64_MAX
        ):
            raise ValueError("ids must not exceed 2**63 - 1")
        labels = labels.astype(np.int64)
    return _native.scan_vectors(x, y, labels)
