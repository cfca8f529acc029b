"""The configurations a benchmark run sweeps (paths, widths, pool sizes) and the ratios that
compare them, shared by the run, its tables, its plot and its targets.
"""

from __future__ import annotations

import math
import os

__all__ = [
    "DTYPES",
    "MIN_N_FOR_MEMORY",
    "NOISY_PATHS",
    "OVERHEAD_PATHS",
    "PATHS",
    "PLAIN_PATHS",
    "THREADS",
    "add_one_thread_ratios",
    "environment",
    "median_process",
    "table",
    "threads_in_turn",
]

# The names of bench/paths.py's variants, with what a table calls them.
PATHS = {
    "plain": "plain path (86/94° raster)",
    "noisy": "noisy path (86/94° raster, 1 µm noise)",
    "hatch": "hatch path (80° island, jumps, contour)",
    "hatch-noisy": "noisy hatch path (80° island, 1 µm noise)",
}
PLAIN_PATHS = ("plain", "hatch")
NOISY_PATHS = ("noisy", "hatch-noisy")
# A 100-sample call is timed on the first samples of each layout.
OVERHEAD_PATHS = PLAIN_PATHS
DTYPES = ("float64", "float32")
THREADS = ("1", "all")

# Below this the peak counter's page granularity (4 KiB) swamps the memory figure.
MIN_N_FOR_MEMORY = 10**5


def add_one_thread_ratios(rows: list[dict]) -> None:
    """Sets each row's `ratio_to_one_thread`: its time over the one-thread run of the same path,
    width and n (1.0 for that run itself, NaN where it is missing)."""
    one = {
        (r["variant"], r["dtype"], int(r["n"])): float(r["ns_per_sample"])
        for r in rows
        if r["threads"] == "1"
    }
    for r in rows:
        base = one.get((r["variant"], r["dtype"], int(r["n"])))
        r["ratio_to_one_thread"] = float(r["ns_per_sample"]) / base if base else math.nan


def threads_in_turn(repeat: int) -> tuple[str, ...]:
    """The pool sizes in the order of repeat `repeat`: one thread first, then all CPUs first, so
    that a drift of the machine's speed over the repeats hits both alike."""
    return THREADS if repeat % 2 == 0 else THREADS[::-1]


def median_process(runs: list[dict], key: str) -> dict:
    """The run whose `key` is the median (the lower of the two middle ones), whole, so that its
    floor and memory belong to the same process: two processes of one build can differ by a
    tenth in memory speed alone."""
    return sorted(runs, key=lambda r: r[key])[(len(runs) - 1) // 2]


def table(rows: list[list[str]], header: list[str]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(lines)


def environment(threads: str) -> dict[str, str]:
    """The environment of a process that runs with `threads` pool threads ("all": every CPU)."""
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    env.pop("RAYON_RS_NUM_CPUS", None)
    if threads != "all":
        env["RAYON_NUM_THREADS"] = threads
    # NumPy's BLAS starts a thread per CPU that spins for a tenth of a second after import and
    # after every BLAS call (path generation makes some): on two CPUs that takes one from the
    # pool being timed. Nothing measured here uses BLAS.
    env["OPENBLAS_NUM_THREADS"] = "1"
    return env
