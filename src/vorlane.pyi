"""A library for processing and annotating raster scanlines in powder bed fusion data."""

from numpy import float32, float64, int32
from numpy.typing import NDArray

__all__ = ["annotate_scanlines"]

def annotate_scanlines(
    x: NDArray[float64] | NDArray[float32], y: NDArray[float64] | NDArray[float32]
) -> NDArray[int32]:
    """Annotate in-memory scanline data from 1D x and y coordinate arrays.

    Args:
        x (ndarray): 1D numpy array of x-coordinates (float32 or float64).
        y (ndarray): 1D numpy array of y-coordinates (float32 or float64).

    Returns:
        ndarray: 1D numpy array of scanline_id assignments (int32).
    """
