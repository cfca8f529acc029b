"""The benchmark's figure: per path, the ratio of each call to the floor (top) and of all CPUs to
one thread (bottom) against n, with ratio 1 drawn as a line, so that whether a call beats the
floor or the pool pays can be read at a glance at every size.
"""

from __future__ import annotations

from pathlib import Path

from configurations import DTYPES, PATHS, THREADS, add_one_thread_ratios

__all__ = ["plot_ratios"]

COLOURS = {"float64": "tab:blue", "float32": "tab:orange"}


def _series(rows: list[dict], variant: str, dtype: str, threads: str) -> list[dict]:
    mine = (
        r for r in rows if (r["variant"], r["dtype"], r["threads"]) == (variant, dtype, threads)
    )
    return sorted(mine, key=lambda r: r["n"])


def plot_ratios(rows: list[dict], file: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    add_one_thread_ratios(rows)
    variants = [v for v in PATHS if any(r["variant"] == v for r in rows)]
    fig, axes = plt.subplots(
        2, len(variants), figsize=(3.6 * len(variants), 6.4), sharex=True, squeeze=False
    )
    for column, variant in enumerate(variants):
        top, bottom = axes[0][column], axes[1][column]
        for dtype in DTYPES:
            for threads, marker in zip(THREADS, ("o", "s")):
                mine = _series(rows, variant, dtype, threads)
                if not mine:
                    continue
                top.plot(
                    [r["n"] for r in mine],
                    [r["ratio"] for r in mine],
                    marker=marker,
                    color=COLOURS[dtype],
                    linestyle="-" if threads == "1" else ":",
                    label=f"{dtype}, {'1 thread' if threads == '1' else 'all CPUs'}",
                )
                if threads != "1":
                    bottom.plot(
                        [r["n"] for r in mine],
                        [r["ratio_to_one_thread"] for r in mine],
                        marker=marker,
                        color=COLOURS[dtype],
                        linestyle=":",
                    )
        top.axhline(1.0, color="black", linewidth=1.2, label="floor")
        bottom.axhline(1.0, color="black", linewidth=1.2)
        top.set_title(PATHS[variant], fontsize=9)
        bottom.set_xlabel("samples n")
        for ax in (top, bottom):
            ax.set_xscale("log")
            ax.set_ylim(bottom=0)
            ax.grid(True, alpha=0.3)
    axes[0][0].set_ylabel("time / floor")
    axes[1][0].set_ylabel("all CPUs / 1 thread (black: 1 thread)")
    # One legend below the panels, where it hides no point; the lower panels draw the all-CPUs
    # series in the styles of the upper ones.
    handles, labels = axes[0][0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="lower center", ncol=len(labels), fontsize=8, frameon=False)
    fig.tight_layout(rect=(0.0, 0.05, 1.0, 1.0))
    fig.savefig(file, dpi=110)
    plt.close(fig)
