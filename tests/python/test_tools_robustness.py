"""vorlane_tools' native boundary under stress: references and read borrows released on every
path, injected faults, no growth of the C heap over many calls, threads calling at once, and
one pool shared with vorlane."""

from __future__ import annotations

import ctypes
import gc
import os
import sys
import threading

import numpy as np
import pytest
from test_faults import Registry
from tools_paths import hatch

import vorlane
from vorlane_tools import robust_scanlines, scan_vectors

x, y, ids = hatch()
on = np.arange(len(x)) % 5 != 0

CALLS = {
    "robust": lambda: robust_scanlines(x, y, laser_on=on, tolerance=0.01, return_info=True),
    "vectors": lambda: scan_vectors(x, y, ids),
    "length error": lambda: robust_scanlines(x, y[:-1]),
    "type error": lambda: scan_vectors(x, y.astype(np.float32), ids),
    "ids error": lambda: scan_vectors(x, y, ids[:-1]),
}


def call(name):
    try:
        return CALLS[name]()
    except (TypeError, ValueError):
        return None


def test_references_and_borrows_are_released_on_every_path():
    arguments = (x, y, ids, on)
    before = [sys.getrefcount(a) for a in arguments]
    for name in CALLS:
        for _ in range(50):
            call(name)
    assert [sys.getrefcount(a) for a in arguments] == before
    registry = Registry.shared()
    for a in arguments:
        assert registry.acquire_mut(registry.state, a) == 0
        registry.release_mut(registry.state, a)


@pytest.mark.parametrize("function", ["robust", "vectors"])
def test_write_borrowed_input_is_refused_and_the_next_call_works(function):
    registry = Registry.shared()
    assert registry.acquire_mut(registry.state, y) == 0
    try:
        with pytest.raises(BaseException) as caught:
            CALLS[function]()
    finally:
        registry.release_mut(registry.state, y)
    assert type(caught.value).__name__ == "PanicException"
    assert str(caught.value).endswith("AlreadyBorrowed")
    assert CALLS[function]() is not None


@pytest.mark.parametrize(
    "site, function",
    [
        ("robust_dispatch", "robust"),
        ("vectors_dispatch", "vectors"),
        ("robust_dispatch:bad_alloc", "robust"),
        ("result_array", "robust"),
        ("result_array", "vectors"),
        ("result_array:no_memory", "vectors"),
    ],
)
def test_injected_faults_raise_and_release_everything(needs_hooks, monkeypatch, site, function):
    monkeypatch.setattr(sys, "unraisablehook", lambda info: None)
    # The arrays are shared by the module's tests: a cycle an earlier test left (a caught
    # exception's frames) may still hold them, and must not be collected inside the count.
    gc.collect()
    before = [sys.getrefcount(a) for a in (x, y, ids, on)]
    monkeypatch.setenv("VORLANE_INJECT_FAULT", site)
    with pytest.raises(BaseException) as caught:
        CALLS[function]()
    monkeypatch.delenv("VORLANE_INJECT_FAULT")
    kind = type(caught.value).__name__
    del caught  # its traceback holds the wrappers' frames, and with them the arguments
    assert kind == (
        "MemoryError" if "bad_alloc" in site or "no_memory" in site else "PanicException"
    )
    assert [sys.getrefcount(a) for a in (x, y, ids, on)] == before
    assert CALLS[function]() is not None


class MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


def heap_in_use():
    mallinfo2 = ctypes.CDLL(None).mallinfo2
    mallinfo2.restype = MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


@pytest.mark.skipif(
    os.environ.get("VORLANE_SANITIZED") == "1",
    reason="ASan's allocator is not glibc's; the leak check covers this run",
)
def test_many_calls_do_not_grow_the_c_heap():
    for name in CALLS:  # caches and the record type are made once
        call(name)
    gc.collect()
    start = heap_in_use()
    for _ in range(2000):
        for name in CALLS:
            call(name)
    gc.collect()
    # 10000 calls: a leak of 8 bytes a call would show as 80 KB.
    assert heap_in_use() - start < 64 * 1024


def test_threads_calling_at_once_get_the_single_threaded_results():
    expected = {
        "robust": CALLS["robust"](),
        "vectors": CALLS["vectors"]().tobytes(),
        "annotate": vorlane.annotate_scanlines(x, y),
    }
    wrong = []

    def work():
        for _ in range(100):
            ids_got, info = CALLS["robust"]()
            if not np.array_equal(ids_got, expected["robust"][0]) or info != expected["robust"][1]:
                wrong.append("robust")
            if CALLS["vectors"]().tobytes() != expected["vectors"]:
                wrong.append("vectors")
            if not np.array_equal(vorlane.annotate_scanlines(x, y), expected["annotate"]):
                wrong.append("annotate")
            call("length error")

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert wrong == []


SHARED_POOL = """
import sys, time
import numpy as np
import vorlane
from vorlane_tools import _native
from vorlane_tools._batch import pool_threads

def annotate():
    k = np.arange(600_000)
    along = (k % 1000) / 999
    vorlane.annotate_scanlines((k // 1000) * 2 + along,
                               np.where((k // 1000) % 2 == 0, along, 1 - along) * 10)

steps = {"vorlane": annotate, "tools": lambda: _native._pool_probe(8)}
counts = []
for step in sys.argv[1:]:
    steps[step]()
    # A started thread names itself when it first runs, which may be after the call returned.
    deadline = time.monotonic() + 5
    while pool_threads() < 2 and time.monotonic() < deadline:
        time.sleep(0.01)
    time.sleep(0.2)
    counts.append(pool_threads())
print(*counts)
"""


@pytest.mark.parametrize("order", [("tools", "vorlane"), ("vorlane", "tools", "vorlane")])
def test_both_modules_run_on_one_pool(needs_hooks, run_python, order):
    result = run_python(
        SHARED_POOL.replace("sys.argv[1:]", repr(list(order))), env={"RAYON_NUM_THREADS": "3"}
    )
    assert result.returncode == 0, result.stderr
    # The first call from either module starts the pool's two workers (the caller is its third
    # thread); the other's calls reuse them.
    assert result.stdout.split() == ["2"] * len(order)


POOL_SIZE_IDS = """
import zlib
import numpy as np
from vorlane_tools import Machine, Part, Strategy, robust_scanlines, simulate_path
for dtype in ("float64", "float32"):
    machine = Machine(lag=30e-6, noise=0.001, quantum=0.001, dtype=np.dtype(dtype))
    part = Part.rectangle(60.0, 40.0, 20.0, 20.0)
    path = simulate_path((part,), Strategy(angle=30.0), machine, samples=600_000)
    ids, info = robust_scanlines(path.x, path.y, return_info=True)
    print(dtype, ids.max(), zlib.crc32(ids.tobytes()), sorted(info.items()))
"""


@pytest.mark.parametrize("threads", ["2", "3"])
def test_every_pool_size_gives_the_one_thread_labels(run_python, threads):
    # Several chunks of the streaming pass and several batches of lines, lagged so that every
    # per-line stage runs, and spread over the pool's threads in a different way each size.
    alone = run_python(POOL_SIZE_IDS, env={"RAYON_NUM_THREADS": "1"})
    shared = run_python(POOL_SIZE_IDS, env={"RAYON_NUM_THREADS": threads})
    assert alone.returncode == 0, alone.stderr
    assert shared.returncode == 0, shared.stderr
    assert shared.stdout == alone.stdout
    assert len(alone.stdout.splitlines()) == 2
