"""Tools around vorlane's scanline labelling."""

from .scoring import Score, score_labels  # noqa: F401
from .simulate import OVERSHOOT, Machine, Part, RecordedPath, Strategy, simulate_path  # noqa: F401
