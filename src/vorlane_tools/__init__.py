"""Tools for recorded laser scan paths: robust hatch-line labelling, per-line vector fits, and
recorded paths with ground truth to test a pipeline on."""

from importlib.metadata import PackageNotFoundError, version

from vorlane_tools._labelling import robust_scanlines, scan_vectors
from vorlane_tools.scoring import Score, score_labels
from vorlane_tools.simulate import (
    OVERSHOOT,
    Machine,
    Part,
    RecordedPath,
    Strategy,
    simulate_path,
)

try:
    __version__ = version("vorlane")
except PackageNotFoundError:  # run from a build folder, not installed
    __version__ = "0+unknown"

__all__ = [
    "OVERSHOOT",
    "Machine",
    "Part",
    "RecordedPath",
    "Score",
    "Strategy",
    "robust_scanlines",
    "scan_vectors",
    "score_labels",
    "simulate_path",
]
