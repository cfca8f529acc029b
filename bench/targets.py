"""The speed targets, judged on one run's figures: one line per target and width, saying whether
it holds or misses and what was measured. Printed, never asserted: timings on a shared machine
move from run to run.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass

from configurations import (
    DTYPES,
    MIN_N_FOR_MEMORY,
    NOISY_PATHS,
    PATHS,
    PLAIN_PATHS,
    add_one_thread_ratios,
    table,
)

__all__ = ["TARGET_N", "Verdict", "evaluate_targets", "target_n", "targets_table"]

# The size the targets are set at; a run that stops below it is judged at its largest size.
TARGET_N = 10**7
# All CPUs may be this much slower than one thread at any size.
POOL_SLACK = 1.05


@dataclass(frozen=True)
class Verdict:
    target: str
    holds: bool
    measured: str


def target_n(rows: list[dict]) -> int:
    sizes = {int(r["n"]) for r in rows}
    return TARGET_N if TARGET_N in sizes else max(sizes, default=0)


def _judge(
    target: str, figures: list[tuple[str, float]], ok: Callable[[float], bool]
) -> list[Verdict]:
    """One verdict over several figures: it holds when every one does; the figures that miss
    are marked. No figures (configurations not run) give no verdict."""
    figures = [(name, value) for name, value in figures if not math.isnan(value)]
    if not figures:
        return []
    measured = ", ".join(
        f"{name} {value:.2f}" + ("" if ok(value) else " (misses)") for name, value in figures
    )
    return [Verdict(target, all(ok(v) for _, v in figures), measured)]


def evaluate_targets(rows: list[dict], overhead: list[dict]) -> list[Verdict]:
    """Every target for each width, from the run's rows at the target size (all sizes for the
    pool's slack) and its 100-sample calls."""
    add_one_thread_ratios(rows)
    n = target_n(rows)
    at = {(r["variant"], r["dtype"], r["threads"]): r for r in rows if int(r["n"]) == n}

    def figures(paths, dtype: str, threads: str, field: str) -> list[tuple[str, float]]:
        found = [(v, at.get((v, dtype, threads))) for v in paths]
        return [(v, float(r[field])) for v, r in found if r is not None]

    verdicts: list[Verdict] = []
    for dtype in DTYPES:
        verdicts += _judge(
            f"{dtype}: all CPUs below 1.0 × the floor, plain paths",
            figures(PLAIN_PATHS, dtype, "all", "ratio"),
            lambda v: v < 1.0,
        )
        slack = []
        for variant in PATHS:
            mine = [
                r
                for r in rows
                if (r["variant"], r["dtype"], r["threads"]) == (variant, dtype, "all")
                and not math.isnan(r["ratio_to_one_thread"])
            ]
            if mine:
                worst = max(mine, key=lambda r: r["ratio_to_one_thread"])
                slack.append((f"{variant} (n={int(worst['n']):.0e})", worst["ratio_to_one_thread"]))
        verdicts += _judge(
            f"{dtype}: all CPUs at most {POOL_SLACK - 1:.0%} slower than 1 thread, every size "
            "(worst size)",
            slack,
            lambda v: v <= POOL_SLACK,
        )
        verdicts += _judge(
            f"{dtype}: 1 thread at most 1.3 × the floor, plain paths",
            figures(PLAIN_PATHS, dtype, "1", "ratio"),
            lambda v: v <= 1.3,
        )
        verdicts += _judge(
            f"{dtype}: 1 thread at most 2 × the floor, noisy paths",
            figures(NOISY_PATHS, dtype, "1", "ratio"),
            lambda v: v <= 2.0,
        )
        if n >= MIN_N_FOR_MEMORY:
            for threads, limit in (("1", 2.0), ("all", 4.0)):
                verdicts += _judge(
                    f"{dtype}: {'sequential' if threads == '1' else 'all CPUs'} peak at most "
                    f"{limit:.0f} B/sample",
                    figures(PATHS, dtype, threads, "bytes_per_sample"),
                    lambda v, limit=limit: v <= limit,
                )
        verdicts += _judge(
            f"{dtype}: 100-sample call at most 2 × numpy.add",
            [
                (f"{r.get('variant', 'plain')} {r['threads']}", float(r["ratio"]))
                for r in overhead
                if r["dtype"] == dtype
            ],
            lambda v: v <= 2.0,
        )
    return verdicts


def targets_table(verdicts: list[Verdict], n: int) -> str:
    head = f"Targets at n = {n:.0e}"
    if n != TARGET_N:
        head += f" (the targets are set at {TARGET_N:.0e}; this run stopped below it)"
    rows = [[v.target, "holds" if v.holds else "misses", v.measured] for v in verdicts]
    return head + "\n\n" + table(rows, ["target", "verdict", "measured"])
