"""The benchmark's report: its targets are judged on the right figures, its CSVs carry what its
Markdown needs, and the machine it ran on is read from /proc's text."""

from __future__ import annotations

import copy
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parents[2] / "bench"
sys.path.insert(0, str(BENCH))

from configurations import DTYPES, OVERHEAD_PATHS, PATHS, THREADS  # noqa: E402
from machine import MACHINE_FIELDS, describe, machine_line  # noqa: E402
from paths import VARIANTS  # noqa: E402  (bench/paths.py, beside the report's modules)
from report import markdown_report, read_rows, write_csv  # noqa: E402
from run_bench import FIELDS, OVERHEAD_FIELDS  # noqa: E402
from targets import evaluate_targets, target_n  # noqa: E402

SIZES = (10**3, 10**5, 10**7)
MACHINE = {"cpu_model": "Test CPU", "cpus": 2, "usable_cpus": 2, "memory_gib": 8.0}


def run(sizes=SIZES) -> tuple[list[dict], list[dict]]:
    """A run in which every target holds: all CPUs below the floor, never slower than 1 thread."""
    rows = []
    for n in sizes:
        for variant in PATHS:
            one_ratio = 1.8 if "noisy" in variant else 1.2
            for dtype in DTYPES:
                for threads in THREADS:
                    ns = 1.0 if threads == "1" else 0.8
                    ratio = one_ratio if threads == "1" else 0.9
                    rows.append(
                        {
                            "variant": variant,
                            "dtype": dtype,
                            "threads": threads,
                            "n": n,
                            "calls": 3,
                            "call_ms": ns * n * 1e-6,
                            "ns_per_sample": ns,
                            "floor_ns_per_sample": ns / ratio,
                            "ratio": ratio,
                            "bytes_per_sample": 1.0 if threads == "1" else 3.0,
                            "lines": 10,
                            "scanlines": 9,
                            "labelled": 0.8,
                            "others_busy": 0.01,
                        }
                        | MACHINE
                    )
    overhead = [
        {"variant": v, "dtype": d, "threads": t, "calls": 7, "call_s": 6e-7, "add_s": 4e-7}
        | {"ratio": 1.5}
        | MACHINE
        for v in OVERHEAD_PATHS
        for d in DTYPES
        for t in THREADS
    ]
    return rows, overhead


def change(rows, variant, dtype, threads, n, **fields):
    for r in rows:
        if (r["variant"], r["dtype"], r["threads"], r["n"]) == (variant, dtype, threads, n):
            r.update(fields)


# (what goes wrong, the target that must miss, the figure it must name)
MISSES = [
    (
        lambda rows, _: change(rows, "hatch", "float32", "all", 10**7, ratio=1.0),
        "float32: all CPUs below 1.0 × the floor",
        "hatch 1.00 (misses)",
    ),
    (
        lambda rows, _: change(rows, "noisy", "float64", "all", 10**5, ns_per_sample=1.06),
        "float64: all CPUs at most 5% slower than 1 thread",
        "noisy (n=1e+05) 1.06 (misses)",
    ),
    (
        lambda rows, _: change(rows, "plain", "float64", "1", 10**7, ratio=1.31),
        "float64: 1 thread at most 1.3 × the floor",
        "plain 1.31 (misses)",
    ),
    (
        lambda rows, _: change(rows, "hatch-noisy", "float32", "1", 10**7, ratio=2.1),
        "float32: 1 thread at most 2 × the floor",
        "hatch-noisy 2.10 (misses)",
    ),
    (
        lambda rows, _: change(rows, "noisy", "float64", "1", 10**7, bytes_per_sample=2.5),
        "float64: sequential peak at most 2 B/sample",
        "noisy 2.50 (misses)",
    ),
    (
        lambda rows, _: change(rows, "hatch", "float64", "all", 10**7, bytes_per_sample=4.2),
        "float64: all CPUs peak at most 4 B/sample",
        "hatch 4.20 (misses)",
    ),
    (
        lambda _, overhead: overhead[-1].update(ratio=2.2),
        "float32: 100-sample call at most 2 × numpy.add",
        "hatch all 2.20 (misses)",
    ),
]


def test_every_target_holds_on_a_run_that_meets_them():
    verdicts = evaluate_targets(*run())
    assert len(verdicts) == 7 * len(DTYPES)
    assert [v for v in verdicts if not v.holds] == []


@pytest.mark.parametrize("spoil, target, figure", MISSES, ids=[m[1] for m in MISSES])
def test_a_figure_beyond_its_target_misses_it_and_only_it(spoil, target, figure):
    rows, overhead = run()
    spoil(rows, overhead)
    missed = [v for v in evaluate_targets(rows, overhead) if not v.holds]
    assert [v.target for v in missed if v.target.startswith(target)] and len(missed) == 1, missed
    assert figure in missed[0].measured, missed[0].measured


def test_the_pool_may_cost_exactly_its_slack():
    rows, overhead = run()
    change(rows, "plain", "float64", "all", 10**3, ns_per_sample=1.05)
    assert all(v.holds for v in evaluate_targets(rows, overhead))


def test_a_run_below_the_target_size_is_judged_at_its_largest_and_says_so():
    rows, overhead = run(sizes=(10**3, 10**6))
    assert target_n(rows) == 10**6
    assert "this run stopped below it" in markdown_report(rows, overhead)


def test_the_csvs_carry_everything_the_markdown_shows(tmp_path):
    rows, overhead = run()
    write_csv(rows, tmp_path / "annotate.csv", FIELDS)
    write_csv(overhead, tmp_path / "overhead.csv", OVERHEAD_FIELDS)
    again = read_rows(tmp_path / "annotate.csv"), read_rows(tmp_path / "overhead.csv")
    expected = markdown_report(copy.deepcopy(rows), overhead)
    assert markdown_report(*again) == expected
    assert "Test CPU, 2 CPUs, 8.0 GiB" in expected
    assert all(f"**{name}**" in expected for name in PATHS.values())


def test_results_without_the_machine_ratio_and_variant_columns_still_render(tmp_path):
    """CSVs written before those columns existed (the committed results may be such)."""
    rows, overhead = run()
    newer = ("ratio_to_one_thread", *MACHINE_FIELDS)
    write_csv(rows, tmp_path / "a.csv", tuple(f for f in FIELDS if f not in newer))
    newer_overhead = ("variant", *MACHINE_FIELDS)
    write_csv(
        overhead, tmp_path / "o.csv", tuple(f for f in OVERHEAD_FIELDS if f not in newer_overhead)
    )
    text = markdown_report(read_rows(tmp_path / "a.csv"), read_rows(tmp_path / "o.csv"))
    assert text.startswith("machine: not recorded")
    assert "0.80 (0.90×; 0.80× 1 thread)" in text and "| plain | float64 | 1 |" in text


def test_the_report_names_every_path_the_generator_makes():
    assert set(PATHS) == set(VARIANTS)


X86 = "processor\t: 0\nmodel name\t: Some  Xeon @ 2.80GHz\n\nprocessor\t: 1\nmodel name\t: x\n"
ARM = "processor\t: 0\nBogoMIPS\t: 50.00\nCPU part\t: 0xd0c\n\nprocessor\t: 1\nCPU part\t: 0xd0c\n"


@pytest.mark.parametrize(
    "cpuinfo, usable, model, cpus, line",
    [
        (X86, 2, "Some Xeon @ 2.80GHz", 2, "machine: Some Xeon @ 2.80GHz, 2 CPUs, 23.5 GiB memory"),
        (ARM, 1, "0xd0c", 2, "machine: 0xd0c, 2 CPUs (1 usable), 23.5 GiB memory"),
    ],
)
def test_machine_is_read_from_proc_text(cpuinfo, usable, model, cpus, line):
    m = describe(cpuinfo, "MemTotal:       24683752 kB\nMemFree: 1 kB\n", usable)
    assert (m["cpu_model"], m["cpus"], m["usable_cpus"]) == (model, cpus, usable)
    assert machine_line(m) == line
