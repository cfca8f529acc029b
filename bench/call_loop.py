"""Calls annotate_scanlines on one path file in a loop, for timing whole processes from outside
(`farm-bench --vs 'B' -- A`, two interpreters whose vorlane differs): the calls dominate the run.

    python bench/call_loop.py PATH_FILE [--calls 50] [--first 100] [--float32]

PATH_FILE is written by `bench/paths.py --out`; --first takes only its first samples (100 for
the call overhead).
"""

from __future__ import annotations

import argparse
from pathlib import Path

import numpy as np

import vorlane


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("path_file", type=Path)
    parser.add_argument("--calls", type=int, default=50)
    parser.add_argument("--first", type=int, help="only the first N samples")
    parser.add_argument("--float32", action="store_true")
    args = parser.parse_args()
    # The layout of bench/paths.py's files: all of x, then all of y, float64.
    data = np.memmap(args.path_file, dtype="<f8", mode="r")
    half = len(data) // 2
    take = min(args.first or half, half)
    x, y = np.array(data[:take]), np.array(data[half : half + take])
    if args.float32:
        x, y = x.astype(np.float32), y.astype(np.float32)
    ids = None
    for _ in range(args.calls):
        ids = vorlane.annotate_scanlines(x, y)
    labelled = int(np.count_nonzero(ids > 0)) if ids is not None else 0
    print(f"{vorlane.__file__}: {args.calls} calls on {len(x)} samples, {labelled} labelled")


if __name__ == "__main__":
    main()
