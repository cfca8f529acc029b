"""Callers on many threads and in many processes: eight Python threads calling at once, on
inputs large enough for the pool and on small ones, with failing calls mixed in, from the very
first call of a fresh process (every once-made value then starts under contention) and again
once everything is warm; and calls in multiprocessing pools started by fork, from a parent
whose pool has run, and by spawn. Every result must equal the single-threaded one. Each
scenario runs in its own interpreter with a timeout, so a hang fails instead of blocking."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import vorlane

MODULE_DIR = str(Path(vorlane.__file__).resolve().parent)
THREADS = 8

# Shared by both scripts: the inputs, by name, rebuilt identically in every process.
INPUTS = r"""
import numpy as np

def raster(lines, per_line, dtype, seed):
    # Lines alternately up and down on an encoder grid, with dwell runs of equal x and y.
    rng = np.random.default_rng(seed)
    k = np.arange(lines * per_line)
    along = (k % per_line) / (per_line - 1)
    y = np.where((k // per_line) % 2 == 0, along, 1 - along) * 10
    x = (k // per_line) * 2 + along + rng.normal(0, 1e-3, k.size)
    x, y = np.round(x, 3), np.round(y, 3)
    dwell = rng.random(k.size) < 0.05
    x[1:][dwell[1:]] = x[:-1][dwell[1:]]
    return x.astype(dtype), y.astype(dtype)

def make_inputs():
    # 600000 samples collapse to more than 250000 records: both stages go to the pool.
    return {
        "large64": raster(600, 1000, np.float64, 1),
        "large32": raster(400, 1500, np.float32, 2),
        "small64": raster(6, 4, np.float64, 3),
        "small32": raster(40, 25, np.float32, 4),
    }
"""

THREADS_SCRIPT = (
    INPUTS
    + r"""
import json, os, random, sys, threading
import vorlane

f = vorlane.annotate_scanlines
THREADS, ROUNDS = int(os.environ["CONCURRENCY_TEST_THREADS"]), 2
DISPATCH = "x and y must both be 1D numpy arrays of float64 or float32 type"
inputs = make_inputs()


def failing_calls(x, y):
    return [
        (lambda: f(x, y[:-1]), ValueError, f"Input x and y length mismatch: {len(x)} vs {len(x) - 1}"),
        (lambda: f(x, y.astype(np.float16)), TypeError, DISPATCH),
    ]


def phase():
    # All threads start together; each calls every input ROUNDS times in its own order, and
    # odd threads begin with failing calls, so the process's first call may be one.
    barrier = threading.Barrier(THREADS)
    results, problems = [], []

    def work(thread):
        order = list(inputs) * ROUNDS
        random.Random(thread).shuffle(order)
        barrier.wait()
        try:
            for i, name in enumerate(order):
                x, y = inputs[name]
                if thread % 2 == 1 and i == 0:
                    for call, kind, message in failing_calls(x, y):
                        try:
                            call()
                            problems.append(f"thread {thread}: no {kind.__name__}")
                        except BaseException as e:
                            if type(e) is not kind or e.args != (message,):
                                problems.append(f"thread {thread}: {e!r}")
                results.append((name, f(x, y)))
        except BaseException as e:
            problems.append(f"thread {thread}: {e!r}")

    threads = [threading.Thread(target=work, args=(t,)) for t in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    if any(t.is_alive() for t in threads):
        print(json.dumps({"hung": True}), flush=True)
        os._exit(3)
    return results, problems


sys.setswitchinterval(1e-5)  # hand the interpreter lock over between calls as often as possible
first_results, first_problems = phase()  # the first calls of the process, all at once
expected = {name: f(*xy) for name, xy in inputs.items()}  # one thread, one call at a time
warm_results, warm_problems = phase()


def differing(results):
    return sorted({name for name, ids in results if not np.array_equal(ids, expected[name])})


print(json.dumps({
    "calls": len(first_results) + len(warm_results),
    "expected_calls": 2 * THREADS * ROUNDS * len(inputs),
    "problems": first_problems + warm_problems,
    "first_phase_differs": differing(first_results),
    "warm_phase_differs": differing(warm_results),
    "labelled": {name: int(ids.max()) for name, ids in expected.items()},
}))
"""
)


@pytest.mark.parametrize("pool", ["1", "3"], ids=["pool-of-1", "pool-of-3"])
def test_threads_calling_at_once_get_the_single_threaded_ids(run_python, pool):
    env = {"RAYON_NUM_THREADS": pool, "CONCURRENCY_TEST_THREADS": str(THREADS)}
    result = run_python(THREADS_SCRIPT, env=env, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr[-3000:]
    report = json.loads(result.stdout)
    assert report["problems"] == []
    assert report["calls"] == report["expected_calls"]
    assert report["first_phase_differs"] == [], "ids of the first, concurrent calls differ"
    assert report["warm_phase_differs"] == [], "ids of concurrent calls differ"
    assert report["labelled"]["large64"] > 500 and report["labelled"]["small64"] > 0, report


PROCESSES_SCRIPT = (
    INPUTS
    + r"""
import json, multiprocessing, sys, threading, warnings
import vorlane

def annotate(name):
    x, y = make_inputs()[name]
    return name, vorlane.annotate_scanlines(x, y)

if __name__ == "__main__":
    method = sys.argv[1]
    # Forking a process whose pool threads exist is what is under test here.
    warnings.simplefilter("ignore", DeprecationWarning)
    inputs = make_inputs()
    expected = {name: vorlane.annotate_scanlines(*xy) for name, xy in inputs.items()}
    tasks = list(inputs) * 3
    # A thread of the parent keeps calling while the workers are forked.
    stop = threading.Event()
    parent_ok = []
    def keep_calling():
        while not stop.is_set():
            parent_ok.append(np.array_equal(vorlane.annotate_scanlines(*inputs["large64"]),
                                            expected["large64"]))
    caller = threading.Thread(target=keep_calling)
    caller.start()
    try:
        with multiprocessing.get_context(method).Pool(3) as pool:
            results = pool.map_async(annotate, tasks, chunksize=1).get(timeout=180)
    finally:
        stop.set()
        caller.join(60)
    print(json.dumps({
        "results": len(results),
        "differs": sorted({n for n, ids in results if not np.array_equal(ids, expected[n])}),
        "parent_calls": len(parent_ok),
        "parent_all_ok": all(parent_ok),
    }))
"""
)


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_multiprocessing_workers_get_the_parents_ids(tmp_path, method):
    # spawn imports the main module in each worker, so the script must be a file.
    script = tmp_path / "workers.py"
    script.write_text(PROCESSES_SCRIPT)
    env = {k: v for k, v in os.environ.items() if k != "VORLANE_INJECT_FAULT"}
    env["RAYON_NUM_THREADS"] = "2"
    env["PYTHONPATH"] = os.pathsep.join([MODULE_DIR, *filter(None, [env.get("PYTHONPATH")])])
    result = subprocess.run(
        [sys.executable, str(script), method], env=env, capture_output=True, text=True, timeout=300
    )
    assert result.returncode == 0, result.stdout + result.stderr[-3000:]
    report = json.loads(result.stdout)
    assert report["results"] == 12 and report["differs"] == [], report
    assert report["parent_calls"] > 0 and report["parent_all_ok"], report
