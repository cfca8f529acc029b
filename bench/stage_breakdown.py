"""The time of each annotation stage alone (bench/stage_bench, Google Benchmark) on the
benchmark's paths, as a table per path and width beside the whole call: where the time goes.
"""

from __future__ import annotations

import json
import subprocess
import tempfile
from pathlib import Path

from configurations import PATHS, environment, table
from machine_load import OthersMeter, wait_for_quiet
from report import write_csv

__all__ = ["run_stage_breakdown"]

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
RESULTS = HERE / "results"
STAGES = (
    "collapse_x",
    "collapse_y",
    "find_turning_points",
    "order_turning_points",
    "compute_segment_threshold",
    "assign_scanline_ids",
)


def find_stage_bench(python: str) -> Path | None:
    """The binary built beside the module being measured, else the newest one in build/."""
    done = subprocess.run(
        [python, "-c", "import vorlane; print(vorlane.__file__)"], capture_output=True, text=True
    )
    if done.returncode == 0:
        beside = Path(done.stdout.strip()).parent / "bench" / "stage_bench"
        if beside.exists():
            return beside
    found = sorted(ROOT.glob("build/*/bench/stage_bench"), key=lambda p: p.stat().st_mtime)
    return found[-1] if found else None


def run_stages(binary: Path, n: int, quick: bool, quiet: float | None) -> list[dict]:
    from paths import make_path, write_path_file

    flags = (
        ["--benchmark_min_time=0.05"]
        if quick
        else ["--benchmark_repetitions=5", "--benchmark_report_aggregates_only=true"]
    )
    with tempfile.TemporaryDirectory(dir=RESULTS, suffix=".tmp") as tmp:
        path_args = []
        for variant in PATHS:
            p = make_path(n, variant=variant)
            file = Path(tmp) / f"{variant}.bin"
            write_path_file(file, p.x, p.y)
            path_args.append(f"--path={variant}={file}")
        rows = []
        for threads, pattern in (("1", "."), ("all", "parallel|chunked|annotate")):
            out = Path(tmp) / f"stages-{threads}.json"
            wait_for_quiet(quiet)
            done = subprocess.run(
                [
                    str(binary),
                    *path_args,
                    f"--benchmark_filter={pattern}",
                    f"--benchmark_out={out}",
                    "--benchmark_out_format=json",
                    *flags,
                ],
                env=environment(threads),
                capture_output=True,
                text=True,
            )
            if done.returncode != 0:
                raise SystemExit(f"{binary} failed:\n{done.stderr}")
            for b in json.loads(out.read_text())["benchmarks"]:
                if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
                    continue
                stage, dtype, variant = b["run_name"].split("/")[:3]
                rows.append(
                    {
                        "variant": variant,
                        "dtype": dtype,
                        "threads": threads,
                        "stage": stage,
                        "n": n,
                        "ms": b["real_time"],
                        "ns_per_sample": b["per_sample"] * 1e9,
                        "records": int(b.get("records", 0)),
                    }
                )
    return rows


def print_stages(rows: list[dict]) -> None:
    for variant in PATHS:
        for dtype in ("double", "float"):
            mine = {
                (r["stage"], r["threads"]): r
                for r in rows
                if (r["variant"], r["dtype"]) == (variant, dtype)
            }
            driver = mine.get(("annotate_scanlines", "1"))
            if driver is None:
                continue
            out = []
            for stage in ("floor", *STAGES[:3], "fused_collapse_and_turns", *STAGES[3:]):
                r = mine.get((stage, "1"))
                if r:
                    out.append(
                        [
                            stage,
                            f"{r['ms']:.3f}",
                            f"{r['ns_per_sample']:.3f}",
                            f"{100 * r['ms'] / driver['ms']:.1f} %",
                            str(r["records"] or ""),
                        ]
                    )
            total = sum(mine[(s, "1")]["ms"] for s in STAGES if (s, "1") in mine)
            out.append(
                [
                    "sum of the stages",
                    f"{total:.3f}",
                    f"{total / driver['ms'] * driver['ns_per_sample']:.3f}",
                    f"{100 * total / driver['ms']:.1f} %",
                    "",
                ]
            )
            out.append(
                [
                    "annotate_scanlines, 1 thread",
                    f"{driver['ms']:.3f}",
                    f"{driver['ns_per_sample']:.3f}",
                    "100.0 %",
                    "",
                ]
            )
            for stage in (
                "collapse_x_parallel",
                "collapse_y_parallel",
                "chunked_turns_one_read",
                "chunked_turns_two_reads",
                "annotate_scanlines",
            ):
                r = mine.get((stage, "all"))
                if r:
                    out.append(
                        [
                            f"{stage}, all CPUs",
                            f"{r['ms']:.3f}",
                            f"{r['ns_per_sample']:.3f}",
                            f"{100 * r['ms'] / driver['ms']:.1f} %",
                            "",
                        ]
                    )
            print(f"\n{variant}, {dtype}, n = {driver['n']:.0e}")
            print(table(out, ["stage", "ms", "ns/sample", "of the 1-thread call", "records out"]))


def run_stage_breakdown(
    binary: Path | None, ns: list[int], quick: bool, quiet: float | None, suffix: str, python: str
) -> None:
    """Runs the stage benchmark on the paths at the largest size up to 1e7 and prints its
    tables; `binary` None takes the one built beside `python`'s vorlane."""
    binary = binary or find_stage_bench(python)
    if binary is None:
        print(
            "\nno stage_bench binary (configure with -DVORLANE_BUILD_BENCH=ON); "
            "skipping the stage breakdown"
        )
        return
    print(f"\nstage_bench: {binary}")
    with OthersMeter() as others:
        stages = run_stages(binary, min(ns[-1], 10**7), quick, quiet)
    write_csv(
        stages,
        RESULTS / f"stages{suffix}.csv",
        ("variant", "dtype", "threads", "stage", "n", "ms", "ns_per_sample", "records"),
    )
    print_stages(stages)
    print(f"\nother work kept {others.share:.0%} of the CPUs busy during the stage benchmark")
