"""How well the labellings recover the hatch lines of the recorded-path cases.

For every case of `vorlane_tools.cases.CASES` it prints the share of true lines recovered and
the precision of the labelled samples for `vorlane.annotate_scanlines` and, when it can be
imported, `vorlane_tools.robust_scanlines`; then the totals over all cases. Figures only:
nothing here asserts a quality.

    python bench/robust_quality.py            # every case, all its layers
    python bench/robust_quality.py --quick    # first layer of every case, well under a minute
    python bench/robust_quality.py --dtype float32 --seed 1   # every case in float32, seed 1
"""

from __future__ import annotations

import argparse
import sys
import time
from collections.abc import Callable
from dataclasses import replace

import numpy as np

import vorlane
from vorlane_tools import Score, score_labels
from vorlane_tools.cases import CASES

Labeller = Callable[[np.ndarray, np.ndarray, np.ndarray], np.ndarray]


def labellers(use_laser: bool) -> dict[str, Labeller]:
    found: dict[str, Labeller] = {
        "annotate_scanlines": lambda x, y, on: vorlane.annotate_scanlines(x, y)
    }
    try:
        from vorlane_tools import robust_scanlines
    except ImportError:
        return found
    if use_laser:
        found["robust_scanlines"] = lambda x, y, on: robust_scanlines(x, y, laser_on=on)
    else:
        found["robust_scanlines"] = lambda x, y, on: robust_scanlines(x, y)
    return found


def percent(value: float) -> str:
    return "n/a" if np.isnan(value) else f"{100.0 * value:.1f}"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="first layer of every case only")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--case", action="append", help="only this case (repeatable)")
    parser.add_argument(
        "--laser-on",
        action="store_true",
        help="pass laser_on where accepted, and score laser-on samples only",
    )
    parser.add_argument(
        "--dtype",
        choices=["float32", "float64"],
        help="record every case in this width instead of its own",
    )
    args = parser.parse_args(argv)
    names = args.case or list(CASES)
    unknown = sorted(set(names) - set(CASES))
    if unknown:
        parser.error(f"unknown cases {unknown}; known: {', '.join(CASES)}")

    funcs = labellers(args.laser_on)
    totals = {name: Score(0, 0, 0, 0, 0, 0) for name in funcs}
    header = "| case | samples | lines |" + "".join(
        f" {name}: recovered % | precision % | splits | merges |" for name in funcs
    )
    print(header)
    print("|" + "---|" * (header.count("|") - 1))
    started = time.perf_counter()
    for case in names:
        chosen = CASES[case]
        if args.dtype is not None:
            chosen = replace(chosen, machine=replace(chosen.machine, dtype=np.dtype(args.dtype)))
        path = chosen.record(args.seed, quick=args.quick)
        row = f"| {case} | {len(path.x)} | {{lines}} |"
        for name, label in funcs.items():
            # A labelling told the laser must leave off samples unlabelled, so they are not scored.
            laser = path.laser_on if args.laser_on else None
            score = score_labels(label(path.x, path.y, path.laser_on), path.truth, laser_on=laser)
            totals[name] = totals[name] + score
            row += (
                f" {percent(score.recovered_share)} | {percent(score.precision)} |"
                f" {score.splits} | {score.merges} |"
            )
        print(row.format(lines=score.lines), flush=True)
    row = "| **all cases** | | {lines} |"
    for score in totals.values():
        row += (
            f" **{percent(score.recovered_share)}** | **{percent(score.precision)}** |"
            f" {score.splits} | {score.merges} |"
        )
    print(row.format(lines=score.lines))
    print(
        f"\n{len(names)} cases, seed {args.seed}{', first layers only' if args.quick else ''},"
        f"{f' all in {args.dtype},' if args.dtype else ''}"
        f" {time.perf_counter() - started:.1f} s",
        file=sys.stderr,
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
