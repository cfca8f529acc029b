"""Builds on disk: an HDF5 file or a Zarr directory store with one group per layer.

Ids are written beside a layer under a temporary name and renamed once complete, so a reader
never sees a half-written ids dataset; coordinates are only ever read. A run killed at any
moment leaves at most a temporary dataset, which :meth:`Store.repair` removes.
"""

from __future__ import annotations

import json
import os
import re
import shutil
import warnings
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

from ._data import Coordinates, InputError, check_dtype, coordinates

PARTIAL = ".partial"  # ids being written
REPLACED = ".replaced"  # ids being replaced by --overwrite, on the way out
LEFTOVER_SUFFIXES = (PARTIAL, REPLACED)
# Read and write in slabs: memory stays bounded per step, and a Dask worker's event loop gets
# the interpreter lock back often enough to keep its heartbeats going.
SLAB = 1 << 23


def natural_key(name: str) -> list[Any]:
    return [int(part) if part.isdigit() else part for part in re.split(r"(\d+)", name)]


@dataclass(frozen=True)
class ArrayInfo:
    """What a layer's array is, read from its metadata alone."""

    shape: tuple[int, ...]
    dtype: np.dtype[Any]
    chunks: tuple[int, ...] | None
    attrs: dict[str, Any]


@dataclass(frozen=True)
class Layer:
    """A group of the build and the arrays it holds, by name."""

    name: str
    arrays: dict[str, ArrayInfo] = field(default_factory=dict)

    @property
    def samples(self) -> int | None:
        x = self.arrays.get("x")
        return x.shape[0] if x is not None and len(x.shape) == 1 else None


class Store:
    """Where a build lives; picklable, so that Dask workers open it themselves."""

    kind = ""

    def __init__(self, path: str, group: str = "") -> None:
        self.path = os.path.abspath(path)
        self.group = group.strip("/")

    # Name of a lock to hold while the store is open, for formats that allow no reader
    # beside a writer; None where readers and the writer never meet.
    lock_name: str | None = None

    def layers(self) -> list[Layer]:
        """Every group under the group root that holds at least one array, in natural order."""
        return sorted(self._layers(), key=lambda layer: natural_key(layer.name))

    def layer(self, name: str) -> Layer:
        for layer in self._layers():
            if layer.name.strip("/") == name.strip("/") or layer.name.rsplit("/", 1)[-1] == name:
                return layer
        raise InputError(f"{self.path}: no layer {name}")

    def read(self, name: str, array: str) -> NDArray[Any]:
        """One array of a layer, whole; object arrays are refused."""
        raise NotImplementedError

    def read_coordinates(self, layer: Layer) -> Coordinates:
        where = f"{self.path}: {layer.name}"
        for axis in ("x", "y"):
            info = layer.arrays.get(axis)
            if info is None:
                raise InputError(f"{where}: no dataset {axis}")
            check_dtype(info.dtype, f"{where}: {axis}")
        return coordinates(self.read(layer.name, "x"), self.read(layer.name, "y"), where)

    def repair(self, array: str) -> list[str]:
        """Remove what an interrupted run writing ``array`` left; one line for each removal."""
        done = []
        for layer in self._layers():
            for leftover in (array + suffix for suffix in LEFTOVER_SUFFIXES):
                if self._holds(layer, leftover):
                    self._remove(layer.name, leftover)
                    done.append(f"{layer.name}: removed {leftover}, left by an interrupted run")
        return done

    def write(
        self,
        name: str,
        array: str,
        ids: NDArray[np.int32],
        attrs: dict[str, Any],
        chunks: tuple[int, ...] | None,
    ) -> None:
        """Store ``ids`` as ``name/array`` whole or not at all, replacing any such array."""
        raise NotImplementedError

    def finish(self) -> None:
        pass

    def _layers(self) -> list[Layer]:
        raise NotImplementedError

    def _holds(self, layer: Layer, array: str) -> bool:
        return array in layer.arrays

    def _remove(self, name: str, array: str) -> None:
        raise NotImplementedError


def _fsync(path: str) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _fsync_tree(top: str) -> None:
    for dirpath, _, files in os.walk(top, topdown=False):
        for file in files:
            _fsync(os.path.join(dirpath, file))
        _fsync(dirpath)


class HDF5Store(Store):
    """One HDF5 file. HDF5 allows no reader beside a writer across processes, so whoever
    opens the file holds ``lock_name`` on a cluster, and only the command's own process
    writes. HDF5 keeps no journal: see the documentation for what a kill can still do."""

    kind = "HDF5"

    def __init__(self, path: str, group: str = "") -> None:
        super().__init__(path, group)
        self.lock_name = f"vorlane-hdf5:{self.path}"

    def _open(self, mode: str) -> Any:
        import h5py

        try:
            return h5py.File(self.path, mode)
        except OSError as err:
            if "already open for write" in str(err) or "file close degree" in str(err):
                raise StaleWriteState(self.path) from None
            raise InputError(f"{self.path}: cannot open as HDF5 ({err})") from None

    def _root(self, f: Any) -> Any:
        if not self.group:
            return f
        if self.group not in f:
            raise InputError(f"{self.path}: no group {self.group}")
        return f[self.group]

    def _layers(self) -> list[Layer]:
        import h5py

        found = []
        with self._open("r") as f:
            for item in self._root(f).values():
                if not isinstance(item, h5py.Group):
                    continue
                arrays = {
                    key: ArrayInfo(a.shape, a.dtype, a.chunks, dict(a.attrs))
                    for key, a in item.items()
                    if isinstance(a, h5py.Dataset)
                }
                if arrays:
                    found.append(Layer(item.name.lstrip("/"), arrays))
        return found

    def read(self, name: str, array: str) -> NDArray[Any]:
        with self._open("r") as f:
            data = f[name][array]
            _refuse_objects(data.dtype, f"{self.path}: {name}/{array}")
            return _read_slabs(data)

    def write(self, name, array, ids, attrs, chunks):
        partial = array + PARTIAL
        with self._open("r+" if os.path.exists(self.path) else "a") as f:
            g = f.require_group(name)
            if partial in g:
                del g[partial]
            out = g.create_dataset(
                partial, shape=ids.shape, dtype=np.int32, chunks=chunks, fillvalue=-1
            )
            for start in range(0, len(ids), SLAB):
                out[start : start + SLAB] = ids[start : start + SLAB]
            out.attrs.update(attrs)
            # Data and attributes reach the disk before the name that says they are complete.
            f.flush()
            _fsync(self.path)
            if array in g:
                del g[array]
            g.move(partial, array)
        _fsync(self.path)

    def _remove(self, name, array):
        with self._open("r+") as f:
            del f[name][array]
        _fsync(self.path)


class StaleWriteState(Exception):
    """The HDF5 file is still marked open for writing by a process that died."""

    def __init__(self, path: str) -> None:
        super().__init__(path)
        self.path = path


def clear_stale_write_state(path: str) -> str:
    """Clear the mark of a writer that died, as ``h5clear -s`` would; the line to report."""
    from ._hdf5_flags import clear_write_mark

    try:
        cleared = clear_write_mark(path)
    except (OSError, ValueError) as err:
        raise InputError(
            f"{path}: marked open for writing by a process that died, and the "
            f"mark could not be cleared ({err})"
        ) from None
    if not cleared:
        raise InputError(f"{path}: HDF5 refuses to open it as open for writing elsewhere")
    return f"{path}: cleared the open-for-writing mark left by a writer that died"


class ZarrStore(Store):
    """A Zarr directory store. An array is a directory here, and renaming a directory is
    atomic on a POSIX file system, so ids appear by renaming their finished directory. Readers
    of x and y never meet the writer, who writes only other files."""

    kind = "Zarr"

    def _open(self, mode: str) -> Any:
        import zarr

        # Consolidated metadata would hide the arrays written since it was made.
        try:
            root = zarr.open_group(self.path, mode=mode, use_consolidated=False)
        except (OSError, ValueError, KeyError) as err:
            raise InputError(f"{self.path}: cannot open as a Zarr group ({err})") from None
        if self.group:
            if self.group not in root:
                raise InputError(f"{self.path}: no group {self.group}")
            root = root[self.group]
        return root

    def _dir(self, name: str, array: str) -> str:
        return os.path.join(self.path, *name.split("/"), array)

    def _layers(self) -> list[Layer]:
        found = []
        with warnings.catch_warnings():
            # Leftovers of an interrupted run are not arrays to zarr, which warns of them.
            warnings.simplefilter("ignore")
            groups = list(self._open("r").groups())
        for _, group in groups:
            folder = os.path.join(self.path, *group.path.split("/"))
            for entry in os.scandir(folder):
                if entry.is_dir():
                    _refuse_pickling_codecs(entry.path)
            try:
                members = list(group.arrays())
            except (ValueError, KeyError, TypeError) as err:
                raise InputError(f"{folder}: unreadable array metadata ({err})") from None
            arrays = {}
            for key, a in members:
                arrays[key] = ArrayInfo(
                    a.shape,
                    np.dtype(a.dtype) if _plain(a.dtype) else np.dtype(object),
                    a.chunks,
                    dict(a.attrs),
                )
            if arrays:
                found.append(Layer(group.path, arrays))
        return found

    def read(self, name, array):
        _refuse_pickling_codecs(self._dir(name, array))
        data = self._open("r")[name][array]
        _refuse_objects(
            np.dtype(data.dtype) if _plain(data.dtype) else np.dtype(object),
            f"{self.path}: {name}/{array}",
        )
        return _read_slabs(data)

    def write(self, name, array, ids, attrs, chunks):
        import zarr

        partial = self._dir(name, array + PARTIAL)
        if os.path.exists(partial):
            shutil.rmtree(partial)
        root = zarr.open_group(self.path, mode="a", use_consolidated=False)
        g = root.require_group(name)
        step_chunks = chunks or (min(len(ids), 1 << 16) or 1,)
        out = g.create_array(
            array + PARTIAL,
            shape=ids.shape,
            dtype="int32",
            chunks=step_chunks,
            fill_value=-1,
            attributes=attrs,
        )
        # Whole chunks per slab, so that no chunk is read back and rewritten.
        step = max(1, SLAB // step_chunks[0]) * step_chunks[0]
        for start in range(0, len(ids), step):
            out[start : start + step] = ids[start : start + step]
        _fsync_tree(partial)
        final = self._dir(name, array)
        replaced = final + REPLACED
        if os.path.exists(replaced):
            shutil.rmtree(replaced)
        if os.path.exists(final):
            os.rename(final, replaced)
        os.rename(partial, final)
        _fsync(os.path.dirname(final))
        if os.path.exists(replaced):
            shutil.rmtree(replaced)

    def _holds(self, layer: Layer, array: str) -> bool:
        # A removal cut short leaves a directory that zarr no longer sees as an array.
        return os.path.exists(self._dir(layer.name, array))

    def _remove(self, name, array):
        shutil.rmtree(self._dir(name, array))

    def finish(self) -> None:
        import zarr

        # Readers that trust consolidated metadata would not see the new ids: remake it.
        if zarr.open_group(self.path, mode="r").metadata.consolidated_metadata is not None:
            zarr.consolidate_metadata(self.path)


def _refuse_objects(dtype: np.dtype[Any], what: str) -> None:
    if dtype.hasobject:
        raise InputError(f"{what} is an object array; only plain data is read")


def _plain(dtype: Any) -> bool:
    return isinstance(dtype, np.dtype)


def _refuse_pickling_codecs(array_dir: str) -> None:
    """A codec that unpickles would run code from the file: refuse it before zarr reads."""
    for meta in ("zarr.json", ".zarray"):
        path = os.path.join(array_dir, meta)
        if os.path.exists(path):
            with open(path) as f:
                text = json.dumps(json.load(f))
            if "pickle" in text.lower():
                raise InputError(f"{array_dir}: uses a pickling codec; only plain data is read")


def _read_slabs(array: Any) -> NDArray[Any]:
    if len(array.shape) != 1:
        return np.asarray(array[...])
    out = np.empty(array.shape[0], dtype=array.dtype)
    for start in range(0, len(out), SLAB):
        out[start : start + SLAB] = array[start : start + SLAB]
    return out


def open_store(path: str, group: str = "", create: bool = False) -> Store:
    """The store at ``path``: a directory is Zarr, a file HDF5; ``create`` allows a new one,
    whose format follows its suffix (``.zarr`` or else HDF5)."""
    if os.path.isdir(path):
        _require("zarr", "Zarr")
        return ZarrStore(path, group)
    if os.path.exists(path):
        _require("h5py", "HDF5")
        import h5py

        if not h5py.is_hdf5(path):
            raise InputError(f"{path}: neither an HDF5 file nor a Zarr directory store")
        return HDF5Store(path, group)
    if not create:
        raise InputError(f"{path}: no such file or directory")
    if path.rstrip("/").lower().endswith(".zarr"):
        _require("zarr", "Zarr")
        return ZarrStore(path, group)
    _require("h5py", "HDF5")
    return HDF5Store(path, group)


def _require(module: str, what: str) -> None:
    import importlib.util

    if importlib.util.find_spec(module) is None:
        raise MissingExtra(f"{what} builds need {module}", "batch")


class MissingExtra(Exception):
    """An optional dependency is not installed; names the extra that brings it."""

    def __init__(self, what: str, extra: str) -> None:
        super().__init__(f"{what}: pip install 'vorlane[{extra}]'")
