"""What the tests of the vorlane command share: running it, small builds, reading them back."""

from __future__ import annotations

import importlib.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import vorlane
import vorlane_tools
import vorlane_tools.cli

REPO = Path(__file__).resolve().parents[2]

LAYERS = 5
SMALL = dict(layers=LAYERS, lines=12, samples_per_line=60)
FORMATS = {
    "hdf5": ("h5py", "build.h5"),
    # The newest HDF5 file format, which marks a file open for writing while a writer has it.
    "hdf5-latest": ("h5py", "build.h5"),
    "zarr": ("zarr", "build.zarr"),
}


def child_env(**extra: str) -> dict[str, str]:
    """The environment of a child that imports the same vorlane and vorlane_tools."""
    paths = [
        os.path.dirname(os.path.abspath(vorlane.__file__)),
        os.path.dirname(os.path.dirname(os.path.abspath(vorlane_tools.cli.__file__))),
        os.environ.get("PYTHONPATH", ""),
    ]
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in paths if p), **extra}
    env.pop("RAYON_NUM_THREADS", None)
    return env


def run_cli(*args: str, timeout: float = 300) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "vorlane_tools", *args],
        env=child_env(),
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def make_build(tmp_path: Path, fmt: str, **shape: int) -> str:
    module, name = FORMATS[fmt]
    pytest.importorskip(module, minversion="3")
    module_spec = importlib.util.spec_from_file_location(
        "make_build", REPO / "examples/make_build.py"
    )
    assert module_spec and module_spec.loader
    example = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(example)
    path = str(tmp_path / name)
    example.make_build(path, **{**SMALL, **shape})
    if fmt == "hdf5-latest":
        import h5py

        with h5py.File(path, "r") as old, h5py.File(path + ".new", "w", libver="latest") as new:
            for layer in old:
                old.copy(old[layer], new, layer)
        os.replace(path + ".new", path)
    return path


def read_layers(path: str) -> dict[str, dict[str, np.ndarray]]:
    """Every layer's arrays and their attributes, by layer and array name."""
    layers: dict[str, dict] = {}
    if path.endswith(".h5"):
        import h5py

        try:
            f = h5py.File(path, "r")
        except OSError as err:
            if "already open for write" not in str(err):
                raise
            # Marked open for writing by a killed writer: read a copy with the mark cleared,
            # and leave the build as the next run will find it.
            from vorlane_tools._hdf5_flags import clear_write_mark

            copy = path + ".read"
            shutil.copyfile(path, copy)
            clear_write_mark(copy)
            f = h5py.File(copy, "r")
        with f:
            for name, g in f.items():
                layers[name] = {k: (a[:], dict(a.attrs)) for k, a in g.items()}
    else:
        import zarr

        for name, g in zarr.open_group(path, mode="r", use_consolidated=False).groups():
            layers[name] = {k: (a[:], dict(a.attrs)) for k, a in g.arrays()}
    return layers


def assert_labelled(
    path: str,
    dataset: str = "scanline_id",
    robust: bool = False,
    coordinates_from: str | None = None,
) -> None:
    """Every layer holds ``dataset`` equal to a direct call on its coordinates, and nothing
    unfinished is left."""
    coords = read_layers(coordinates_from or path)
    for name, arrays in read_layers(path).items():
        assert not [k for k in arrays if k.endswith((".partial", ".replaced"))], name
        assert dataset in arrays, f"{name}: no {dataset}"
        ids, attrs = arrays[dataset]
        x, y = coords[name]["x"][0], coords[name]["y"][0]
        if robust:
            expected = vorlane_tools.robust_scanlines(x, y)
        else:
            expected = vorlane.annotate_scanlines(x, y)
        assert ids.dtype == np.int32
        np.testing.assert_array_equal(ids, expected, err_msg=name)
        assert attrs["method"] == ("robust_scanlines" if robust else "annotate_scanlines")
        assert attrs["pool_size"] == 1 and attrs["vorlane_version"]
