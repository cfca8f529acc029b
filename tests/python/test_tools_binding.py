"""The vorlane_tools functions as callers see them: names, argument rules and their messages,
empty input, result types, the info dict, and the normalisation of laser_on and tolerance."""

from __future__ import annotations

import inspect

import numpy as np
import pytest

import vorlane
import vorlane_tools
from vorlane_tools import _labelling, _native, robust_scanlines, scan_vectors

VECTOR_FIELDS = [
    "id",
    "first",
    "last",
    "count",
    "x0",
    "y0",
    "x1",
    "y1",
    "length",
    "angle_deg",
    "rms",
]
INFO_TYPES = {
    "noise": float,
    "tolerance": float,
    "sample_step": float,
    "line_spacing": float,
    "window": int,
    "angles_deg": list,
    "lines": int,
    "rejected": dict,
}

a64 = np.linspace(0.0, 1.0, 5)
a32 = a64.astype(np.float32)
ids5 = np.array([1, 1, 0, 2, 2], np.int32)


def test_package_names_and_version():
    assert {"robust_scanlines", "scan_vectors"} <= set(vorlane_tools.__all__)
    assert isinstance(vorlane_tools.__version__, str) and vorlane_tools.__version__
    assert {"robust_scanlines", "scan_vectors"} <= set(_native.__all__)
    assert _native.robust_scanlines.__module__ == "vorlane_tools._native"
    assert _native.scan_vectors.__text_signature__ == "(x, y, ids, /)"
    # The modules share their pool through the platform library, never through vorlane.
    assert vorlane.__all__ == ["annotate_scanlines"]
    parameters = inspect.signature(robust_scanlines).parameters
    assert [p for p, v in parameters.items() if v.kind is v.KEYWORD_ONLY] == [
        "laser_on",
        "tolerance",
        "return_info",
    ]


ERRORS = [
    # (call, exception, text the message must contain)
    (lambda: robust_scanlines(list(a64), a64), TypeError, "x must be a 1-D NumPy array"),
    (lambda: robust_scanlines(a64, None), TypeError, "y must be a 1-D NumPy array"),
    (lambda: robust_scanlines(a64.reshape(5, 1), a64), TypeError, "not 2-D array"),
    (lambda: robust_scanlines(np.zeros(()), a64), TypeError, "not 0-D array"),
    (lambda: robust_scanlines(a64.astype(np.int64), a64), TypeError, "not array of int64"),
    (lambda: robust_scanlines(a64, a64.astype(">f8")), TypeError, "y must be"),
    (lambda: robust_scanlines(a64.astype(np.float16), a64), TypeError, "x must be"),
    (lambda: robust_scanlines(a64, a32), TypeError, "not float64 and float32"),
    (lambda: scan_vectors(a32, a64, ids5), TypeError, "not float32 and float64"),
    (lambda: robust_scanlines(a64, a64[:4]), ValueError, "same length, not 5 and 4"),
    (lambda: robust_scanlines(a64, a64, laser_on=[1, 0]), ValueError, "laser_on"),
    (lambda: robust_scanlines(a64, a64, laser_on=np.ones((5, 1))), TypeError, "laser_on"),
    (lambda: robust_scanlines(a64, a64, laser_on=["on"] * 5), TypeError, "laser_on"),
    (lambda: robust_scanlines(a64, a64, tolerance=0), ValueError, "tolerance"),
    (lambda: robust_scanlines(a64, a64, tolerance=-1e-3), ValueError, "tolerance"),
    (lambda: robust_scanlines(a64, a64, tolerance=float("nan")), ValueError, "tolerance"),
    (lambda: robust_scanlines(a64, a64, tolerance=np.inf), ValueError, "tolerance"),
    (lambda: robust_scanlines(a64, a64, tolerance="1"), TypeError, "tolerance"),
    (lambda: robust_scanlines(a64, a64, tolerance=True), TypeError, "tolerance"),
    (lambda: robust_scanlines(a64, a64, None), TypeError, "positional"),
    (lambda: scan_vectors(a64, a64, ids5.astype(float)), TypeError, "ids must be"),
    (lambda: scan_vectors(a64, a64, ids5[:3]), ValueError, "ids must have the same length"),
    (lambda: scan_vectors(a64, a64, ids5.reshape(5, 1)), TypeError, "ids must be"),
    (lambda: scan_vectors(a64, a64, np.array([2**63] * 5, np.uint64)), ValueError, "2**63"),
    (lambda: _native.robust_scanlines(a64, a64), TypeError, "takes exactly 4 arguments"),
    (lambda: _native.scan_vectors(a64, a64, ids5.astype(np.int16)), TypeError, "int32 or int64"),
    (lambda: _native.robust_scanlines(a64, a64, np.ones(5), None), TypeError, "laser_on"),
    (
        lambda: _native.robust_scanlines(a64, a64, np.ones(10, bool)[::2], None),
        TypeError,
        "contiguous",
    ),
]


@pytest.mark.parametrize("call, exception, text", ERRORS)
def test_bad_arguments_raise_naming_the_argument(call, exception, text):
    with pytest.raises(exception) as caught:
        call()
    assert text in str(caught.value)
    # The next valid call is unaffected.
    assert robust_scanlines(a64, a64).shape == (5,)


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_empty_input_gives_empty_results(dtype):
    empty = np.empty(0, dtype)
    ids, info = robust_scanlines(empty, empty, laser_on=[], return_info=True)
    assert ids.dtype == np.int32 and ids.shape == (0,)
    assert set(info) == set(INFO_TYPES)
    table = scan_vectors(empty, empty, np.empty(0, np.int64))
    assert table.shape == (0,) and table.dtype.names == tuple(VECTOR_FIELDS)


@pytest.mark.parametrize("x, y", [(a64, a64), (a32, a32)])
def test_results_are_new_arrays_of_the_documented_types(x, y):
    ids, info = robust_scanlines(x, y, return_info=True)
    assert ids.dtype == np.int32 and ids.shape == x.shape and ids.flags.c_contiguous
    assert ids.flags.writeable and ids.flags.owndata
    assert not np.shares_memory(ids, robust_scanlines(x, y))
    assert {k: type(v) for k, v in info.items()} == INFO_TYPES
    table = scan_vectors(x, y, ids5)
    assert table.dtype.names == tuple(VECTOR_FIELDS)
    assert [table.dtype[f].kind for f in VECTOR_FIELDS] == ["i"] * 4 + ["f"] * 7
    assert table.dtype.itemsize == 88 and table.flags.writeable


@pytest.mark.parametrize(
    "ids",
    [
        ids5,
        ids5.astype(np.int64),
        ids5.astype(np.uint8),
        ids5.astype(">i4"),
        ids5.astype(np.int16),
        list(ids5),
        ids5.astype(np.uint64),
    ],
)
def test_ids_of_any_integer_type_give_the_same_rows(ids):
    expected = scan_vectors(a64, a64 * 2, ids5)
    assert scan_vectors(a64, a64 * 2, ids).tobytes() == expected.tobytes()
    assert list(expected["id"]) == [1, 2]


LASER = [
    ([True, False, True], [1, 0, 1]),
    ([2, 0, -1], [1, 0, 1]),
    (np.array([0.5, np.nan, 0.0]), [1, 0, 0]),
    (np.array([np.inf, -0.0, 3], np.float32), [1, 0, 1]),
    (np.array([1, 0, 1], np.uint64)[::-1], [1, 0, 1]),
]


@pytest.mark.parametrize("laser_on, expected", LASER)
def test_laser_on_nonzero_is_on_and_nan_is_off(laser_on, expected):
    on = _labelling._laser_bytes(laser_on)
    assert on.dtype == np.bool_ and on.flags.c_contiguous
    assert on.tolist() == [bool(e) for e in expected]
    x = np.arange(3.0)
    assert robust_scanlines(x, x, laser_on=laser_on, tolerance=np.float32(0.5)).shape == (3,)
