"""Tools for recorded laser scan paths: robust hatch-line labelling and per-line vector fits."""

from importlib.metadata import PackageNotFoundError, version

from vorlane_tools._labelling import robust_scanlines, scan_vectors

try:
    __version__ = version("vorlane")
except PackageNotFoundError:  # run from a build folder, not installed
    __version__ = "0+unknown"

__all__ = ["robust_scanlines", "scan_vectors"]
