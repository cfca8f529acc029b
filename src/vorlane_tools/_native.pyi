"""Typing stub of the native part of vorlane_tools (called through its wrappers)."""

from typing import Any

import numpy as np
import numpy.typing as npt

def robust_scanlines(
    x: npt.NDArray[np.floating[Any]],
    y: npt.NDArray[np.floating[Any]],
    laser_on: npt.NDArray[np.bool_] | npt.NDArray[np.uint8] | None,
    tolerance: float | None,
    /,
) -> tuple[npt.NDArray[np.int32], dict[str, Any]]: ...
def scan_vectors(
    x: npt.NDArray[np.floating[Any]],
    y: npt.NDArray[np.floating[Any]],
    ids: npt.NDArray[np.int32] | npt.NDArray[np.int64],
    /,
) -> npt.NDArray[np.void]: ...
