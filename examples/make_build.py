"""Write a small generated build to try `vorlane label` on.

    python examples/make_build.py build.h5              # HDF5 file
    python examples/make_build.py build.zarr --layers 20 # Zarr directory store

Every layer is a group layer_NNNN with 1-D datasets x and y: a zigzag raster like a
recorded one, a little different from layer to layer. Needs h5py or zarr.
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from scan_paths import zigzag_path  # noqa: E402

CHUNK = 1 << 16


def layer_name(index: int) -> str:
    return f"layer_{index:04d}"


def layer_path(
    index: int, lines: int, samples_per_line: int, dtype
) -> tuple[np.ndarray, np.ndarray]:
    # Line count and tilt vary per layer, so no two layers give the same ids. The encoder's
    # rounding alone makes the runs of equal coordinates that recorded paths have.
    return zigzag_path(
        lines=lines + index % 5,
        samples_per_line=samples_per_line,
        angle=1.0 + 0.5 * (index % 4),
        dtype=dtype,
    )


def build_format(path: str) -> str:
    suffix = os.path.splitext(path.rstrip("/"))[1].lower()
    if suffix in (".h5", ".hdf5", ".he5"):
        return "hdf5"
    if suffix == ".zarr":
        return "zarr"
    raise ValueError(f"{path}: name the build .h5 (HDF5) or .zarr (Zarr directory store)")


def make_build(
    path: str,
    layers: int = 8,
    lines: int = 30,
    samples_per_line: int = 200,
    dtype=np.float64,
    overwrite: bool = False,
) -> list[str]:
    """Write the build and return its layer names in order."""
    fmt = build_format(path)
    if os.path.exists(path):
        if not overwrite:
            raise FileExistsError(f"{path} exists (use --overwrite to replace it)")
        shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
    names = [layer_name(i) for i in range(layers)]
    if fmt == "hdf5":
        import h5py

        with h5py.File(path, "w") as f:
            for i, name in enumerate(names):
                g = f.create_group(name)
                for axis, values in zip("xy", layer_path(i, lines, samples_per_line, dtype)):
                    g.create_dataset(axis, data=values, chunks=(min(CHUNK, len(values)),))
    else:
        import zarr

        root = zarr.open_group(path, mode="w")
        for i, name in enumerate(names):
            g = root.create_group(name)
            for axis, values in zip("xy", layer_path(i, lines, samples_per_line, dtype)):
                g.create_array(axis, data=values, chunks=(min(CHUNK, len(values)),))
    return names


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("path", help="build to write: NAME.h5 or NAME.zarr")
    parser.add_argument("--layers", type=int, default=8)
    parser.add_argument("--lines", type=int, default=30, help="hatch lines per layer (about)")
    parser.add_argument("--samples-per-line", type=int, default=200)
    parser.add_argument("--float32", action="store_true", help="store float32 coordinates")
    parser.add_argument("--overwrite", action="store_true")
    args = parser.parse_args(argv)
    try:
        names = make_build(
            args.path,
            args.layers,
            args.lines,
            args.samples_per_line,
            np.float32 if args.float32 else np.float64,
            args.overwrite,
        )
    except (ValueError, FileExistsError) as err:
        parser.exit(2, f"make_build: {err}\n")
    print(f"wrote {len(names)} layers to {args.path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
