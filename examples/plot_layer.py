"""Draw the bundled example path, or a layer file, coloured by scanline id.

    python examples/plot_layer.py                      # the bundled example path
    python examples/plot_layer.py layer.npy -o layer.png

A thin caller of `vorlane plot`, which draws any layer of a build or file; this script only
adds the bundled path. Needs matplotlib.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from vorlane_tools.cli import main as vorlane  # noqa: E402


def bundled_path() -> tuple[np.ndarray, np.ndarray]:
    from scan_paths import zigzag_path

    return zigzag_path(lines=40, samples_per_line=120, hatch_spacing=0.25)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "file", nargs="?", help=".npy, .npz or .csv file (default: the bundled example path)"
    )
    parser.add_argument(
        "-o", "--output", default="layer.png", help="PNG to write (default: layer.png)"
    )
    args = parser.parse_args(argv)
    if args.file:
        return vorlane(["plot", args.file, "-o", args.output])
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "bundled_example_path.npy")
        np.save(path, np.column_stack(bundled_path()))
        return vorlane(["plot", path, "-o", args.output])


if __name__ == "__main__":
    sys.exit(main())
