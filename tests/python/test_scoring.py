"""Scores of labels against a ground truth, on hand-built cases and against a plain model."""

from __future__ import annotations

import importlib.util
from collections import Counter
from pathlib import Path

import numpy as np
import pytest

from vorlane_tools import Score, score_labels

N, S = -1, -2  # no line, skywriting overshoot


def runs(*pieces: tuple[int, int]) -> np.ndarray:
    return np.concatenate([np.full(n, v, dtype=np.int32) for v, n in pieces])


# (truth, ids, expected lines, recovered, labelled, on_lines, splits, merges)
CASES = {
    "exact": (
        runs((N, 5), (1, 30), (N, 5), (2, 20)),
        runs((N, 5), (1, 30), (N, 5), (2, 20)),
        (2, 2, 50, 50, 0, 0),
    ),
    "covers 90 % of the line": (runs((1, 30)), runs((N, 3), (7, 27)), (1, 1, 27, 27, 0, 0)),
    "covers under 90 %": (runs((1, 30)), runs((N, 4), (7, 26)), (1, 0, 26, 26, 0, 0)),
    "spills 10 % off the line": (runs((1, 27), (N, 3)), runs((4, 30)), (1, 1, 30, 27, 0, 0)),
    "spills more": (runs((1, 26), (N, 4)), runs((4, 30)), (1, 0, 30, 26, 0, 0)),
    "overshoot neither helps nor hurts": (
        runs((S, 20), (1, 30), (S, 20)),
        runs((3, 70)),
        (1, 1, 30, 30, 0, 0),
    ),
    "split": (runs((1, 40)), runs((1, 20), (2, 20)), (1, 0, 40, 40, 1, 0)),
    "merge": (runs((1, 20), (N, 2), (2, 20)), runs((9, 42)), (2, 0, 42, 40, 0, 1)),
    "short lines count only for precision": (
        runs((1, 19), (N, 5), (2, 19)),
        runs((1, 19), (2, 5), (N, 19)),
        (0, 0, 24, 19, 0, 0),
    ),
    "nothing labelled": (runs((1, 30)), runs((N, 30)), (1, 0, 0, 0, 0, 0)),
}


@pytest.mark.parametrize("name", CASES)
def test_hand_built_cases(name):
    truth, ids, expected = CASES[name]
    got = score_labels(ids, truth)
    assert (
        got.lines,
        got.recovered,
        got.labelled,
        got.on_lines,
        got.splits,
        got.merges,
    ) == expected


def test_shares_and_pooling():
    truth, ids, _ = CASES["spills 10 % off the line"]
    score = score_labels(ids, truth)
    assert score.recovered_share == 1.0 and score.precision == 0.9
    assert np.isnan(score_labels(runs((N, 3)), runs((N, 3))).precision)
    assert score + Score(1, 0, 10, 5, 0, 0) == Score(2, 1, 40, 32, 0, 0)


def model(ids, truth, min_samples=20, laser_on=None):
    """The definition, sample by sample."""
    on = [True] * len(ids) if laser_on is None else laser_on.tolist()
    counted = [(i, t) for i, t, o in zip(ids.tolist(), truth.tolist(), on) if t != -2 and o]
    line_size = Counter(t for _, t in counted if t > 0)
    id_size = Counter(i for i, _ in counted if i > 0)
    overlap = Counter((t, i) for i, t in counted if i > 0 and t > 0)
    big = {t for t, n in line_size.items() if n >= min_samples}
    recovered = {
        t
        for (t, i), n in overlap.items()
        if t in big and n >= 0.9 * line_size[t] and n >= 0.9 * id_size[i]
    }
    splits = {
        t
        for t in big
        if sum(n >= 0.1 * line_size[t] for (u, _), n in overlap.items() if u == t) >= 2
    }
    merges = {
        i
        for i in id_size
        if sum(2 * n >= line_size[t] for (t, j), n in overlap.items() if j == i) >= 2
    }
    on_lines = sum(1 for i, t in counted if i > 0 and t > 0)
    return Score(
        len(big), len(recovered), sum(id_size.values()), on_lines, len(splits), len(merges)
    )


@pytest.mark.parametrize("seed", range(20))
def test_matches_the_definition_on_random_labels(seed):
    rng = np.random.default_rng(seed)
    n = 3000
    truth = np.repeat(rng.integers(-2, 15, 150), rng.integers(1, 40, 150))[:n].astype(np.int32)
    ids = truth.copy()
    # Cut, merge, spill and relabel stretches, as a labelling gets them wrong.
    for _ in range(rng.integers(0, 30)):
        a = rng.integers(0, len(ids))
        ids[a : a + rng.integers(1, 60)] = rng.integers(-1, 20)
    assert score_labels(ids, truth) == model(ids, truth)
    laser_on = rng.random(len(ids)) < 0.8
    assert score_labels(ids, truth, laser_on=laser_on) == model(ids, truth, laser_on=laser_on)


# A line whose first 10 samples are the jump-delay dwell, laser still off: the truth counts them
# as the line's, a labelling told the laser must leave them unlabelled.
DWELL_TRUTH = runs((N, 5), (1, 40), (N, 5))
DWELL_IDS = runs((N, 15), (1, 30), (N, 5))
DWELL_LASER = runs((0, 15), (1, 30), (0, 5)).astype(bool)


@pytest.mark.parametrize(
    "laser_on",
    [DWELL_LASER, DWELL_LASER.astype(np.int8), np.where(DWELL_LASER, 1.0, np.nan)],
    ids=["bool", "int", "float with NaN off"],
)
def test_laser_off_samples_count_neither_for_nor_against(laser_on):
    assert score_labels(DWELL_IDS, DWELL_TRUTH).recovered == 0
    assert score_labels(DWELL_IDS, DWELL_TRUTH, laser_on=laser_on) == Score(1, 1, 30, 30, 0, 0)
    # Labelling laser-off samples is not held against a labelling either.
    assert score_labels(runs((N, 5), (1, 45)), DWELL_TRUTH, laser_on=laser_on).precision == 1.0


def test_rejects_mismatched_or_float_inputs():
    with pytest.raises(ValueError):
        score_labels(np.zeros(3, np.int32), np.zeros(4, np.int32))
    with pytest.raises(TypeError):
        score_labels(np.zeros(3), np.zeros(3, np.int32))
    with pytest.raises(ValueError, match="laser_on"):
        score_labels(np.zeros(3, np.int32), np.zeros(3, np.int32), laser_on=np.ones(4, bool))
    with pytest.raises(TypeError, match="laser_on"):
        score_labels(np.zeros(3, np.int32), np.zeros(3, np.int32), laser_on=np.array(list("abc")))


def test_quality_benchmark_prints_a_row_per_case_and_the_totals(capsys):
    bench = Path(__file__).resolve().parents[2] / "bench" / "robust_quality.py"
    module_spec = importlib.util.spec_from_file_location("robust_quality", bench)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    assert module.main(["--quick", "--case", "steep-clean", "--case", "angle-0"]) == 0
    rows = [line for line in capsys.readouterr().out.splitlines() if line.startswith("| ")]
    assert [row.split(" | ")[0] for row in rows[1:]] == [
        "| steep-clean",
        "| angle-0",
        "| **all cases**",
    ]


def test_sweep_benchmark_lists_each_draw_and_the_pooled_figures(capsys):
    bench = Path(__file__).resolve().parents[2] / "bench" / "robust_sweep.py"
    module_spec = importlib.util.spec_from_file_location("robust_sweep", bench)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    assert module.main(["--draws", "2", "--seed", "3", "--all"]) == 0
    out = capsys.readouterr().out
    assert [line.split(" | ")[0] for line in out.splitlines() if line.startswith("| 3")] == ["| 3"]
    assert "2 draws from seed 3:" in out

    # The same draw recorded at half the rate holds about half the samples.
    def samples(argv):
        assert module.main(["--draws", "1", "--seed", "3", "--all", *argv]) == 0
        row = next(line for line in capsys.readouterr().out.splitlines() if line.startswith("| 3"))
        return int(row.split(" | ")[2])

    assert samples(["--sample-rate", "50000"]) == pytest.approx(samples([]) / 2, rel=0.05)
