"""One benchmark configuration in a process of its own, so that the pool size set by the
environment and the peak-memory counter belong to this configuration alone.

Prints one JSON object. Modes:
  time      peak memory of the first call, then median call time against the floor
  overhead  a 100-sample call against numpy.add on the same two arrays (the path's first 100)
  calibrate the peak-memory method on an allocation of known size
"""

from __future__ import annotations

import argparse
import ctypes
import json
import math
import os
import statistics
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from paths import line_length_ids, make_path  # noqa: E402

import vorlane  # noqa: E402

BATCH_SECONDS = 0.01  # short calls are timed in batches at least this long


def _status_bytes(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"{field} not in /proc/self/status")


def peak_growth(fn):
    """(result of fn(), growth of the peak resident set during the call, in bytes)."""
    # Freed heap memory stays resident and would serve the call unseen: give it back first.
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets VmHWM to the current resident set
    before = _status_bytes("VmRSS")
    result = fn()
    return result, _status_bytes("VmHWM") - before


def calibrate(size: int) -> dict:
    # Above glibc's largest mmap threshold, so the block goes back to the system when freed.
    _, growth = peak_growth(lambda: np.ones(size, np.uint8).sum())
    return {"mode": "calibrate", "bytes": size, "measured": growth, "error": growth - size}


def batch_size(fn) -> int:
    """Calls per timed batch; the call that measures it doubles as the warm-up."""
    start = time.perf_counter()
    fn()
    once = time.perf_counter() - start
    return max(1, math.ceil(BATCH_SECONDS / max(once, 1e-9)))


def seconds_per_call(fn, reps: int) -> float:
    start = time.perf_counter()
    for _ in range(reps):
        fn()
    return (time.perf_counter() - start) / reps


def interleaved_medians(first, second, calls: int) -> tuple[float, float]:
    """Median seconds per call of each, timed alternately so that drifts hit both alike."""
    reps = (batch_size(first), batch_size(second))
    times: tuple[list[float], list[float]] = ([], [])
    for _ in range(calls):
        times[0].append(seconds_per_call(first, reps[0]))
        times[1].append(seconds_per_call(second, reps[1]))
    return statistics.median(times[0]), statistics.median(times[1])


def floor(x: np.ndarray, y: np.ndarray) -> np.ndarray:
    return np.greater(x, y, out=np.empty(len(x), np.int32), casting="unsafe")


def time_mode(n: int, dtype, variant: str, calls: int) -> dict:
    path = make_path(n, dtype=dtype, variant=variant)
    x, y = path.x, path.y
    # One-time set-up (NumPy's interface table) outside the measured call; too small for the
    # pool and too small to leave freed heap behind for the measured call to reuse.
    vorlane.annotate_scanlines(x[:100].copy(), y[:100].copy())
    ids, growth = peak_growth(lambda: vorlane.annotate_scanlines(x, y))
    beyond = growth - ids.nbytes
    scanlines = line_length_ids(ids, path.raster)
    labelled = float(np.count_nonzero(ids > 0) / n)
    del ids

    call, base = interleaved_medians(
        lambda: vorlane.annotate_scanlines(x, y), lambda: floor(x, y), calls
    )
    return {
        "mode": "time",
        "n": n,
        "dtype": np.dtype(dtype).name,
        "variant": variant,
        "calls": calls,
        "call_s": call,
        "floor_s": base,
        "ns_per_sample": call / n * 1e9,
        "floor_ns_per_sample": base / n * 1e9,
        "ratio": call / base,
        "peak_bytes": beyond,
        "bytes_per_sample": beyond / n,
        "lines": path.lines,
        "scanlines": scanlines,
        "labelled": labelled,
    }


def overhead_mode(dtype, variant: str, calls: int) -> dict:
    path = make_path(100, dtype=dtype, variant=variant)
    x, y = path.x, path.y
    call, add = interleaved_medians(
        lambda: vorlane.annotate_scanlines(x, y), lambda: np.add(x, y), calls
    )
    return {
        "mode": "overhead",
        "n": 100,
        "dtype": np.dtype(dtype).name,
        "variant": variant,
        "calls": calls,
        "call_s": call,
        "add_s": add,
        "ratio": call / add,
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("mode", choices=["time", "overhead", "calibrate"])
    parser.add_argument("--n", type=float, default=1e6)
    parser.add_argument("--dtype", choices=["float64", "float32"], default="float64")
    parser.add_argument("--variant", default="plain")
    parser.add_argument("--calls", type=int, default=7)
    args = parser.parse_args()
    if args.mode == "calibrate":
        out = calibrate(int(args.n))
    elif args.mode == "overhead":
        out = overhead_mode(np.dtype(args.dtype), args.variant, args.calls)
    else:
        out = time_mode(int(args.n), np.dtype(args.dtype), args.variant, args.calls)
    out["threads"] = os.environ.get("RAYON_NUM_THREADS", "all")
    print(json.dumps(out))


if __name__ == "__main__":
    main()
