"""The Markdown of a benchmark run as docs/benchmarks.md shows it: the machine, per path a table
of time per sample with its ratios to the floor and to the one-thread run, the 100-sample calls
and the targets. The run writes it beside its CSVs; this command prints it again from them.

    python bench/report.py [--quick]      the last full (or quick) run, to paste into the docs
"""

from __future__ import annotations

import argparse
import csv
import math
from pathlib import Path

from configurations import DTYPES, MIN_N_FOR_MEMORY, PATHS, add_one_thread_ratios, table
from machine import MACHINE_FIELDS, machine_line
from targets import evaluate_targets, target_n, targets_table

__all__ = ["markdown_report", "overhead_table", "path_table", "read_rows", "write_csv"]

RESULTS = Path(__file__).resolve().parent / "results"
# Columns that hold words; every other one holds a number.
_WORDS = {"variant", "dtype", "threads", "cpu_model", "configuration", "mode"}


def _cell(r: dict | None) -> str:
    if r is None:
        return "–"
    text = f"{float(r['ns_per_sample']):.2f} ({float(r['ratio']):.2f}×"
    pool = float(r.get("ratio_to_one_thread", math.nan))
    if r["threads"] != "1" and not math.isnan(pool):
        text += f"; {pool:.2f}× 1 thread"
    memory = float(r["bytes_per_sample"])
    shown = f"{memory:.2f} B" if int(r["n"]) >= MIN_N_FOR_MEMORY else "n/a"
    return f"{text}), {shown}"


def path_table(rows: list[dict], variant: str) -> str:
    """Time per sample of each size, width and pool size on one path; empty if not run."""
    mine = {(r["dtype"], r["threads"], int(r["n"])): r for r in rows if r["variant"] == variant}
    if not mine:
        return ""
    out = []
    for n in sorted({k[2] for k in mine}):
        cells = [f"{n:.0e}"]
        floors = []
        for dtype in DTYPES:
            for threads in ("1", "all"):
                cells.append(_cell(mine.get((dtype, threads, n))))
            runs = [mine[k] for k in ((dtype, "1", n), (dtype, "all", n)) if k in mine]
            floors.append(
                f"{min(float(r['floor_ns_per_sample']) for r in runs):.2f}" if runs else "–"
            )
        out.append(cells + [" / ".join(floors)])
    header = ["n"] + [f"{d}, {t}" for d in DTYPES for t in ("1 thread", "all CPUs")]
    return (
        f"**{PATHS[variant]}**: ns per sample (ratio to the floor; all CPUs also to 1 thread), "
        "peak bytes per sample beyond inputs and result\n\n"
        + table(out, header + ["floor f64 / f32"])
    )


def overhead_table(overhead: list[dict]) -> str:
    rows = [
        [
            str(r.get("variant") or "plain"),
            r["dtype"],
            r["threads"],
            f"{float(r['call_s']) * 1e6:.2f}",
            f"{float(r['add_s']) * 1e6:.2f}",
            f"{float(r['ratio']):.2f}",
        ]
        for r in overhead
    ]
    header = ["first 100 samples of", "dtype", "threads", "call µs", "numpy.add µs", "ratio"]
    return "**100-sample call** against `numpy.add` on the same arrays\n\n" + table(rows, header)


def markdown_report(rows: list[dict], overhead: list[dict]) -> str:
    """Everything a run shows, for docs/benchmarks.md; the machine is taken from the rows."""
    add_one_thread_ratios(rows)
    machine = {k: rows[0].get(k) for k in MACHINE_FIELDS} if rows else {}
    parts = [machine_line(machine)]
    parts += [t for t in (path_table(rows, v) for v in PATHS) if t]
    if overhead:
        parts.append(overhead_table(overhead))
    if rows:
        parts.append(targets_table(evaluate_targets(rows, overhead), target_n(rows)))
    return "\n\n".join(parts) + "\n"


def _value(key: str, text: str):
    if key in _WORDS or text == "":
        return text
    try:
        number = float(text)
    except ValueError:
        return text
    return int(number) if key == "n" else number


def read_rows(file: Path) -> list[dict]:
    """A CSV the run wrote, numbers as numbers; absent files give no rows."""
    if not file.exists():
        return []
    with open(file, newline="") as f:
        return [{k: _value(k, v) for k, v in row.items()} for row in csv.DictReader(f)]


def write_csv(rows: list[dict], file: Path, fields: tuple[str, ...]) -> None:
    with open(file, "w", newline="") as f:
        w = csv.DictWriter(f, fieldnames=fields, extrasaction="ignore")
        w.writeheader()
        w.writerows(rows)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="the quick run's files")
    parser.add_argument("--results", type=Path, default=RESULTS, help="folder of the CSVs")
    args = parser.parse_args()
    suffix = "-quick" if args.quick else ""
    rows = read_rows(args.results / f"annotate{suffix}.csv")
    if not rows:
        raise SystemExit(f"no annotate{suffix}.csv in {args.results}; run the benchmark first")
    print(markdown_report(rows, read_rows(args.results / f"overhead{suffix}.csv")), end="")


if __name__ == "__main__":
    main()
