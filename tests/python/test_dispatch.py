"""Width dispatch and views: which objects are read as 1-D float64 or float32 arrays, how
strides reach the core's contiguity checks, the result array, and that inputs are left as they
were (contents and reference counts)."""

from __future__ import annotations

import sys

import numpy as np
import pytest
from conftest import SIX_STEEP_LINES_IDS, six_steep_lines

import vorlane

f = vorlane.annotate_scanlines
DISPATCH = "x and y must both be 1D numpy arrays of float64 or float32 type"
X_STRIDED = "x array must be contiguous"
Y_STRIDED = "y array must be contiguous"
WIDTHS = [np.float64, np.float32]


GOOD = np.linspace(0.0, 1.0, 4)
BAD_INPUTS = [
    ("list", [0.0, 1.0, 2.0, 3.0]),
    ("tuple", (0.0, 1.0, 2.0, 3.0)),
    ("python_float", 1.0),
    ("none", None),
    ("numpy_scalar", np.float64(1.0)),
    ("zero_d", np.array(1.0)),
    ("two_d", np.zeros((2, 2))),
    ("column", np.zeros((4, 1))),
    ("int64", np.arange(4, dtype=np.int64)),
    ("int32", np.arange(4, dtype=np.int32)),
    ("bool", np.zeros(4, dtype=bool)),
    ("float16", np.zeros(4, dtype=np.float16)),
    ("longdouble", np.zeros(4, dtype=np.longdouble)),
    ("complex128", np.zeros(4, dtype=np.complex128)),
    ("complex64", np.zeros(4, dtype=np.complex64)),
    ("object", np.array([0.0, 1.0, 2.0, 3.0], dtype=object)),
    ("record", np.zeros(4, dtype=[("v", "<f8")])),
    ("big_endian_f8", np.zeros(4, dtype=">f8")),
    ("big_endian_f4", np.zeros(4, dtype=">f4")),
    ("bytes", b"\0" * 32),
    ("memoryview", memoryview(np.zeros(4))),
]


@pytest.mark.parametrize("bad", [b for _, b in BAD_INPUTS], ids=[n for n, _ in BAD_INPUTS])
@pytest.mark.parametrize("side", ["x", "y", "both"])
@pytest.mark.parametrize("dtype", WIDTHS)
def test_unusable_argument_raises_the_one_type_error(bad, side, dtype):
    good = GOOD.astype(dtype)
    args = {"x": (bad, good), "y": (good, bad), "both": (bad, bad)}[side]
    with pytest.raises(TypeError) as caught:
        f(*args)
    assert type(caught.value) is TypeError
    assert caught.value.args == (DISPATCH,)


@pytest.mark.parametrize("x_dtype, y_dtype", [(np.float64, np.float32), (np.float32, np.float64)])
def test_mixed_widths_raise_the_one_type_error(x_dtype, y_dtype):
    with pytest.raises(TypeError) as caught:
        f(GOOD.astype(x_dtype), GOOD.astype(y_dtype))
    assert caught.value.args == (DISPATCH,)


@pytest.mark.parametrize("dtype", WIDTHS)
def test_both_widths_run(dtype):
    x, y = six_steep_lines(dtype=dtype)
    np.testing.assert_array_equal(f(x, y), SIX_STEEP_LINES_IDS)


def record_field(n: int, dtype, record_size: int) -> np.ndarray:
    """A view of the first field of packed records of `record_size` bytes."""
    padding = record_size - np.dtype(dtype).itemsize
    records = np.zeros(n, dtype=[("v", dtype), ("pad", f"V{padding}")])
    records["v"] = np.arange(n)
    view = records["v"]
    assert view.strides == (record_size,)
    return view


def strided_views(dtype, n: int):
    """Views of n elements whose element stride is not 1, by name."""
    base = np.arange(4 * n, dtype=dtype)
    return {
        "every_other": base[::2][:n],
        "reversed": base[:n][::-1],
        "zero_stride": np.broadcast_to(base[:1], (n,)),
        "record_field_12_bytes": record_field(n, dtype, 12),
        "record_field_16_bytes": record_field(n, dtype, 16),
        "record_field_13_bytes": record_field(n, dtype, 13),
    }


STRIDED_NAMES = list(strided_views(np.float64, 3))


@pytest.mark.parametrize("name", STRIDED_NAMES)
@pytest.mark.parametrize("dtype", WIDTHS)
def test_strided_view_is_not_contiguous(name, dtype):
    view = strided_views(dtype, 3)[name]
    packed = np.zeros(3, dtype=dtype)
    cases = [((view, packed), X_STRIDED), ((packed, view), Y_STRIDED), ((view, view), X_STRIDED)]
    for args, message in cases:
        with pytest.raises(ValueError) as caught:
            f(*args)
        assert caught.value.args == (message,), f"{name}: {caught.value.args!r}"


@pytest.mark.parametrize("name", STRIDED_NAMES)
@pytest.mark.parametrize("dtype", WIDTHS)
def test_single_element_view_is_exempt_from_contiguity(name, dtype):
    view = strided_views(dtype, 1)[name]
    packed = np.zeros(1, dtype=dtype)
    expected = f(packed, packed)
    assert len(expected) == 1
    for args in [(view, packed), (packed, view), (view, view)]:
        np.testing.assert_array_equal(f(*args), expected)


@pytest.mark.parametrize("dtype", WIDTHS)
def test_length_check_comes_before_contiguity(dtype):
    x = np.arange(10, dtype=dtype)[::2]
    y = np.arange(14, dtype=dtype)[::2]
    with pytest.raises(ValueError) as caught:
        f(x, y)
    assert caught.value.args == ("Input x and y length mismatch: 5 vs 7",)


@pytest.mark.parametrize("nx, ny", [(5, 7), (7, 5), (0, 3), (3, 0), (1, 2)])
@pytest.mark.parametrize("dtype", WIDTHS)
def test_length_mismatch_is_a_value_error_with_both_counts(nx, ny, dtype):
    with pytest.raises(ValueError) as caught:
        f(np.zeros(nx, dtype=dtype), np.zeros(ny, dtype=dtype))
    assert type(caught.value) is ValueError
    assert caught.value.args == (f"Input x and y length mismatch: {nx} vs {ny}",)


@pytest.mark.parametrize("dtype", WIDTHS)
@pytest.mark.parametrize(
    "make",
    [lambda d: np.empty(0, d), lambda d: np.empty(0, d)[::-1], lambda d: np.empty(6, d)[6:]],
    ids=["empty", "empty_reversed", "empty_slice"],
)
def test_empty_input_gives_an_empty_int32_array(dtype, make):
    result = f(make(dtype), make(dtype))
    assert type(result) is np.ndarray
    assert result.dtype == np.int32 and result.shape == (0,)
    assert result.strides == (0,)


def test_read_only_arrays_are_accepted():
    x, y = six_steep_lines()
    x.flags.writeable = False
    y.flags.writeable = False
    np.testing.assert_array_equal(f(x, y), SIX_STEEP_LINES_IDS)


def test_masked_arrays_are_read_as_plain_arrays():
    x, y = six_steep_lines()
    masked_x = np.ma.masked_array(x, mask=np.arange(len(x)) % 2 == 0)
    masked_y = np.ma.masked_array(y, mask=True)
    result = f(masked_x, masked_y)
    assert type(result) is np.ndarray
    np.testing.assert_array_equal(result, SIX_STEEP_LINES_IDS)


def test_other_subclasses_are_read_as_plain_arrays():
    class Coordinates(np.ndarray):
        pass

    x, y = six_steep_lines()
    result = f(x.view(Coordinates), y.view(Coordinates))
    assert type(result) is np.ndarray
    np.testing.assert_array_equal(result, SIX_STEEP_LINES_IDS)


def test_memmap_is_accepted(tmp_path):
    x, y = six_steep_lines()
    path = tmp_path / "coordinates.bin"
    np.concatenate([x, y]).tofile(path)
    mapped = np.memmap(path, dtype=np.float64, mode="r", shape=(2 * len(x),))
    np.testing.assert_array_equal(f(mapped[: len(x)], mapped[len(x) :]), SIX_STEEP_LINES_IDS)
    del mapped


def test_same_array_as_x_and_y_is_accepted():
    a = np.array([0.0, 1.0, 2.0, 3.0])
    np.testing.assert_array_equal(f(a, a), f(a.copy(), a.copy()))


def test_equivalent_descriptor_with_metadata_is_accepted():
    x, y = six_steep_lines()
    tagged = np.dtype(np.float64, metadata={"unit": "mm"})
    np.testing.assert_array_equal(f(x.astype(tagged), y.astype(tagged)), SIX_STEEP_LINES_IDS)


@pytest.mark.parametrize("dtype", WIDTHS)
@pytest.mark.parametrize("offset", [1, 2, 3])
def test_unaligned_arrays_are_read_correctly(dtype, offset):
    x, y = six_steep_lines(dtype=dtype)
    views = []
    for values in (x, y):
        raw = np.zeros(values.nbytes + offset, dtype=np.uint8)
        view = raw[offset:].view(dtype)
        view[:] = values
        assert not view.flags.aligned
        views.append(view)
    np.testing.assert_array_equal(f(*views), SIX_STEEP_LINES_IDS)


@pytest.mark.parametrize("dtype", WIDTHS)
def test_result_is_a_new_writeable_c_contiguous_int32_array(dtype):
    x, y = six_steep_lines(dtype=dtype)
    x_before, y_before = x.copy(), y.copy()
    first = f(x, y)
    second = f(x, y)
    for result in (first, second):
        assert type(result) is np.ndarray
        assert result.dtype == np.dtype(np.int32) and result.dtype.isnative
        assert result.shape == (len(x),) and result.strides == (4,)
        assert result.flags.c_contiguous and result.flags.writeable and result.flags.owndata
        assert result.base is None
    assert first is not second
    assert not np.shares_memory(first, second)
    assert not np.shares_memory(first, x) and not np.shares_memory(first, y)
    first[:] = 99
    np.testing.assert_array_equal(x, x_before)
    np.testing.assert_array_equal(y, y_before)
    np.testing.assert_array_equal(second, SIX_STEEP_LINES_IDS)


def failing_and_succeeding_calls():
    x, y = six_steep_lines()
    x32, y32 = six_steep_lines(dtype=np.float32)
    return (
        x,
        y,
        [
            ("success", lambda: f(x, y)),
            ("success_keywords", lambda: f(y=y, x=x)),
            ("dispatch_error_y", lambda: f(x, y.astype(np.int64))),
            ("dispatch_error_mixed", lambda: f(x, y32)),
            ("dispatch_error_x", lambda: f(x32.astype(np.float16), y)),
            ("length_mismatch", lambda: f(x, y[:5])),
            ("not_contiguous", lambda: f(x, y[::-1])),
            ("binding_error", lambda: f(x, y, x)),
            ("same_array", lambda: f(x, x)),
        ],
    )


def test_reference_counts_of_inputs_are_unchanged():
    x, y, calls = failing_and_succeeding_calls()
    before = (sys.getrefcount(x), sys.getrefcount(y))
    for name, call in calls:
        for _ in range(3):
            try:
                call()
            except (TypeError, ValueError):
                pass
        after = (sys.getrefcount(x), sys.getrefcount(y))
        assert after == before, f"{name}: reference counts went from {before} to {after}"


def test_result_reference_count_is_that_of_a_new_object():
    x, y = six_steep_lines()
    result = f(x, y)
    # One reference from `result`, one from getrefcount's own argument.
    assert sys.getrefcount(result) == 2
