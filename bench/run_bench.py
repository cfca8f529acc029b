"""Benchmarks of annotate_scanlines: time per sample beside a one-pass NumPy floor, peak memory,
call overhead and the time of each stage, on the raster and the hatch paths. Writes CSV tables,
the plot of the ratios and their Markdown (bench/report.py) to bench/results/.

    bash scripts/bench.sh [--quick] [--max-n 1e8]     (builds, then runs this)
    PYTHONPATH=build/bench python bench/run_bench.py [--quick] [--max-n 1e8]
    python bench/run_bench.py --python WHEEL_VENV/bin/python --vs NATIVE_VENV/bin/python
    python bench/run_bench.py --repeats 5     (five processes a configuration, the median kept)

`--python` times the module that another interpreter imports (an installed wheel, say);
`--vs` times two interpreters' modules against each other, alternately, configuration by
configuration (see run_paired).

Every configuration runs in a process of its own (the pool size is fixed per process), with
RAYON_NUM_THREADS=1 for one thread and without it for all CPUs.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "results"
sys.path.insert(0, str(HERE))

from configurations import (  # noqa: E402
    DTYPES,
    MIN_N_FOR_MEMORY,
    OVERHEAD_PATHS,
    PATHS,
    THREADS,
    add_one_thread_ratios,
    environment,
    median_process,
    table,
    threads_in_turn,
)
from machine import MACHINE_FIELDS, machine_line, this_machine  # noqa: E402
from machine_load import OthersMeter, load, wait_for_quiet  # noqa: E402
from plots import plot_ratios  # noqa: E402
from report import markdown_report, overhead_table, path_table, write_csv  # noqa: E402
from stage_breakdown import run_stage_breakdown  # noqa: E402
from targets import evaluate_targets, target_n, targets_table  # noqa: E402

VARIANTS = tuple(PATHS)
FIELDS = (
    "variant",
    "dtype",
    "threads",
    "n",
    "calls",
    "runs",
    "call_ms",
    "ns_per_sample",
    "floor_ns_per_sample",
    "ratio",
    "bytes_per_sample",
    "lines",
    "scanlines",
    "labelled",
    "others_busy",
    "ratio_to_one_thread",
    *MACHINE_FIELDS,
)
OVERHEAD_FIELDS = ("dtype", "threads", "calls", "call_s", "add_s", "ratio", "variant")
OVERHEAD_FIELDS += MACHINE_FIELDS


# The interpreter whose vorlane is measured; --python changes it.
PYTHON = sys.executable


def measure(threads: str, *args: str, python: str | None = None) -> dict:
    done = subprocess.run(
        [python or PYTHON, str(HERE / "measure_one.py"), *args],
        env=environment(threads),
        capture_output=True,
        text=True,
    )
    if done.returncode != 0:
        raise SystemExit(f"measure_one.py {' '.join(args)} failed:\n{done.stderr}")
    return json.loads(done.stdout.splitlines()[-1])


def available_bytes() -> int:
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return 0


def fits_in_memory(n: int, dtype: str, known: list[dict], variant: str, threads: str) -> bool:
    """Inputs, result and the intermediates seen at the largest smaller n, with headroom."""
    smaller = [
        r
        for r in known
        if (r["variant"], r["dtype"], r["threads"]) == (variant, dtype, threads) and r["n"] < n
    ]
    extra = max(
        (r["bytes_per_sample"] for r in smaller if r["n"] == max(s["n"] for s in smaller)),
        default=80.0,
    )
    need = n * (2 * (8 if dtype == "float64" else 4) + 4 + max(extra, 0.0))
    return need * 1.25 < available_bytes()


def run_calls(ns: list[int], calls: int, quiet: float | None, repeats: int = 1) -> list[dict]:
    """Each configuration in `repeats` processes per pool size, the pool sizes in turn, and the
    median process kept, with the most that other work kept the CPUs busy over all of them."""
    rows: list[dict] = []
    print(
        table(
            [],
            [
                "variant",
                "dtype",
                "threads",
                "n",
                "ms/call",
                "ns/sample",
                "floor ns/sample",
                "× floor",
                "× 1 thread",
                "bytes/sample",
                "scanlines/lines",
                "others busy",
            ],
        ),
        flush=True,
    )
    for n in ns:
        for variant in VARIANTS:
            for dtype in DTYPES:
                runs: dict[str, list[dict]] = {threads: [] for threads in THREADS}
                skipped: set[str] = set()
                for rep in range(repeats):
                    for threads in threads_in_turn(rep):
                        if threads in skipped:
                            continue
                        if n >= 10**8 and not fits_in_memory(n, dtype, rows, variant, threads):
                            skipped.add(threads)
                            continue
                        wait_for_quiet(quiet)
                        with OthersMeter() as others:
                            r = measure(
                                threads,
                                "time",
                                f"--n={n}",
                                f"--dtype={dtype}",
                                f"--variant={variant}",
                                f"--calls={calls}",
                            )
                        r["others_busy"] = round(others.share, 3)
                        runs[threads].append(r)
                for threads in THREADS:
                    if threads in skipped:
                        print(
                            f"| {variant} | {dtype} | {threads} | {n:.0e} | skipped: "
                            "not enough memory |",
                            flush=True,
                        )
                        continue
                    r = dict(median_process(runs[threads], "call_s"))
                    r["others_busy"] = max(run["others_busy"] for run in runs[threads])
                    r["runs"] = len(runs[threads])
                    r["call_ms"] = r["call_s"] * 1e3
                    rows.append(r)
                    add_one_thread_ratios(rows)
                    memory = f"{r['bytes_per_sample']:.2f}" if n >= MIN_N_FOR_MEMORY else "n/a"
                    print(
                        f"| {variant} | {dtype} | {threads} | {n:.0e} | {r['call_ms']:.3f} "
                        f"| {r['ns_per_sample']:.2f} | {r['floor_ns_per_sample']:.2f} "
                        f"| {r['ratio']:.2f} | {r['ratio_to_one_thread']:.2f} | {memory} "
                        f"| {r['scanlines']}/{r['lines']} | {r['others_busy']:.0%} |",
                        flush=True,
                    )
    return rows


def run_overhead(calls: int, quiet: float | None) -> list[dict]:
    rows = []
    for variant in OVERHEAD_PATHS:
        for dtype in DTYPES:
            for threads in THREADS:
                wait_for_quiet(quiet)
                rows.append(
                    measure(
                        threads,
                        "overhead",
                        f"--dtype={dtype}",
                        f"--variant={variant}",
                        f"--calls={calls}",
                    )
                )
    return rows


def module_of(python: str) -> str:
    done = subprocess.run(
        [
            python,
            "-c",
            "import vorlane, numpy; print(vorlane.__file__, 'numpy', numpy.__version__)",
        ],
        capture_output=True,
        text=True,
    )
    if done.returncode != 0:
        raise SystemExit(f"{python} cannot import vorlane:\n{done.stderr}")
    return done.stdout.strip()


# Within this of the baseline counts as as fast.
PAIRED_LIMIT = 1.10


def run_paired(ns: list[int], calls: int, pairs: int, other: str) -> list[dict]:
    """Times this interpreter's module (A) against `other`'s (B), configuration by configuration.

    Each configuration runs `pairs` times in each interpreter, A and B in alternating order, each
    run a process of its own; the ratio A/B is taken pair by pair, so that a drift of the
    machine's speed between pairs cancels, and the median ratio is the figure. At n >= 1e5 the
    ratio of the two calls' ratios to their own floor is given too, since memory bandwidth moves
    from one process to the next.
    """
    import statistics

    print(f"A: {PYTHON}: {module_of(PYTHON)}\nB: {other}: {module_of(other)}\n")
    header = [
        "configuration",
        "A ms/call",
        "B ms/call",
        "A/B median",
        "A/B min-max",
        "A/B over floors",
        "others busy",
    ]
    print(table([], header), flush=True)
    configs = [("time", v, d, t, n) for n in ns for v in VARIANTS for d in DTYPES for t in THREADS]
    configs += [("overhead", v, d, t, 100) for v in OVERHEAD_PATHS for d in DTYPES for t in THREADS]
    rows = []
    for mode, variant, dtype, threads, n in configs:
        args = [mode, f"--dtype={dtype}", f"--calls={calls}", f"--variant={variant}"]
        if mode == "time":
            args.append(f"--n={n}")
        results: dict[str, list[dict]] = {"A": [], "B": []}
        with OthersMeter() as others:
            for i in range(pairs):
                for side in "AB" if i % 2 == 0 else "BA":
                    results[side].append(
                        measure(threads, *args, python=PYTHON if side == "A" else other)
                    )
        a = [r["call_s"] for r in results["A"]]
        b = [r["call_s"] for r in results["B"]]
        ratios = [x / y for x, y in zip(a, b)]
        floors = (
            [ra["ratio"] / rb["ratio"] for ra, rb in zip(results["A"], results["B"])]
            if mode == "time" and n >= MIN_N_FOR_MEMORY
            else []
        )
        name = (
            f"{variant} {dtype} {threads} n={n:.0e}"
            if mode == "time"
            else f"100-sample call {variant} {dtype} {threads}"
        )
        row = {
            "configuration": name,
            "mode": mode,
            "variant": variant,
            "dtype": dtype,
            "threads": threads,
            "n": n,
            "pairs": pairs,
            "a_ms": statistics.median(a) * 1e3,
            "b_ms": statistics.median(b) * 1e3,
            "ratio": statistics.median(ratios),
            "ratio_min": min(ratios),
            "ratio_max": max(ratios),
            "floor_ratio": statistics.median(floors) if floors else float("nan"),
            "others_busy": round(others.share, 3),
        }
        rows.append(row)
        print(
            f"| {name} | {row['a_ms']:.4f} | {row['b_ms']:.4f} | {row['ratio']:.3f} "
            f"| {row['ratio_min']:.2f}-{row['ratio_max']:.2f} "
            f"| {'n/a' if not floors else format(row['floor_ratio'], '.3f')} "
            f"| {row['others_busy']:.0%} |",
            flush=True,
        )
    slow = [r for r in rows if r["ratio"] > PAIRED_LIMIT]
    print(
        f"\nA within {PAIRED_LIMIT - 1:.0%} of B (median of {pairs} pairs): "
        + (
            "holds for every configuration"
            if not slow
            else "misses for " + ", ".join(f"{r['configuration']} ({r['ratio']:.2f})" for r in slow)
        )
    )
    return rows


def main() -> None:
    global PYTHON
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="n up to 1e6, 3 calls")
    parser.add_argument("--max-n", type=float, default=1e7)
    parser.add_argument("--calls", type=int, help="timed calls per configuration (default 7)")
    parser.add_argument(
        "--stage-bench",
        type=Path,
        help="stage_bench binary (default: the one "
        "beside the imported module, else the newest build/*/bench/stage_bench)",
    )
    parser.add_argument("--stages-only", action="store_true", help="only the stage breakdown")
    parser.add_argument(
        "--quiet",
        type=float,
        default=None,
        metavar="SHARE",
        help="before each configuration wait (up to 3 min) until other work "
        "keeps at most SHARE of the CPUs busy (default 0.15; none with --quick)",
    )
    parser.add_argument(
        "--python",
        help="interpreter whose vorlane is measured (default: "
        "this one), e.g. a venv that holds an installed wheel",
    )
    parser.add_argument(
        "--vs",
        metavar="PYTHON_B",
        help="time --python's module against this "
        "interpreter's, paired configuration by configuration; writes paired.csv",
    )
    parser.add_argument("--pairs", type=int, default=5, help="pairs per configuration with --vs")
    parser.add_argument(
        "--repeats",
        type=int,
        default=1,
        help="processes per configuration and pool size, the median kept (default 1)",
    )
    args = parser.parse_args()
    PYTHON = args.python or sys.executable
    max_n = min(args.max_n, 1e6) if args.quick else args.max_n
    calls = args.calls or (3 if args.quick else 7)
    ns = [n for n in (10**3, 10**5, 10**6, 10**7, 10**8) if n <= max_n]
    RESULTS.mkdir(exist_ok=True)
    suffix = "-quick" if args.quick else ""

    machine = this_machine()
    print(machine_line(machine))
    print(
        f"load average before: {' '.join(f'{v:.2f}' for v in load())}, "
        f"CPUs: {len(os.sched_getaffinity(0))}"
    )
    cal = measure("all", "calibrate", f"--n={256 << 20}")
    print(f"peak-memory method: {cal['bytes']} bytes allocated, {cal['measured']} measured\n")

    quiet = args.quiet if args.quiet is not None else (None if args.quick else 0.15)
    if args.vs:
        rows = [row | machine for row in run_paired(ns, calls, args.pairs, args.vs)]
        write_csv(rows, RESULTS / f"paired{suffix}.csv", tuple(rows[0]))
        print(f"wrote {RESULTS}/paired{suffix}.csv")
        return
    if args.stages_only:
        run_stage_breakdown(args.stage_bench, ns, args.quick, quiet, suffix, PYTHON)
        return
    rows = [row | machine for row in run_calls(ns, calls, quiet, max(1, args.repeats))]
    add_one_thread_ratios(rows)
    write_csv(rows, RESULTS / f"annotate{suffix}.csv", FIELDS)
    plot_ratios(rows, RESULTS / f"annotate{suffix}.png")
    for variant in VARIANTS:
        print(f"\n{path_table(rows, variant)}")
    overhead = [row | machine for row in run_overhead(max(calls, 7), quiet)]
    write_csv(overhead, RESULTS / f"overhead{suffix}.csv", OVERHEAD_FIELDS)
    print(f"\n{overhead_table(overhead)}")

    run_stage_breakdown(args.stage_bench, ns, args.quick, quiet, suffix, PYTHON)
    print(f"\n{targets_table(evaluate_targets(rows, overhead), target_n(rows))}")
    (RESULTS / f"annotate{suffix}.md").write_text(markdown_report(rows, overhead))
    busiest = max(rows, key=lambda r: r["others_busy"])
    print(
        f"\nother work kept at most {busiest['others_busy']:.0%} of the CPUs busy during a "
        f"configuration ({busiest['variant']} {busiest['dtype']} {busiest['threads']} "
        f"n={busiest['n']:.0e})"
    )
    print(f"\nload average after: {' '.join(f'{v:.2f}' for v in load())}")
    print(
        f"wrote {RESULTS}/annotate{suffix}.csv, .png, .md, overhead{suffix}.csv, stages{suffix}.csv"
    )


if __name__ == "__main__":
    main()
