"""Internal faults and the call guard: the PanicException class, injected faults in the core
and at the boundary, the shared read-borrow registry (conflicts, foreign registries), NumPy
tables that are rejected, memory exhaustion as MemoryError, and that every failure leaves the
module ready for the next call."""

from __future__ import annotations

import ctypes
import importlib
import importlib.util
import json
import os
import sys

import numpy as np
import pytest
from conftest import SIX_STEEP_LINES_IDS, six_steep_lines

import vorlane

f = vorlane.annotate_scanlines
NUMPY_MAJOR = int(np.__version__.split(".")[0])
MULTIARRAY = "numpy._core.multiarray" if NUMPY_MAJOR >= 2 else "numpy.core.multiarray"
REGISTRY_ATTRIBUTE = "_VORLANE_BORROW_CHECKING_API"


def assert_next_call_is_correct():
    for dtype in (np.float64, np.float32):
        np.testing.assert_array_equal(f(*six_steep_lines(dtype)), SIX_STEEP_LINES_IDS)


def panic_from(call):
    """The PanicException a call raises (which `except Exception` must not catch)."""
    try:
        try:
            call()
        except Exception as wrong:  # noqa: BLE001 - the point is that this does not catch it
            pytest.fail(f"an Exception handler caught {wrong!r}")
    except BaseException as e:  # noqa: BLE001
        if type(e).__name__ != "PanicException":
            raise
        return e
    pytest.fail("no exception was raised")


@pytest.fixture
def inject(monkeypatch, needs_hooks):
    """inject(site): selects the fault-injection site for the calls that follow."""
    return lambda site: monkeypatch.setenv("VORLANE_INJECT_FAULT", site)


# ---- the exception class ------------------------------------------------------------------


def test_panic_exception_derives_from_base_exception_only(inject):
    inject("annotate")
    panic = panic_from(lambda: f(*six_steep_lines()))
    cls = type(panic)
    assert cls.__mro__ == (cls, BaseException, object)
    assert not issubclass(cls, Exception)
    assert cls.__name__ == "PanicException"
    assert f"{cls.__module__}.{cls.__qualname__}" == "vorlane_runtime.PanicException"
    assert "BaseException" in cls.__doc__ and "SystemExit" in cls.__doc__


def test_panic_exception_has_the_message_as_its_one_argument(inject):
    inject("annotate")
    panic = panic_from(lambda: f(*six_steep_lines()))
    assert panic.args == ("injected fault at annotate",)
    assert str(panic) == "injected fault at annotate"


def test_faults_raise_instances_of_one_class(inject):
    inject("annotate")
    first = panic_from(lambda: f(*six_steep_lines()))
    inject("dispatch")
    second = panic_from(lambda: f(*six_steep_lines(np.float32)))
    assert type(first) is type(second)
    assert second.args == ("injected fault at dispatch",)


def test_fault_report_goes_to_standard_error(inject, capfd):
    inject("annotate")
    panic_from(lambda: f(*six_steep_lines()))
    err = capfd.readouterr().err
    assert "faulted at" in err and "injected fault at annotate" in err


# ---- injected faults ------------------------------------------------------------------------

FAULT_SITES = [
    ("annotate", "PanicException", "injected fault at annotate"),
    ("dispatch", "PanicException", "injected fault at dispatch"),
    ("result_array", "PanicException", "PyObject pointer is null"),
    ("annotate:bad_alloc", "MemoryError", ""),
    ("dispatch:bad_alloc", "MemoryError", ""),
    ("result_array:no_memory", "MemoryError", ""),
]


@pytest.mark.parametrize("site, kind, message", FAULT_SITES, ids=[s for s, _, _ in FAULT_SITES])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_injected_fault_is_raised_and_the_next_call_is_correct(
    inject, monkeypatch, site, kind, message, dtype
):
    x, y = six_steep_lines(dtype)
    monkeypatch.setattr(sys, "unraisablehook", lambda info: None)  # result_array reports one
    before = (sys.getrefcount(x), sys.getrefcount(y))
    inject(site)
    with pytest.raises(BaseException) as caught:
        f(x, y)
    assert type(caught.value).__name__ == kind
    if message:
        assert caught.value.args == (message,)
    assert (sys.getrefcount(x), sys.getrefcount(y)) == before
    monkeypatch.delenv("VORLANE_INJECT_FAULT")
    assert_next_call_is_correct()
    # The call's read borrows were withdrawn: a write borrow of the same arrays is granted.
    registry = Registry.shared()
    for a in (x, y):
        assert registry.acquire_mut(registry.state, a) == 0
        registry.release_mut(registry.state, a)


def test_failed_result_array_reports_the_host_error_as_unraisable(inject, monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda info: seen.append(info.exc_value))
    inject("result_array")
    panic = panic_from(lambda: f(*six_steep_lines()))
    assert panic.args == ("PyObject pointer is null",)
    assert len(seen) == 1 and type(seen[0]) is RuntimeError
    assert str(seen[0]) == "injected failure of PyArray_NewFromDescr"


def test_failed_append_to_all_fails_the_import(run_python, needs_hooks):
    result = run_python(
        """
        try:
            import vorlane
        except BaseException as e:
            print(type(e).__name__, type(e).__mro__[1].__name__, e.args)
        """,
        env={"VORLANE_INJECT_FAULT": "exec_append"},
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(
        "PanicException BaseException ('could not append __name__ "
        "to __all__: RuntimeError: injected failure of PyList_Append',)"
    )


def test_fault_while_raising_a_fault_aborts(run_python, needs_hooks, tmp_path):
    # Without NumPy every call faults; the injected site then makes PanicException impossible
    # to create, which is a fault outside the guard's catching region.
    module_file = importlib.util.find_spec("vorlane").origin
    (tmp_path / "vorlane.abi3.so").symlink_to(module_file)
    result = run_python(
        f"""
        import sys
        sys.path.insert(0, {str(tmp_path)!r})
        import vorlane
        vorlane.annotate_scanlines(1, 2)
        print("not reached")
        """,
        args=("-I", "-S"),
        env={"VORLANE_INJECT_FAULT": "panic_class"},
    )
    assert result.returncode == -6, (result.returncode, result.stderr)
    assert "not reached" not in result.stdout
    assert result.stderr.rstrip().endswith("uncaught panic at ffi boundary")


# ---- the read-borrow registry -------------------------------------------------------------

ACQUIRE = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)


class Registry(ctypes.Structure):
    """Protocol version 1 of the registry, as borrow_registry.hpp lays it out. PYFUNCTYPE:
    its operations must be called with the interpreter lock held."""

    _fields_ = [
        ("version", ctypes.c_uint64),
        ("state", ctypes.c_void_p),
        ("acquire", ACQUIRE),
        ("acquire_mut", ACQUIRE),
        ("release", RELEASE),
        ("release_mut", RELEASE),
    ]

    @staticmethod
    def shared() -> Registry:
        f(np.zeros(1), np.zeros(1))  # the first call publishes the registry
        capsule = getattr(importlib.import_module(MULTIARRAY), REGISTRY_ATTRIBUTE)
        get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
        get_pointer.restype = ctypes.c_void_p
        get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
        address = get_pointer(capsule, REGISTRY_ATTRIBUTE.encode())
        return Registry.from_address(address)


@pytest.fixture
def registry():
    return Registry.shared()


@pytest.fixture
def write_borrow(registry):
    """write_borrow(array): registers a write borrow held until the test ends."""
    held = []

    def borrow(array):
        assert registry.acquire_mut(registry.state, array) == 0
        held.append(array)
        return array

    yield borrow
    for array in reversed(held):
        registry.release_mut(registry.state, array)


def test_registry_is_published_as_protocol_version_1(registry):
    assert registry.version == 1


@pytest.mark.parametrize("side", ["x", "y"])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_write_borrowed_argument_is_a_borrow_conflict(write_borrow, side, dtype):
    x, y = six_steep_lines(dtype)
    write_borrow(x if side == "x" else y)
    before = (sys.getrefcount(x), sys.getrefcount(y))
    panic = panic_from(lambda: f(x, y))
    assert len(panic.args) == 1 and panic.args[0].endswith("AlreadyBorrowed")
    assert panic.args[0].startswith(f"{side} array")
    assert (sys.getrefcount(x), sys.getrefcount(y)) == before


def test_borrow_conflict_is_found_through_overlapping_views(write_borrow):
    x, y = six_steep_lines()
    base = np.concatenate([x, y])
    write_borrow(base[20:30])
    panic_from(lambda: f(base[:24], base[24:]))  # both overlap the borrowed bytes
    np.testing.assert_array_equal(f(base[:20].copy(), base[:20]), f(x[:20], x[:20]))
    np.testing.assert_array_equal(f(base[30:], base[30:]), f(y[6:], y[6:]))


def test_width_dispatch_order_decides_between_type_error_and_conflict(write_borrow):
    x32, _ = six_steep_lines(np.float32)
    _, y64 = six_steep_lines()
    write_borrow(x32)
    # The 64-bit attempt rejects x32 by type; the 32-bit attempt reads x32 first and conflicts.
    panic = panic_from(lambda: f(x32, y64))
    assert panic.args[0].endswith("AlreadyBorrowed")


def test_read_borrows_coexist_and_end_with_the_call(registry):
    x, y = six_steep_lines()
    assert registry.acquire(registry.state, x) == 0  # a foreign reader
    try:
        np.testing.assert_array_equal(f(x, x), f(x.copy(), x.copy()))
        np.testing.assert_array_equal(f(x, y), SIX_STEEP_LINES_IDS)
        assert registry.acquire_mut(registry.state, x) == -1  # the foreign read borrow remains
    finally:
        registry.release(registry.state, x)
    assert registry.acquire_mut(registry.state, x) == 0
    registry.release_mut(registry.state, x)


def test_read_only_array_cannot_be_write_borrowed(registry):
    x, _ = six_steep_lines()
    x.flags.writeable = False
    assert registry.acquire_mut(registry.state, x) == -2


def test_next_call_after_a_conflict_is_correct(registry):
    x, y = six_steep_lines()
    assert registry.acquire_mut(registry.state, y) == 0
    panic_from(lambda: f(x, y))
    registry.release_mut(registry.state, y)
    assert_next_call_is_correct()
    np.testing.assert_array_equal(f(x, y), SIX_STEEP_LINES_IDS)


FOREIGN_REGISTRY = r"""
import ctypes, importlib, json
import numpy as np
import vorlane

ACQUIRE = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)
class Registry(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint64), ("state", ctypes.c_void_p),
                ("acquire", ACQUIRE), ("acquire_mut", ACQUIRE),
                ("release", RELEASE), ("release_mut", RELEASE)]

log = []
def acquire(state, array):
    log.append(["acquire", array.dtype.name, array[0].item()])
    return CODE
def release(state, array):
    log.append(["release", array.dtype.name, array[0].item()])

callbacks = [ACQUIRE(acquire), ACQUIRE(acquire), RELEASE(release), RELEASE(release)]
registry = Registry(VERSION, None, *callbacks)
new_capsule = ctypes.pythonapi.PyCapsule_New
new_capsule.restype = ctypes.py_object
new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
name = b"_VORLANE_BORROW_CHECKING_API"
capsule = new_capsule(ctypes.addressof(registry), name, None)
multiarray = importlib.import_module(MULTIARRAY)
setattr(multiarray, "_VORLANE_BORROW_CHECKING_API", ATTRIBUTE)

outcomes = []
for _ in range(2):
    try:
        ids = vorlane.annotate_scanlines(np.array([1.0, 2.0, 3.0]), np.array([7.0, 8.0, 9.0]))
        outcomes.append(["ok", ids.tolist()])
    except BaseException as e:
        outcomes.append([type(e).__name__, str(e)])
print(json.dumps({"outcomes": outcomes, "log": log}))
"""


def run_with_foreign_registry(run_python, code=0, version=1, attribute="capsule"):
    script = (
        FOREIGN_REGISTRY.replace("CODE", str(code))
        .replace("VERSION", str(version))
        .replace("MULTIARRAY", repr(MULTIARRAY))
        .replace("ATTRIBUTE", attribute)
    )
    result = run_python(script)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


def test_registry_found_on_numpy_is_used_and_released_y_before_x(run_python):
    report = run_with_foreign_registry(run_python)
    assert [o[0] for o in report["outcomes"]] == ["ok", "ok"]
    one_call = [
        ["acquire", "float64", 1.0],
        ["acquire", "float64", 7.0],
        ["release", "float64", 7.0],
        ["release", "float64", 1.0],
    ]
    assert report["log"] == one_call * 2


def test_unexpected_registry_code_is_a_fault(run_python):
    report = run_with_foreign_registry(run_python, code=7)
    assert (
        report["outcomes"]
        == [["PanicException", "Unexpected return code 7 from borrow checking API"]] * 2
    )


@pytest.mark.parametrize(
    "version, attribute",
    [(0, "capsule"), (1, "42"), (1, "capsule_with_other_name()")],
    ids=["version_0", "not_a_capsule", "wrong_capsule_name"],
)
def test_unusable_registry_is_a_fault(run_python, version, attribute):
    if attribute == "capsule_with_other_name()":
        attribute = "new_capsule(ctypes.addressof(registry), b'other', None)"
    report = run_with_foreign_registry(run_python, version=version, attribute=attribute)
    assert len(report["outcomes"]) == 2
    for kind, message in report["outcomes"]:
        assert kind == "PanicException"
        assert message.startswith("Internal borrow checking API error"), message
    assert report["log"] == []


# ---- NumPy's table --------------------------------------------------------------------------

FAKE_TABLE = r"""
import ctypes, importlib, json
import numpy as np
import vorlane

VERSION = ctypes.CFUNCTYPE(ctypes.c_uint)
ENDIANNESS = ctypes.CFUNCTYPE(ctypes.c_int)
functions = [VERSION(lambda: ABI), VERSION(lambda: FEATURE), ENDIANNESS(lambda: BYTE_ORDER)]
table = (ctypes.c_void_p * 212)()
for slot, function in zip((0, 211, 210), functions):
    table[slot] = ctypes.cast(function, ctypes.c_void_p)
new_capsule = ctypes.pythonapi.PyCapsule_New
new_capsule.restype = ctypes.py_object
new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
multiarray = importlib.import_module(MULTIARRAY)
real = multiarray._ARRAY_API
multiarray._ARRAY_API = REPLACEMENT

outcomes = []
x = np.array([0.0, 1.0, 2.0])
for _ in range(2):
    try:
        vorlane.annotate_scanlines(x, x)
        outcomes.append(["ok"])
    except BaseException as e:
        outcomes.append([type(e).__name__, str(e)])
multiarray._ARRAY_API = real
outcomes.append(["ok", vorlane.annotate_scanlines(x, x).tolist()])
print(json.dumps(outcomes))
"""

CAPSULE_FAULT = "Failed to access NumPy array API capsule: "
TABLE_CASES = [
    (
        "abi_too_new",
        dict(ABI="0x3000000"),
        "RuntimeError: module compiled against ABI version 0x2000000 but this version of numpy "
        "is 0x3000000",
    ),
    (
        "feature_too_old",
        dict(FEATURE="0xb"),
        "RuntimeError: module was compiled against NumPy C-API version 0xc (NumPy 1.15) but the "
        "running NumPy has C-API version 0xb",
    ),
    (
        "big_endian",
        dict(BYTE_ORDER="2"),
        "RuntimeError: module compiled as little endian, but detected different endianness at "
        "runtime",
    ),
    ("not_a_capsule", dict(REPLACEMENT="'not a capsule'"), "_ARRAY_API is not a capsule"),
    (
        "missing",
        dict(REPLACEMENT="None; del multiarray._ARRAY_API"),
        f"AttributeError: module '{MULTIARRAY}' has no attribute '_ARRAY_API'",
    ),
]


@pytest.mark.parametrize(
    "values, cause", [c[1:] for c in TABLE_CASES], ids=[c[0] for c in TABLE_CASES]
)
def test_rejected_table_is_a_fault_and_is_tried_again(run_python, values, cause):
    settings = dict(
        ABI="0x2000000",
        FEATURE="0x13",
        BYTE_ORDER="1",
        MULTIARRAY=repr(MULTIARRAY),
        REPLACEMENT="new_capsule(ctypes.addressof(table), None, None)",
    )
    settings.update(values)
    script = FAKE_TABLE
    for key in ("REPLACEMENT", "MULTIARRAY", "BYTE_ORDER", "FEATURE", "ABI"):
        script = script.replace(key, settings[key])
    result = run_python(script)
    assert result.returncode == 0, result.stderr
    outcomes = json.loads(result.stdout)
    assert outcomes[:2] == [["PanicException", CAPSULE_FAULT + cause]] * 2
    assert outcomes[2] == ["ok", [-1, -1, -1]]


# ---- memory exhaustion ----------------------------------------------------------------------

MEMORY_SCRIPT = r"""
import resource, sys
import numpy as np
import vorlane

n = 8_000_000
x = np.arange(n, dtype=np.float64)
y = np.zeros(n)
vorlane.annotate_scanlines(x, y)  # starts the pool and warms every allocator up
with open("/proc/self/status") as status:
    vm_kb = next(int(l.split()[1]) for l in status if l.startswith("VmSize:"))
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, ((vm_kb + 16 * 1024) * 1024, hard))
try:
    vorlane.annotate_scanlines(x, y)
    outcome = "returned"
except MemoryError as e:
    outcome = "MemoryError"
except BaseException as e:
    outcome = type(e).__name__ + ": " + str(e)
finally:
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
ids = vorlane.annotate_scanlines(np.array([0.0, 1.0, 2.0]), np.array([0.0, 1.0, 0.0]))
print(outcome, ids.tolist(), vorlane.annotate_scanlines(x, y)[:3].tolist())
"""


@pytest.mark.skipif(
    os.environ.get("VORLANE_SANITIZED") == "1",
    reason="AddressSanitizer reserves more address space than the lowered limit",
)
@pytest.mark.parametrize("threads", ["1", "2"])
def test_memory_exhaustion_raises_memory_error_and_the_interpreter_goes_on(run_python, threads):
    result = run_python(MEMORY_SCRIPT, env={"RAYON_NUM_THREADS": threads}, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split()[0] == "MemoryError", result.stdout + result.stderr
    assert result.stdout.strip().endswith("[-1, -1, -1]")
