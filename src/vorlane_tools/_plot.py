"""The picture of a labelled layer: the whole layer coloured by scanline id and, where the
ids hand over from line to line, a zoom on where labelling begins. Needs matplotlib."""

from __future__ import annotations

import numpy as np

# Neighbouring scanlines get different hues: the dark shades of a qualitative palette, then
# its light shades, without its greys (grey means "no scanline").
CYCLE = "tab20"
CYCLE_ORDER = [0, 2, 4, 6, 8, 10, 12, 16, 18, 1, 3, 5, 7, 9, 11, 13, 17, 19]
UNLABELLED = "#b4b4b4"
# Enough points to show the shape of a layer; the zoom panel always draws every sample.
OVERVIEW_POINTS = 200_000


def scanline_starts(ids: np.ndarray) -> np.ndarray:
    """Indices where one scanline hands over to the next: the middle of a turning region."""
    change = np.flatnonzero(ids[1:] != ids[:-1]) + 1
    return change[(ids[change] > 0) & (ids[change - 1] > 0)]


def zoom_window(x, y, ids, starts) -> tuple[float, float, float, float] | None:
    """A square a few line spacings wide where labelling begins: the lead-in, the first
    turning regions and the first hand-overs between scanlines all fall inside."""
    if len(starts) < 3:
        return None
    px, py = x[starts].astype(np.float64), y[starts].astype(np.float64)
    # Hand-overs alternate between the two ends of the lines, so i and i + 2 are neighbours.
    spacing = float(np.median(np.hypot(px[2:] - px[:-2], py[2:] - py[:-2])))
    if not np.isfinite(spacing) or spacing <= 0:
        return None
    first = int(np.argmax(ids > 0))
    half = 1.6 * spacing
    cx = _keep_inside(float(x[first]), half, x)
    cy = _keep_inside(float(y[first]), half, y)
    return cx - half, cx + half, cy - half, cy + half


def _keep_inside(centre: float, half: float, values) -> float:
    """Shift a window centre so the window stays on the path rather than past its edge."""
    lo, hi = float(np.nanmin(values)), float(np.nanmax(values))
    pad = 0.15 * half
    if hi - lo < 2 * half:
        return 0.5 * (lo + hi)
    return min(max(centre, lo + half - pad), hi - half + pad)


def path_through(x, y, inside: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The path's pieces inside a window, each with one sample more on either side so it
    runs out to the window's edge, and broken (NaN) between pieces instead of jumping."""
    keep = np.zeros(len(x) + 2, dtype=bool)
    for shift in (0, 1, 2):
        keep[inside + shift] = True
    index = np.flatnonzero(keep[1:-1])
    breaks = np.flatnonzero(np.diff(index) > 1) + 1
    xs, ys = x[index].astype(np.float64), y[index].astype(np.float64)
    return np.insert(xs, breaks, np.nan), np.insert(ys, breaks, np.nan)


def id_palette() -> tuple[np.ndarray, int]:
    """RGB rows: grey for -1, then the cycle of scanline colours; and the cycle's length."""
    import matplotlib
    import matplotlib.pyplot as plt

    colours = [plt.get_cmap(CYCLE).colors[i] for i in CYCLE_ORDER]
    return np.array([matplotlib.colors.to_rgb(UNLABELLED), *colours]), len(colours)


def id_colours(ids: np.ndarray) -> np.ndarray:
    """Row of id_palette() for each id: -1 grey, id k entry (k - 1) mod the cycle's length."""
    _, cycle = id_palette()
    return np.where(ids > 0, (ids - 1) % cycle + 1, 0)


def draw(x, y, ids, title: str):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    palette, _ = id_palette()
    colour_of = id_colours(ids)
    starts = scanline_starts(ids)
    window = zoom_window(x, y, ids, starts)

    fig, axes = plt.subplots(1, 2 if window else 1, figsize=(9, 5), squeeze=False)
    overview = axes[0, 0]
    step = max(1, len(x) // OVERVIEW_POINTS)
    sel = slice(None, None, step)
    overview.plot(x[sel], y[sel], color="#dddddd", lw=0.5, zorder=1)
    overview.scatter(
        x[sel], y[sel], c=palette[colour_of[sel]], s=1.5, lw=0, zorder=2, rasterized=True
    )
    overview.set_aspect("equal", adjustable="datalim")
    overview.set_title("whole layer" + (f" (1 in {step} samples)" if step > 1 else ""), fontsize=10)

    if window:
        x0, x1, y0, y1 = window
        zoom = axes[0, 1]
        inside = np.flatnonzero((x >= x0) & (x <= x1) & (y >= y0) & (y <= y1))
        zx, zy = x[inside], y[inside]
        zoom.plot(*path_through(x, y, inside), color="#cccccc", lw=0.8, zorder=1)
        labelled = ids[inside] > 0
        zoom.scatter(
            zx[~labelled],
            zy[~labelled],
            c=UNLABELLED,
            s=14,
            lw=0,
            zorder=2,
            label="no scanline (-1)",
        )
        zoom.scatter(
            zx[labelled],
            zy[labelled],
            c=palette[colour_of[inside][labelled]],
            s=14,
            lw=0,
            zorder=3,
            label="scanline (colour cycles by id)",
        )
        hand = starts[(x[starts] >= x0) & (x[starts] <= x1) & (y[starts] >= y0) & (y[starts] <= y1)]
        zoom.scatter(
            x[hand],
            y[hand],
            marker="x",
            c="black",
            s=30,
            lw=1,
            zorder=4,
            label="next scanline starts",
        )
        zoom.set_xlim(x0, x1)
        zoom.set_ylim(y0, y1)
        zoom.set_aspect("equal")
        zoom.set_title("where labelling begins, every sample", fontsize=10)
        zoom.legend(loc="lower left", fontsize=8, framealpha=0.9)
        overview.indicate_inset_zoom(zoom, edgecolor="black")

    fig.suptitle(title, fontsize=11)
    fig.tight_layout()
    return fig


def summary(ids: np.ndarray) -> tuple[int, int, float]:
    labelled = ids > 0
    lines = len(np.unique(ids[labelled]))
    share = float(labelled.mean()) if len(ids) else 0.0
    return len(ids), lines, share
