"""Property-based harness for the boundary: annotate_scanlines called with arbitrary objects and
with arrays of every kind (dtype, byte order, dimensionality, stride, alignment, subclass),
bound by any mix of positions and keywords. An oracle written from the binding, dispatch and
input-check rules predicts each outcome from the final objects alone, whatever built them: the
exact TypeError or ValueError with its message, or the model's ids."""

from __future__ import annotations

import gc
import sys
import warnings

import numpy as np
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from reference_model import annotate_model

import vorlane

f = vorlane.annotate_scanlines
NAME = "annotate_scanlines()"
DISPATCH = "x and y must both be 1D numpy arrays of float64 or float32 type"
WIDTHS = ("<f8", "<f4")
OTHER_DTYPES = (
    ">f8",
    ">f4",
    "<f2",
    np.longdouble,
    "<i8",
    "<i4",
    "<u2",
    "?",
    "<c16",
    "<c8",
    "O",
    "<M8[s]",
    "<m8[ms]",
    "<U2",
    "S8",
    "V8",
    [("v", "<f8")],
)


# ---- the oracle ---------------------------------------------------------------------------


def binding_error(nargs: int, names: list[str]) -> str | None:
    if nargs > 2:
        return f"{NAME} takes 2 positional arguments but {nargs} were given"
    filled = [nargs > 0, nargs > 1]
    for name in names:
        if name not in ("x", "y"):
            return f"{NAME} got an unexpected keyword argument '{name}'"
        index = ("x", "y").index(name)
        if filled[index]:
            return f"{NAME} got multiple values for argument '{('x', 'y')[index]}'"
        filled[index] = True
    missing = [f"'{p}'" for p, ok in zip(("x", "y"), filled) if not ok]
    if len(missing) == 1:
        return f"{NAME} missing 1 required positional argument: {missing[0]}"
    if missing:
        return f"{NAME} missing 2 required positional arguments: 'x' and 'y'"
    return None


def reads_as(obj, width: str) -> bool:
    # type(), not isinstance: an object may claim any __class__.
    if not issubclass(type(obj), np.ndarray) or obj.ndim != 1:
        return False
    dt = obj.dtype
    return (
        dt.fields is None
        and dt.kind == "f"
        and dt.isnative
        and dt.itemsize == np.dtype(width).itemsize
    )


def expected_outcome(args: tuple, kwargs: dict):
    """(exception class, message) or the expected ids."""
    message = binding_error(len(args), list(kwargs))
    if message is not None:
        return TypeError, message
    x = args[0] if args else kwargs["x"]
    y = args[1] if len(args) > 1 else kwargs["y"]
    if not any(reads_as(x, w) and reads_as(y, w) for w in WIDTHS):
        return TypeError, DISPATCH
    if len(x) != len(y):
        return ValueError, f"Input x and y length mismatch: {len(x)} vs {len(y)}"
    n = len(x)
    if n == 0:
        return np.empty(0, dtype=np.int32)
    for axis, a in (("x", x), ("y", y)):
        if n != 1 and a.strides[0] != a.itemsize:
            return ValueError, f"{axis} array must be contiguous"
    with np.errstate(all="ignore"):
        return annotate_model(x.view(np.ndarray), y.view(np.ndarray))


# ---- objects ------------------------------------------------------------------------------


class Tagged(np.ndarray):
    def __array_finalize__(self, obj):
        self.tag = getattr(obj, "tag", "tagged")


class HasArray:
    def __init__(self, a):
        self.a = a

    def __array__(self, dtype=None, copy=None):
        return self.a


class HasInterface:
    def __init__(self, a):
        self.__array_interface__ = a.__array_interface__
        self.keep = a


class ClaimsToBeAnArray:
    @property
    def __class__(self):
        return np.ndarray


class Name(str):
    pass


SPECIAL = (
    0.0,
    -0.0,
    1.0,
    -1.0,
    0.5,
    1e-300,
    5e-324,
    1e300,
    float("inf"),
    float("-inf"),
    float("nan"),
    2.0**-52,
    0.6 * 2.0**-52,
    2.0**-23,
)


@st.composite
def coordinates(draw, n: int, dtype) -> np.ndarray:
    kind = draw(st.sampled_from(["zigzag", "few_values", "floats"]))
    if kind == "zigzag":
        # Lines of `per` samples, alternately up and down: real turning points and ids.
        per = draw(st.integers(2, 6))
        k = np.arange(n)
        phase = (k % per) / max(per - 1, 1)
        up = (k // per) % 2 == 0
        values = np.where(up, phase, 1.0 - phase) * draw(st.sampled_from([1.0, 10.0, 1e-3]))
        if draw(st.booleans()):
            values = k + phase / 3  # the x of such a path
    elif kind == "few_values":
        # Repeats make the equal runs the collapse stages join.
        values = draw(st.lists(st.sampled_from(SPECIAL[:6] + (2.0, 3.0)), min_size=n, max_size=n))
    else:
        values = draw(
            st.lists(
                st.floats(allow_nan=True, allow_infinity=True) | st.sampled_from(SPECIAL),
                min_size=n,
                max_size=n,
            )
        )
    with np.errstate(all="ignore"):
        return np.asarray(values, dtype=np.float64).astype(dtype)


LAYOUTS = (
    "contiguous",
    "step_2",
    "reversed",
    "step_minus_3",
    "broadcast",
    "unaligned",
    "record_field",
    "only_field",
    "read_only",
    "row",
    "column",
    "zero_d",
    "three_d",
)
SUBCLASSES = ("plain", "masked", "tagged", "recarray", "matrix")


def laid_out(values: np.ndarray, layout: str, offset: int) -> np.ndarray:
    n, dt = len(values), values.dtype
    if layout == "step_2":
        base = np.zeros(2 * n, dt)
        base[::2] = values
        return base[::2]
    if layout == "reversed":
        return values[::-1].copy()[::-1]
    if layout == "step_minus_3":
        base = np.zeros(3 * n, dt)
        base[::3] = values[::-1]
        return base[3 * n - 3 :: -3] if n else base
    if layout == "broadcast":
        return np.broadcast_to(values[:1], (n,)) if n else values
    if layout == "unaligned" and not dt.hasobject:  # references cannot sit in raw bytes
        buffer = np.zeros(n * dt.itemsize + offset, np.uint8)
        view = buffer[offset:].view(dt)
        view[...] = values
        return view
    if layout == "record_field":
        records = np.zeros(n, dtype=[("v", dt), ("i", "<i4")])  # 12 or 8 bytes a record
        records["v"] = values
        return records["v"]
    if layout == "only_field":
        records = np.zeros(n, dtype=[("v", dt)])  # the field view is contiguous
        records["v"] = values
        return records["v"]
    if layout == "read_only":
        values.flags.writeable = False
        return values
    if layout == "row":
        return values.reshape(1, n)
    if layout == "column":
        return values.reshape(n, 1)
    if layout == "zero_d":
        # A zero of the dtype itself: 0.0 does not convert to every dtype (datetime64).
        return np.asarray(values[0], dtype=dt) if n else np.zeros((), dt)
    if layout == "three_d":
        return values.reshape(1, 1, n)
    return values


def subclassed(a: np.ndarray, subclass: str, mask: list[bool]) -> np.ndarray:
    if subclass == "masked":
        return np.ma.MaskedArray(
            a, mask=np.resize(np.asarray(mask, dtype=bool), a.shape) if a.size else False
        )
    if subclass == "tagged":
        return a.view(Tagged)
    if subclass == "recarray" and not a.dtype.hasobject:
        return a.view(np.recarray)
    if subclass == "matrix" and a.ndim <= 2:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", PendingDeprecationWarning)
            return np.asmatrix(a)
    return a


@st.composite
def arrays(draw, n: int, dtype) -> np.ndarray:
    if np.dtype(dtype).kind == "f" and np.dtype(dtype).itemsize in (4, 8):
        values = draw(coordinates(n, np.dtype(dtype)))
    else:
        values = np.zeros(n, dtype=dtype)
    a = laid_out(values, draw(st.sampled_from(LAYOUTS)), draw(st.integers(1, 7)))
    return subclassed(
        a, draw(st.sampled_from(SUBCLASSES)), draw(st.lists(st.booleans(), min_size=1))
    )


@st.composite
def non_arrays(draw, n: int):
    a = np.zeros(n)
    choices = [
        None,
        1.0,
        7,
        "text",
        b"\0" * 16,
        [0.0] * n,
        tuple([0.0] * n),
        memoryview(a),
        np.float64(1.0),
        np.float32(1.0),
        HasArray(a),
        HasInterface(a),
        ClaimsToBeAnArray(),
        {},
    ]
    return choices[draw(st.integers(0, len(choices) - 1))]


@st.composite
def argument_pair(draw):
    n = draw(st.integers(0, 40))
    width = draw(st.sampled_from(WIDTHS))
    kind = draw(st.sampled_from(["valid", "valid", "valid", "near_valid", "any"]))
    if kind == "valid":
        x = draw(coordinates(n, np.dtype(width)))
        y = x if draw(st.integers(0, 9)) == 0 else draw(coordinates(n, np.dtype(width)))
        return x, y
    if kind == "near_valid":
        # One usable array and one changed in one respect: layout, length, width or subclass.
        m = n if draw(st.booleans()) else draw(st.integers(0, 40))
        other = draw(st.just(width) | st.sampled_from(WIDTHS + OTHER_DTYPES))
        pair = [draw(coordinates(n, np.dtype(width))), draw(arrays(m, other))]
        if draw(st.booleans()):
            pair.reverse()
        return tuple(pair)
    side = st.sampled_from(WIDTHS + OTHER_DTYPES).flatmap(lambda d: arrays(n, d)) | non_arrays(n)
    return draw(side), draw(side)


KEYWORD_NAMES = ("x", "y", "z", "X", "", "xx", "ÿ", "\udc80", Name("y"), Name("x"))


@st.composite
def calls(draw):
    x, y = draw(argument_pair())
    binding = draw(st.sampled_from(["positional", "keywords", "mixed", "any"]))
    if binding == "positional":
        return (x, y), {}
    if binding == "keywords":
        return (), dict(draw(st.permutations([("x", x), ("y", y)])))
    if binding == "mixed":
        return (x,), {"y": y}
    positional = [x, y, x, y][: draw(st.integers(0, 4))]
    names = draw(st.lists(st.sampled_from(KEYWORD_NAMES), max_size=4, unique_by=str))
    values = {"x": x, "y": y}
    return tuple(positional), {name: values.get(str(name), x) for name in names}


# ---- the property -------------------------------------------------------------------------

NEXT_CALL = (np.arange(8.0), np.array([0.0, 1.0] * 4))
NEXT_IDS = annotate_model(*NEXT_CALL)


def objects_of(args: tuple, kwargs: dict) -> list:
    seen = {}
    for obj in (*args, *kwargs.values()):
        seen.setdefault(id(obj), obj)
    return list(seen.values())


def describe(obj) -> str:
    if issubclass(type(obj), np.ndarray):
        return f"{type(obj).__name__}(dtype={obj.dtype}, shape={obj.shape}, strides={obj.strides})"
    return type(obj).__name__


def check_call(args: tuple, kwargs: dict, expected, what: str) -> None:
    try:
        got = f(*args, **kwargs)
    except BaseException as error:  # noqa: BLE001 - anything else than expected fails below
        assert isinstance(expected, tuple), f"{what}: raised {error!r}, expected ids"
        assert type(error) is expected[0] and error.args == (expected[1],), (
            f"{what}: raised {error!r}, expected {expected[0].__name__}({expected[1]!r})"
        )
        return
    assert not isinstance(expected, tuple), (
        f"{what}: returned, expected {expected[0].__name__}({expected[1]!r})"
    )
    assert type(got) is np.ndarray and got.dtype == np.int32 and got.ndim == 1, what
    assert got.flags.c_contiguous and got.flags.writeable and got.flags.owndata, what
    np.testing.assert_array_equal(got, expected, err_msg=what)


@settings(
    max_examples=1000,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
@given(call=calls())
def test_only_the_documented_outcomes_come_out(call):
    args, kwargs = call
    expected = expected_outcome(args, kwargs)
    if isinstance(expected, tuple):
        event(f"{expected[0].__name__}: {expected[1][:34]}")
    else:
        event("ids" if (expected > 0).any() else "ids, all -1" if len(expected) else "empty")
    # Small ints, strings and the like are shared with the whole interpreter, whose own work
    # moves their counts; only the arguments' own objects say anything about this call.
    objects = [
        o
        for o in objects_of(args, kwargs)
        if not isinstance(o, (int, float, complex, str, bytes, type(None)))
    ]
    what = f"args {[describe(a) for a in args]}, keywords {[(k, describe(v)) for k, v in kwargs.items()]}"
    # A collection inside the window could free cycles that hold the objects.
    gc.disable()
    try:
        refs_before = [sys.getrefcount(o) for o in objects]
        check_call(args, kwargs, expected, what)
        refs_after = [sys.getrefcount(o) for o in objects]
    finally:
        gc.enable()
    assert refs_after == refs_before, f"{what}: reference counts changed"
    # Whatever happened, nothing of it may reach the next call.
    np.testing.assert_array_equal(f(*NEXT_CALL), NEXT_IDS, err_msg=f"the call after {what}")
