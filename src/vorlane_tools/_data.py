"""Coordinates as the labelling functions take them, from arrays of any origin, and layers
from the three single-layer file formats. Files are read as data only: nothing is unpickled."""

from __future__ import annotations

import csv
import os
from typing import Any

import numpy as np
from numpy.typing import NDArray

Coordinates = tuple[NDArray[np.floating[Any]], NDArray[np.floating[Any]]]


class InputError(Exception):
    """A problem with what the user gave: the command reports it in one line, exit status 2."""


def check_dtype(dtype: np.dtype[Any], what: str) -> None:
    """Refuse everything but real floating point, objects above all (they would be unpickled)."""
    if dtype.hasobject:
        raise InputError(f"{what} is an object array; only floating-point data is read")
    if dtype.kind != "f":
        raise InputError(f"{what} has dtype {dtype}, not floating point")


def coordinates(x: Any, y: Any, where: str) -> Coordinates:
    """x and y as two contiguous 1-D arrays of one width: float32 when both are, else float64.

    Raises
    ------
    InputError
        When either is not 1-D floating point or their lengths differ; the message names
        ``where`` they came from.
    """
    x, y = np.asarray(x), np.asarray(y)
    for name, a in (("x", x), ("y", y)):
        check_dtype(a.dtype, f"{where}: {name}")
        if a.ndim != 1:
            raise InputError(f"{where}: {name} must be 1-D, not of shape {a.shape}")
    if len(x) != len(y):
        raise InputError(f"{where}: x and y differ in length ({len(x)} and {len(y)})")
    dtype = np.float32 if x.dtype == np.float32 and y.dtype == np.float32 else np.float64
    return np.ascontiguousarray(x, dtype=dtype), np.ascontiguousarray(y, dtype=dtype)


LAYER_FILE_SUFFIXES = (".npy", ".npz", ".csv")


def is_layer_file(path: str) -> bool:
    return os.path.splitext(path)[1].lower() in LAYER_FILE_SUFFIXES


def load_layer_file(path: str) -> Coordinates:
    """Read one layer from a ``.npy``, ``.npz`` or ``.csv`` file.

    A ``.npy`` file holds an ``(n, 2)`` array of x and y (or ``(2, n)`` where n is not 2) or a
    structured array with fields ``x`` and ``y``; a ``.npz`` file holds arrays ``x`` and ``y``;
    a ``.csv`` file has a header row naming columns ``x`` and ``y`` (in any case and order).

    Raises
    ------
    InputError
        For a missing or unreadable file, missing columns, object arrays and the problems
        :func:`coordinates` names.
    """
    if not os.path.isfile(path):
        raise InputError(f"{path}: no such file")
    suffix = os.path.splitext(path)[1].lower()
    try:
        if suffix == ".npy":
            return _from_npy(path, np.load(path, mmap_mode="r", allow_pickle=False))
        if suffix == ".npz":
            with np.load(path, allow_pickle=False) as z:
                missing = sorted({"x", "y"} - set(z.files))
                if missing:
                    raise InputError(f"{path}: no array named {' or '.join(missing)}")
                return coordinates(z["x"], z["y"], path)
        if suffix == ".csv":
            return _from_csv(path)
    except ValueError as err:
        if "allow_pickle" in str(err) or "object" in str(err).lower():
            raise InputError(
                f"{path}: holds an object array; only floating-point data is read"
            ) from None
        raise InputError(f"{path}: {err}") from None
    raise InputError(f"{path}: unknown file type {suffix!r} (use .npy, .npz or .csv)")


def _from_npy(path: str, a: NDArray[Any]) -> Coordinates:
    if a.dtype.names:
        missing = sorted({"x", "y"} - set(a.dtype.names))
        if missing:
            raise InputError(f"{path}: no field named {' or '.join(missing)}")
        return coordinates(a["x"], a["y"], path)
    check_dtype(a.dtype, path)
    if a.ndim == 2 and a.shape[1] == 2:
        return coordinates(a[:, 0], a[:, 1], path)
    if a.ndim == 2 and a.shape[0] == 2:
        return coordinates(a[0], a[1], path)
    raise InputError(f"{path}: expected an (n, 2) or (2, n) array, not of shape {a.shape}")


def _from_csv(path: str) -> Coordinates:
    with open(path, newline="") as f:
        header = [name.strip().lower() for name in next(csv.reader(f), [])]
    if "x" not in header or "y" not in header:
        raise InputError(f"{path}: the header row names no columns x and y")
    columns = (header.index("x"), header.index("y"))
    data = np.loadtxt(path, delimiter=",", skiprows=1, usecols=columns, ndmin=2)
    return coordinates(data[:, 0], data[:, 1], path)
