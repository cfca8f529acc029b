"""Speed and peak memory of vorlane_tools.robust_scanlines against the annotation benchmark's floor.

For every path, width, n and pool size (one thread, all CPUs) a process of its own labels the
path: the peak resident set of its first call beyond the inputs and the result, then the median
call time timed alternately with the floor (one NumPy pass that reads x and y and writes a new
int32 array, as bench/measure_one.py defines it). Figures only: nothing here asserts a speed.

    python bench/robust_speed.py                 # n = 1e5, 1e6, 1e7
    python bench/robust_speed.py --max-n 1e8     # also 1e8; needs about 10 GB free
    python bench/robust_speed.py --quick         # n = 1e5 and 1e6, three calls each
    python bench/robust_speed.py --min-n 1e7     # only 1e7
    python bench/robust_speed.py --repeats 5     # five processes a configuration, median kept
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import time
import zlib
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from configurations import environment, median_process, threads_in_turn  # noqa: E402
from measure_one import floor, interleaved_medians, peak_growth  # noqa: E402
from paths import make_path  # noqa: E402

# The annotation benchmark's raster (plain and noisy), and a hatch at 30 degrees turned by 67
# degrees a layer, recorded with 1 um of noise, 1 um encoder steps and a 30 us servo lag.
PATHS = ("plain", "noisy", "rotated")
DTYPES = ("float64", "float32")
THREADS = ("1", "all")
# Below this the peak counter's page granularity (4 KiB) swamps the figure.
MIN_N_FOR_MEMORY = 10**5
TARGET_N = 10**7


def recorded_path(variant: str, n: int, dtype: str) -> tuple[np.ndarray, np.ndarray]:
    if variant in ("plain", "noisy"):
        path = make_path(n, dtype=np.dtype(dtype), variant=variant)
        return path.x, path.y
    from vorlane_tools import Machine, Part, Strategy, simulate_path

    machine = Machine(noise=0.001, quantum=0.001, lag=30e-6, dtype=np.dtype(dtype))
    part = Part.rectangle(60.0, 40.0, 20.0, 20.0)
    recorded = simulate_path(part, Strategy(angle=30.0), machine, layers=1, samples=n)
    return recorded.x, recorded.y


def measure_one(variant: str, dtype: str, n: int, calls: int) -> dict:
    """One configuration, in this process: the figures as a dict."""
    from vorlane_tools import robust_scanlines

    x, y = recorded_path(variant, n, dtype)
    # One-time set-up (NumPy's interface table, the pool's size) outside the measured call.
    robust_scanlines(x[:1000].copy(), y[:1000].copy())
    ids, growth = peak_growth(lambda: robust_scanlines(x, y))
    beyond = growth - ids.nbytes
    lines = int(ids.max(initial=0))
    digest = zlib.crc32(ids.tobytes())
    del ids
    call, base = interleaved_medians(lambda: robust_scanlines(x, y), lambda: floor(x, y), calls)
    return {
        "variant": variant,
        "dtype": dtype,
        "n": len(x),
        "threads": os.environ.get("RAYON_NUM_THREADS", "all"),
        "ns_per_sample": call / len(x) * 1e9,
        "floor_ns_per_sample": base / len(x) * 1e9,
        "ratio": call / base,
        "bytes_per_sample": beyond / len(x),
        "lines": lines,
        "ids_crc32": digest,
    }


def busy_cpu_seconds() -> float:
    """CPU seconds the whole machine has spent busy since boot."""
    with open("/proc/stat") as f:
        fields = [int(v) for v in f.readline().split()[1:]]
    idle = fields[3] + fields[4]  # idle and waiting for I/O
    return (sum(fields[:8]) - idle) / os.sysconf("SC_CLK_TCK")


def run_configuration(args: list[str], threads: str) -> tuple[dict, float]:
    """The child's figures, and the share of the CPUs that other work kept busy meanwhile."""
    env = environment(threads)
    before = os.times()
    busy, start = busy_cpu_seconds(), time.monotonic()
    done = subprocess.run(
        [sys.executable, __file__, "--one", *args], env=env, capture_output=True, text=True
    )
    wall = time.monotonic() - start
    after = os.times()
    child = (after.children_user - before.children_user) + (
        after.children_system - before.children_system
    )
    others = max(0.0, busy_cpu_seconds() - busy - child) / max(wall * os.cpu_count(), 1e-9)
    if done.returncode != 0:
        raise SystemExit(f"robust_speed.py --one {' '.join(args)} failed:\n{done.stderr}")
    return json.loads(done.stdout.splitlines()[-1]), others


def machine_summary() -> str:
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            names = [line.split(":", 1)[1].strip() for line in f if line.startswith("model name")]
        model = names[0] if names else model
    except OSError:
        pass
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    return (
        f"CPU: {model}, {os.cpu_count()} CPUs ({len(os.sched_getaffinity(0))} usable); "
        f"memory {memory / 2**30:.1f} GiB; Python {platform.python_version()}, "
        f"NumPy {np.__version__}"
    )


def memory_figure(row: dict) -> str:
    return f"{row['bytes_per_sample']:.2f}" if row["n"] >= MIN_N_FOR_MEMORY else "n/a"


def print_table(variant: str, rows: dict) -> None:
    print(f"\n**{variant} path**: ns per sample (ratio to the floor), peak bytes per sample")
    print("beyond inputs and result, all CPUs / 1 thread, other work's share of the CPUs\n")
    print("| n | width | 1 thread | all CPUs | all / 1 | memory 1 / all | floor | lines | busy |")
    print("|---|---|---|---|---|---|---|---|---|")
    for (v, dtype, n), pair in rows.items():
        if v != variant:
            continue
        one, every = pair["1"], pair["all"]
        same = "" if one["ids_crc32"] == every["ids_crc32"] else " (ids differ!)"
        print(
            f"| {n:.0e} | {dtype} | {one['ns_per_sample']:.2f} ({one['ratio']:.2f}x) |"
            f" {every['ns_per_sample']:.2f} ({every['ratio']:.2f}x) |"
            f" {every['ns_per_sample'] / one['ns_per_sample']:.2f} |"
            f" {memory_figure(one)} / {memory_figure(every)} |"
            f" {one['floor_ns_per_sample']:.2f} | {one['lines']}{same} |"
            f" {100 * max(pair['busy']):.0f} % |"
        )


def print_targets(rows: dict) -> None:
    """Each target at 1e7 samples, the worst case over paths and widths."""
    at = [pair for (_, _, n), pair in rows.items() if n == TARGET_N]
    if not at:
        return
    one = max(p["1"]["ratio"] for p in at)
    every = max(p["all"]["ratio"] for p in at)
    slower = max(p["all"]["ns_per_sample"] / p["1"]["ns_per_sample"] for p in at)
    memory = max(max(p["1"]["bytes_per_sample"], p["all"]["bytes_per_sample"]) for p in at)
    print("\n**At 1e7 samples, worst over paths and widths**\n")
    print("| figure | target | worst |")
    print("|---|---|---|")
    print(f"| 1 thread / floor | at most 3 | {one:.2f} |")
    print(f"| all CPUs / floor | at most 2 | {every:.2f} |")
    print(f"| all CPUs / 1 thread | at most 1 | {slower:.2f} |")
    print(f"| peak bytes per sample | at most 8 | {memory:.2f} |")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="n = 1e5 and 1e6, three calls")
    parser.add_argument("--min-n", type=float, default=1e5, help="smallest n (a power of ten)")
    parser.add_argument("--max-n", type=float, default=1e7, help="largest n (1e8 at most)")
    parser.add_argument("--calls", type=int, help="timed calls per configuration")
    parser.add_argument(
        "--repeats", type=int, default=1, help="processes per configuration, median kept"
    )
    parser.add_argument("--path", choices=PATHS, action="append", help="only this path")
    parser.add_argument("--one", nargs=3, metavar=("PATH", "WIDTH", "N"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    calls = args.calls or (3 if args.quick else 7)
    if args.one:
        variant, dtype, n = args.one
        print(json.dumps(measure_one(variant, dtype, int(float(n)), calls)))
        return

    top = 6 if args.quick else min(8, round(np.log10(args.max_n)))
    ns = [10**e for e in range(max(3, round(np.log10(args.min_n))), top + 1)]
    print(machine_summary())
    rows: dict = {}
    for variant in args.path or PATHS:
        for n in ns:
            for dtype in DTYPES:
                runs: dict[str, list[dict]] = {threads: [] for threads in THREADS}
                pair: dict = {"busy": []}
                for rep in range(max(1, args.repeats)):
                    for threads in threads_in_turn(rep):
                        figures, busy = run_configuration(
                            [variant, dtype, str(n), "--calls", str(calls)], threads
                        )
                        runs[threads].append(figures)
                        pair["busy"].append(busy)
                for threads in THREADS:
                    pair[threads] = median_process(runs[threads], "ns_per_sample")
                rows[(variant, dtype, n)] = pair
        print_table(variant, rows)
    print_targets(rows)


if __name__ == "__main__":
    main()
