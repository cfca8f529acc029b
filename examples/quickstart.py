"""Label a synthetic hatch raster of a few hundred thousand samples and summarise the result."""

from __future__ import annotations

import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from scan_paths import zigzag_path  # noqa: E402

import vorlane  # noqa: E402

LINES = 200


def main() -> None:
    x, y = zigzag_path(lines=LINES, samples_per_line=1500)
    ids = vorlane.annotate_scanlines(x, y)

    labelled = ids > 0
    found = np.unique(ids[labelled])
    print(f"samples:          {len(x)}")
    print(f"hatch lines:      {LINES}")
    print(f"scanlines found:  {len(found)}")
    print(f"samples labelled: {labelled.mean():.1%}")
    print("first scanlines (id: first..last sample):")
    for scanline in found[:5]:
        members = np.flatnonzero(ids == scanline)
        print(f"  {scanline:4d}: {members[0]}..{members[-1]}")


if __name__ == "__main__":
    main()
