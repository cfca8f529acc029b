"""Scores of predicted scanline ids against a ground truth: lines recovered, precision, splits
and merges, counted so that the scores of several paths can be pooled."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

__all__ = ["Score", "score_labels"]

SHARE = 0.9
"""A line is recovered when one id covers this share of it and this share of the id is on it."""

MIN_SAMPLES = 20
"""True lines shorter than this are not counted as lines to recover (they still count for
precision)."""


@dataclass(frozen=True)
class Score:
    """How well predicted ids match the truth.

    Attributes
    ----------
    lines
        True lines of at least `min_samples` samples.
    recovered
        Of those, lines for which one id covers at least 90 % of the line's samples and at least
        90 % of that id's samples lie on the line.
    labelled
        Samples with a positive id, skywriting overshoot samples not counted (nor laser-off
        samples when the scoring is given the laser signal).
    on_lines
        Of those, samples that lie on some true line (of any length).
    splits
        Counted lines whose samples two or more ids share, each holding at least 10 % of the
        line.
    merges
        Ids that hold at least half of each of two or more true lines (of any length).
    """

    lines: int
    recovered: int
    labelled: int
    on_lines: int
    splits: int
    merges: int

    @property
    def recovered_share(self) -> float:
        """Share of the counted lines recovered; NaN when there is none."""
        return self.recovered / self.lines if self.lines else float("nan")

    @property
    def precision(self) -> float:
        """Share of labelled samples that lie on a true line; NaN when nothing is labelled."""
        return self.on_lines / self.labelled if self.labelled else float("nan")

    def __add__(self, other: Score) -> Score:
        return Score(
            self.lines + other.lines,
            self.recovered + other.recovered,
            self.labelled + other.labelled,
            self.on_lines + other.on_lines,
            self.splits + other.splits,
            self.merges + other.merges,
        )


def score_labels(
    ids: npt.ArrayLike,
    truth: npt.ArrayLike,
    *,
    min_samples: int = MIN_SAMPLES,
    laser_on: npt.ArrayLike | None = None,
) -> Score:
    """Score predicted ids against the ground truth of a `RecordedPath`.

    Parameters
    ----------
    ids
        Predicted id per sample: positive for a line, anything else for none. Ids need not be
        contiguous or ordered.
    truth
        True line per sample (positive), -1 for none and -2 for skywriting overshoot, which
        counts neither for nor against.
    min_samples
        True lines shorter than this are left out of the lines to recover.
    laser_on
        The laser signal the labelling was given, if any: nonzero is on, zero and NaN off. A
        labelling told the laser is off must leave those samples unlabelled, yet the truth counts
        the dwell parked at a line's start (laser still off) as the line's; so laser-off samples
        count neither for nor against, and a line's size is its laser-on samples.

    Returns
    -------
    Score
    """
    ids = np.asarray(ids)
    truth = np.asarray(truth)
    if ids.shape != truth.shape or ids.ndim != 1:
        raise ValueError(
            f"ids and truth must be 1-D of one length, not {ids.shape} and {truth.shape}"
        )
    if not (np.issubdtype(ids.dtype, np.integer) and np.issubdtype(truth.dtype, np.integer)):
        raise TypeError("ids and truth must be integer arrays")
    ids = ids.astype(np.int64)
    truth = truth.astype(np.int64)
    counted = truth != -2
    if laser_on is not None:
        counted &= _laser_signal(laser_on, truth.shape)
    labelled = (ids > 0) & counted
    on_line = (truth > 0) & counted
    predicted = np.where(labelled, ids, 0)
    id_size = np.bincount(predicted, minlength=1)
    id_size[0] = 0
    line_size = np.bincount(np.where(on_line, truth, 0), minlength=1)
    line_size[0] = 0

    # Overlaps of (line, id), counted over runs: paths keep an id for many samples in a row.
    both = labelled & on_line
    pair_line, pair_id = truth[both], predicted[both]
    cut = np.flatnonzero((np.diff(pair_line) != 0) | (np.diff(pair_id) != 0)) + 1
    starts = np.concatenate([[0], cut]) if len(pair_line) else cut
    run_len = np.diff(np.concatenate([starts, [len(pair_line)]]))
    run_line, run_id = pair_line[starts], pair_id[starts]
    key = run_line * (int(id_size.size) + 1) + run_id
    unique, where = np.unique(key, return_inverse=True)
    overlap = np.bincount(where, weights=run_len, minlength=len(unique)).astype(np.int64)
    o_line = unique // (id_size.size + 1)
    o_id = unique % (id_size.size + 1)

    big = line_size >= max(min_samples, 1)
    good = (overlap >= SHARE * line_size[o_line]) & (overlap >= SHARE * id_size[o_id])
    recovered = np.zeros(line_size.size, dtype=bool)
    recovered[o_line[good]] = True
    sizable = overlap >= 0.1 * line_size[o_line]
    split = np.bincount(o_line[sizable], minlength=line_size.size) >= 2
    halves = np.bincount(o_id[2 * overlap >= line_size[o_line]], minlength=id_size.size)
    return Score(
        lines=int(np.count_nonzero(big)),
        recovered=int(np.count_nonzero(recovered & big)),
        labelled=int(np.count_nonzero(labelled)),
        on_lines=int(np.count_nonzero(labelled & on_line)),
        splits=int(np.count_nonzero(split & big)),
        merges=int(np.count_nonzero(halves >= 2)),
    )


def _laser_signal(laser_on: npt.ArrayLike, shape: tuple[int, ...]) -> np.ndarray:
    """The laser signal as bools: nonzero is on, zero and NaN off."""
    signal = np.asarray(laser_on)
    if signal.shape != shape:
        raise ValueError(f"laser_on must have the shape of truth {shape}, not {signal.shape}")
    if signal.dtype == bool:
        return signal
    if np.issubdtype(signal.dtype, np.integer):
        return signal != 0
    if np.issubdtype(signal.dtype, np.floating):
        return (signal != 0) & ~np.isnan(signal)
    raise TypeError(f"laser_on must be a bool, integer or floating array, not {signal.dtype}")
