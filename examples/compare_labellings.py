"""Label one noisy, lagged recorded layer with both functions and draw them side by side.

    python examples/compare_labellings.py [-o docs/images/both_labellings.png]

The layer is a 30-degree meander over a square part with a round hole, recorded at 100 kHz
with 1 um of noise, a 30 us servo lag and 1 um encoder steps: what a machine log looks like.
Needs the plot extra (matplotlib).
"""

from __future__ import annotations

import argparse

import numpy as np

import vorlane
import vorlane_tools
from vorlane_tools import Machine, Part, Strategy, score_labels, simulate_path
from vorlane_tools._plot import id_colours, id_palette


def recorded_layer() -> vorlane_tools.RecordedPath:
    part = Part.rectangle(40.0, 40.0, 8.0, 8.0, holes=[Part.round_hole(44.0, 44.0, 1.5)])
    machine = Machine(lag=30e-6, noise=0.001, quantum=0.001)
    return simulate_path((part,), Strategy(angle=30.0), machine, seed=3)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-o", "--output", default="docs/images/both_labellings.png")
    args = parser.parse_args()

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    path = recorded_layer()
    labellings = {
        "annotate_scanlines": vorlane.annotate_scanlines(path.x, path.y),
        "robust_scanlines": vorlane_tools.robust_scanlines(path.x, path.y),
    }
    palette, _ = id_palette()
    fig, axes = plt.subplots(1, 2, figsize=(10, 5.2), sharex=True, sharey=True)
    for axis, (name, ids) in zip(axes, labellings.items()):
        score = score_labels(ids, path.truth)
        axis.plot(path.x, path.y, color="#e4e4e4", lw=0.4, zorder=1)
        axis.scatter(path.x, path.y, c=palette[id_colours(ids)], s=0.6, lw=0, rasterized=True)
        axis.set_aspect("equal")
        axis.set_xlim(39.5, 48.5)  # the part; the laser parks off to the side
        axis.set_ylim(39.5, 48.5)
        axis.set_title(
            f"{name}: {score.recovered}/{score.lines} lines recovered, "
            f"{score.precision:.1%} precise",
            fontsize=10,
        )
        print(
            f"{name}: {len(np.unique(ids[ids > 0]))} ids, {score.recovered} of {score.lines} "
            f"true lines recovered, precision {score.precision:.1%}"
        )
    fig.suptitle("one recorded layer: 1 um noise, 30 us servo lag, 1 um encoder steps", fontsize=11)
    fig.tight_layout()
    fig.savefig(args.output, dpi=110)
    print(f"-> {args.output}")


if __name__ == "__main__":
    main()
