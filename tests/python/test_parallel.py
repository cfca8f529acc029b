"""The chunked collapse on the process-wide pool, observed through results: each pool size in
its own interpreter against the pure-Python model of the chunked stages, at and just below the
input lengths where the chunked form starts; faults on pool threads; fork; concurrent callers.

The inputs are steep zigzags whose line ends sit exactly at the chunk starts of pools of 2, 3
and 7 threads. At each line end the coordinate drifts by 0.6 and 1.2 times the tolerance, so a
chunk start there changes the runs, the turning point's samples and in the end the ids: every
pool size gives its own result."""

from __future__ import annotations

import functools
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest
from chunked_model import chunk_ranges, stages_for_pool
from reference_model import annotate_model, scalar_type

import vorlane

f = vorlane.annotate_scanlines
MODULE_DIR = str(Path(vorlane.__file__).resolve().parent)
SEAM_POOLS = (2, 3, 7)


def zigzag(
    n: int, ends: list[int], dwell: int, stair: int, dtype, drift: str
) -> tuple[np.ndarray, np.ndarray]:
    """Lines of `dwell`-sample stations, alternately up and down, x rising slowly and y in
    steps of `stair` stations. A line ending at `end` has its last station just before `end`;
    from `end` on, the drift axis moves by 0.6 t and then 1.2 t (t the tolerance) before the
    next line starts."""
    T = np.dtype(dtype).type
    t = T(np.finfo(dtype).eps)
    x = np.empty(n, dtype=T)
    y = np.empty(n, dtype=T)
    low, high = T(0.3), T(0.45)  # in [0.25, 0.5) the spacing of T is t / 4
    width = T(0.2 / (len(ends) + 1))
    x_from = T(0.26)
    begin = 0
    for k, end in enumerate([*ends, n]):
        up = k % 2 == 0
        body_end = n if end == n else end - dwell
        j = (np.arange(begin, body_end) - begin) // dwell
        stations = int(j[-1]) + 1
        levels = (stations - 1) // stair + 1
        rise = (high - low) * ((j // stair + 1) / (levels + 1))
        x[begin:body_end] = x_from + (width * (j / stations)).astype(T)
        y[begin:body_end] = (low + rise if up else high - rise).astype(T)
        if end == n:
            break
        xe, ye = T(x_from + width), (high if up else low)
        x[end - dwell : end], y[end - dwell : end] = xe, ye
        if drift == "x":
            # Sequentially xe and xe + 0.6 t are one run; a chunk starting at `end` makes
            # xe + 0.6 t and the next line's first station (xe + 1.2 t) one run instead,
            # which the seam merge then fuses into the line end.
            x[end : end + dwell], y[end : end + dwell] = xe + T(0.6) * t, ye
            begin, x_from = end + dwell, xe + T(1.2) * t
        else:
            # The same in y, one sample per station so that list A has one record a sample.
            beyond = t if up else -t
            step = width / T(1000)
            x[end], y[end] = xe + step, ye + T(0.6) * beyond
            x[end + 1], y[end + 1] = xe + T(2) * step, ye + T(1.2) * beyond
            begin, x_from = end + 2, xe + T(3) * step
    return x, y


def seam_ends(n: int) -> list[int]:
    return sorted({start for p in SEAM_POOLS for start, _ in chunk_ranges(n, p)[1:]})


# name: (samples, length whose chunk starts hold the line ends, dwell, stair, dtype, drift).
# The x inputs collapse to a sixteenth of their samples, far below the y stage's threshold;
# the y inputs have one list-A record per sample (and an eighth of that in list B) and stay
# below the x stage's threshold. Long dwells and stairs keep the pure-Python model quick.
INPUTS = {
    "x499999": (499_999, 500_000, 16, 1, np.float64, "x"),
    "x500000": (500_000, 500_000, 16, 1, np.float64, "x"),
    "y249999": (249_999, 250_000, 1, 8, np.float64, "y"),
    "y250000": (250_000, 250_000, 1, 8, np.float64, "y"),
    "x500000_f32": (500_000, 500_000, 16, 1, np.float32, "x"),
}
CHUNKED_AT = {"x500000", "y250000", "x500000_f32"}


@functools.cache
def make_input(name: str) -> tuple[np.ndarray, np.ndarray]:
    n, ends_for, dwell, stair, dtype, drift = INPUTS[name]
    return zigzag(n, seam_ends(ends_for), dwell, stair, dtype, drift)


@functools.cache
def model_ids(name: str, p: int) -> np.ndarray:
    if name not in CHUNKED_AT:
        p = 1  # below both thresholds every pool runs the sequential stages
    x, y = make_input(name)
    collapse_x, collapse_y = stages_for_pool(p, scalar_type(x.dtype))
    return annotate_model(x, y, collapse_x, collapse_y)


@pytest.fixture(scope="session")
def input_dir(tmp_path_factory) -> Path:
    directory = tmp_path_factory.mktemp("parallel_inputs")
    for name in INPUTS:
        x, y = make_input(name)
        np.savez(directory / f"{name}.npz", x=x, y=y)
    return directory


def run_child(
    code: str, env: dict[str, str] | None = None, prefix: tuple[str, ...] = (), timeout: float = 120
) -> subprocess.CompletedProcess:
    """Runs `code` in a new interpreter with neither pool variable set unless `env` sets it."""
    full_env = {
        k: v
        for k, v in os.environ.items()
        if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS", "VORLANE_INJECT_FAULT")
    }
    full_env["PYTHONPATH"] = os.pathsep.join(
        [MODULE_DIR] + [p for p in full_env.get("PYTHONPATH", "").split(os.pathsep) if p]
    )
    full_env.update(env or {})
    return subprocess.run(
        [*prefix, sys.executable, "-c", textwrap.dedent(code)],
        env=full_env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


# Computes every input twice (the results must not depend on timing) and saves the ids.
ANNOTATE_ALL = """
import sys
from pathlib import Path
import numpy as np, vorlane
directory = Path({directory!r})
for name in {names!r}:
    data = np.load(directory / f"{{name}}.npz")
    first = vorlane.annotate_scanlines(data["x"], data["y"])
    again = vorlane.annotate_scanlines(data["x"], data["y"])
    if not np.array_equal(first, again):
        sys.exit(f"{{name}}: a repeated call gave other ids")
    np.save(directory / f"{{name}}.{tag}.npy", first)
"""


def annotate_in_child(
    input_dir: Path,
    names: list[str],
    env: dict[str, str],
    prefix: tuple[str, ...] = (),
    tag: str = "child",
) -> dict[str, np.ndarray]:
    code = ANNOTATE_ALL.format(directory=str(input_dir), names=names, tag=tag)
    result = run_child(code, env, prefix)
    assert result.returncode == 0, result.stderr
    return {name: np.load(input_dir / f"{name}.{tag}.npy") for name in names}


def assert_ids_equal(got: np.ndarray, expected: np.ndarray, what: str) -> None:
    differ = np.flatnonzero(got != expected)
    assert differ.size == 0, (
        f"{what}: {differ.size} ids differ, first at sample "
        f"{differ[0]}: got {got[differ[0]]}, expected {expected[differ[0]]}"
    )


def test_inputs_make_every_pool_size_visible():
    for name in ("x500000", "y250000"):
        results = {p: model_ids(name, p) for p in (1, *SEAM_POOLS)}
        for p in SEAM_POOLS:
            for q in (1, *SEAM_POOLS):
                if q != p:
                    assert not np.array_equal(results[p], results[q]), (name, p, q)


POOL_ENVS = [
    pytest.param({"RAYON_NUM_THREADS": "1"}, 1, id="threads-1"),
    pytest.param({"RAYON_NUM_THREADS": "2"}, 2, id="threads-2"),
    pytest.param({"RAYON_NUM_THREADS": "3"}, 3, id="threads-3"),
    pytest.param({"RAYON_NUM_THREADS": "7"}, 7, id="threads-7"),
    pytest.param({"RAYON_RS_NUM_CPUS": "3"}, 3, id="rs-num-cpus-3"),
    pytest.param({"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "7"}, 7, id="fallback-7"),
]


@pytest.mark.parametrize("env, p", POOL_ENVS)
def test_pool_size_sets_the_chunks(input_dir, env, p):
    names = ["x499999", "x500000", "y249999", "y250000"]
    if p == 2:
        names.append("x500000_f32")  # the float model is slow: one pool size suffices
    got = annotate_in_child(input_dir, names, env, tag="-".join(f"{k}={v}" for k, v in env.items()))
    for name in names:
        assert_ids_equal(got[name], model_ids(name, p), f"{name} with {env}")


def candidate_default_sizes() -> list[int]:
    cpus = len(os.sched_getaffinity(0))
    # A cgroup quota may lower the count; with few CPUs every lower size is a candidate.
    return list(range(1, cpus + 1)) if cpus <= 4 else [cpus]


def test_default_pool_size_comes_from_the_cpus(input_dir):
    got = annotate_in_child(input_dir, ["x500000"], {}, tag="default")["x500000"]
    matching = [
        p for p in candidate_default_sizes() if np.array_equal(got, model_ids("x500000", p))
    ]
    assert matching, "the ids match no pool size of the CPUs this process may use"


@pytest.mark.skipif(shutil.which("taskset") is None, reason="taskset is not installed")
def test_one_cpu_means_the_sequential_stages(input_dir):
    cpu = min(os.sched_getaffinity(0))
    names = ["x500000", "y250000"]
    got = annotate_in_child(input_dir, names, {}, prefix=("taskset", "-c", str(cpu)), tag="one-cpu")
    for name in names:
        assert_ids_equal(got[name], model_ids(name, 1), f"{name} on one CPU")


FAULT_ON_POOL_THREAD = """
import os, sys
import numpy as np, vorlane
data = np.load({path!r})
x, y = data["x"], data["y"]
small = vorlane.annotate_scanlines(x[:1000], y[:1000])  # no chunks: the site is not reached
try:
    vorlane.annotate_scanlines(x, y)
    print("no exception")
except BaseException as e:
    print(type(e).__name__)
    print(e)
del os.environ["VORLANE_INJECT_FAULT"]
np.save({out!r}, vorlane.annotate_scanlines(x, y))
"""


@pytest.mark.parametrize(
    "site, exception, message",
    [
        ("pool_chunk", "PanicException", "injected fault at pool_chunk"),
        ("pool_chunk:bad_alloc", "MemoryError", None),
        ("pool_ids", "PanicException", "injected fault at pool_ids"),
    ],
)
def test_fault_on_a_pool_thread_reaches_the_caller(
    input_dir, needs_hooks, site, exception, message
):
    out = input_dir / f"after-{site.replace(':', '-')}.npy"
    code = FAULT_ON_POOL_THREAD.format(path=str(input_dir / "x500000.npz"), out=str(out))
    result = run_child(code, {"RAYON_NUM_THREADS": "2", "VORLANE_INJECT_FAULT": site})
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == exception, result.stdout
    if message is not None:
        assert lines[1] == message
        # The caller runs chunks beside the pool's thread, so either may report first.
        assert "thread '" in result.stderr and message in result.stderr, result.stderr
    assert_ids_equal(np.load(out), model_ids("x500000", 2), "the call after the fault")


FORK_AFTER_POOL_RAN = """
import os, signal, sys, time, warnings
import numpy as np, vorlane
warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
data = np.load({path!r})
x, y = data["x"], data["y"]
parent = vorlane.annotate_scanlines(x, y)
np.save({out!r}, parent)
pid = os.fork()
if pid == 0:
    signal.alarm(60)  # a hung child dies instead of outliving the test
    try:
        same = np.array_equal(vorlane.annotate_scanlines(x, y), parent)
        os._exit(0 if same else 3)
    except BaseException:
        os._exit(4)
deadline = time.monotonic() + 90
while True:
    done, status = os.waitpid(pid, os.WNOHANG)
    if done:
        break
    if time.monotonic() > deadline:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        sys.exit("the forked child hung")
    time.sleep(0.05)
sys.exit(0 if os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
         else f"child status {{status}}")
"""


def test_forked_child_gets_a_working_pool(input_dir):
    out = input_dir / "fork-parent.npy"
    code = FORK_AFTER_POOL_RAN.format(path=str(input_dir / "x500000.npz"), out=str(out))
    result = run_child(code, {"RAYON_NUM_THREADS": "2"})
    assert result.returncode == 0, result.stderr
    assert_ids_equal(np.load(out), model_ids("x500000", 2), "the parent before the fork")


CONCURRENT_CALLERS = """
import threading
import numpy as np, vorlane
data = np.load({path!r})
x, y = data["x"], data["y"]
results = []
lock = threading.Lock()

def call():
    for _ in range(2):
        try:
            ids = vorlane.annotate_scanlines(x, y)
        except BaseException as e:
            ids = e
        with lock:
            results.append(ids)

threads = [threading.Thread(target=call) for _ in range(4)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
assert len(results) == 8, results
for ids in results:
    assert isinstance(ids, np.ndarray), repr(ids)
    assert np.array_equal(ids, results[0]), "concurrent calls gave different ids"
np.save({out!r}, results[0])
"""


def test_concurrent_callers_get_the_same_ids(input_dir):
    out = input_dir / "concurrent.npy"
    code = CONCURRENT_CALLERS.format(path=str(input_dir / "x500000.npz"), out=str(out))
    result = run_child(code, {"RAYON_NUM_THREADS": "3"})
    assert result.returncode == 0, result.stderr
    assert_ids_equal(np.load(out), model_ids("x500000", 3), "concurrent calls")
