"""Label every layer of a build and write the scanline ids back beside each layer.

    python examples/annotate_build.py build.h5                      # local Dask cluster
    python examples/annotate_build.py build.zarr --workers 4
    python examples/annotate_build.py build.h5 --scheduler tcp://host:8786
    python examples/annotate_build.py build.h5 --serial             # no Dask at all

A build is an HDF5 file or a Zarr directory store with one group per layer, each holding 1-D
datasets x and y. Every layer gets an int32 dataset scanline_id of the same length.

A layer's ids are written as scanline_id.partial and renamed to scanline_id only once
complete, so scanline_id is always whole. A rerun skips the layers that have one, and
discards any partial left behind by an interrupted run. Needs h5py or zarr (3), and for the
parallel modes dask[distributed]; tqdm for the progress bar.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import re
import shutil
import sys
from dataclasses import dataclass
from typing import Callable, Iterator

import numpy as np

import vorlane

IDS = "scanline_id"
PARTIAL = IDS + ".partial"
# Layers are read and written in slabs: memory stays bounded per step, and a worker's event
# loop gets the interpreter lock back often enough to keep its leases and heartbeats alive.
SLAB = 1 << 23
# Test hook: after this many layers, write half of the next one's partial and stop, as if
# the process had been killed between writing a layer and renaming it.
STOP_AFTER_ENV = "VORLANE_EXAMPLE_STOP_AFTER"
STOPPED_EXIT = 75


@dataclass(frozen=True)
class Layer:
    name: str  # group path from the root of the build
    done: bool
    problem: str | None = None


def natural_key(name: str) -> list:
    return [int(part) if part.isdigit() else part for part in re.split(r"(\d+)", name)]


def coordinate_dtype(x, y) -> type:
    return np.float32 if x.dtype == np.float32 and y.dtype == np.float32 else np.float64


def read_slabs(array, n: int, dtype) -> np.ndarray:
    out = np.empty(n, dtype=dtype)
    for start in range(0, n, SLAB):
        out[start : start + SLAB] = array[start : start + SLAB]
    return out


def describe(name: str, group, is_array: Callable) -> Layer | None:
    """None for a group that is no layer; otherwise whether it is labelled already."""
    if "x" not in group or "y" not in group:
        return None
    x, y = group["x"], group["y"]
    if not (is_array(x) and is_array(y)):
        return None
    if len(x.shape) != 1 or x.shape != y.shape:
        return Layer(name, False, f"x and y must be 1-D of one length, not {x.shape} and {y.shape}")
    n = x.shape[0]
    if IDS not in group:
        return Layer(name, False)
    ids = group[IDS]
    if not is_array(ids) or ids.shape != (n,) or ids.dtype != np.int32:
        # Someone else's data, or ids of an older path: never overwrite it silently.
        return Layer(name, False, f"{IDS} exists but is not {n} int32 values; remove it to relabel")
    return Layer(name, True)


@dataclass(frozen=True)
class Build:
    """Where a build lives. Picklable, so that workers can open the build themselves."""

    path: str
    group: str = ""

    # Name of a cluster-wide lock held by anyone who has the file open, or None.
    lock_name: str | None = None

    def layers(self, on_discard: Callable[[str], None]) -> list[Layer]:
        raise NotImplementedError

    def read(self, name: str) -> tuple[np.ndarray, np.ndarray]:
        raise NotImplementedError

    def write_partial(self, name: str, ids: np.ndarray, upto: int) -> None:
        raise NotImplementedError

    def commit(self, name: str) -> None:
        raise NotImplementedError

    def write(self, name: str, ids: np.ndarray) -> None:
        self.write_partial(name, ids, len(ids))
        self.commit(name)

    def finish(self) -> None:
        pass


class HDF5Build(Build):
    """HDF5 files allow one writer and no readers beside it, across processes: whoever
    opens the file holds lock_name while it is open, and only the client writes."""

    def __init__(self, path: str, group: str = "") -> None:
        path = os.path.abspath(path)
        super().__init__(path, group, f"vorlane-hdf5:{path}")

    def _open(self, mode: str):
        import h5py

        return h5py.File(self.path, mode)

    def layers(self, on_discard):
        import h5py

        found = []
        with self._open("r+") as f:
            root = f[self.group] if self.group else f
            for item in root.values():
                if not isinstance(item, h5py.Group):
                    continue
                name = item.name.lstrip("/")
                layer = describe(name, item, lambda a: isinstance(a, h5py.Dataset))
                if layer is None:
                    continue
                if PARTIAL in item:
                    del item[PARTIAL]
                    on_discard(name)
                found.append(layer)
        return found

    def read(self, name):
        with self._open("r") as f:
            g = f[name]
            dtype = coordinate_dtype(g["x"], g["y"])
            n = g["x"].shape[0]
            return read_slabs(g["x"], n, dtype), read_slabs(g["y"], n, dtype)

    def write_partial(self, name, ids, upto):
        with self._open("r+") as f:
            g = f[name]
            x = g["x"]
            if PARTIAL in g:
                del g[PARTIAL]
            # Same layout and filters as the coordinates, so the ids sit with them.
            out = g.create_dataset(
                PARTIAL, shape=(len(ids),), dtype=np.int32, chunks=x.chunks, fillvalue=-1,
                compression=x.compression, compression_opts=x.compression_opts, shuffle=x.shuffle,
            )
            for start in range(0, upto, SLAB):
                stop = min(start + SLAB, upto)
                out[start:stop] = ids[start:stop]
        _fsync(self.path)

    def commit(self, name):
        with self._open("r+") as f:
            # A link rename inside the file: scanline_id appears whole or not at all.
            f[name].move(PARTIAL, IDS)
        _fsync(self.path)


class ZarrBuild(Build):
    """A Zarr directory store. Zarr itself cannot move arrays (Group.move is not
    implemented in zarr 3), but an array is a directory here, and renaming a directory is
    atomic on a POSIX file system. No lock is needed: readers of x and y never see the ids
    being written, which live in other files."""

    def _open(self, mode: str):
        import zarr

        # Consolidated metadata would hide the ids written since it was made.
        return zarr.open_group(self.path, mode=mode, use_consolidated=False)

    def _dir(self, name: str, array: str) -> str:
        return os.path.join(self.path, *name.split("/"), array)

    def layers(self, on_discard):
        import zarr

        root = self._open("r+")
        if self.group:
            root = root[self.group]
        found = []
        for _, item in root.groups():
            name = item.path
            layer = describe(name, item, lambda a: isinstance(a, zarr.Array))
            if layer is None:
                continue
            if os.path.exists(self._dir(name, PARTIAL)):
                shutil.rmtree(self._dir(name, PARTIAL))
                on_discard(name)
            found.append(layer)
        return found

    def read(self, name):
        g = self._open("r")[name]
        dtype = coordinate_dtype(g["x"], g["y"])
        n = g["x"].shape[0]
        return read_slabs(g["x"], n, dtype), read_slabs(g["y"], n, dtype)

    def write_partial(self, name, ids, upto):
        g = self._open("r+")[name]
        x = g["x"]
        partial = self._dir(name, PARTIAL)
        if os.path.exists(partial):
            shutil.rmtree(partial)
        out = g.create_array(PARTIAL, shape=(len(ids),), dtype="int32", chunks=x.chunks, fill_value=-1)
        # Whole chunks per slab, so no chunk is read back and rewritten.
        step = max(1, SLAB // x.chunks[0]) * x.chunks[0]
        for start in range(0, upto, step):
            stop = min(start + step, upto)
            out[start:stop] = ids[start:stop]
        _fsync_tree(partial)

    def commit(self, name):
        os.rename(self._dir(name, PARTIAL), self._dir(name, IDS))
        _fsync_dir(os.path.dirname(self._dir(name, IDS)))

    def finish(self):
        import zarr

        # Readers that trust consolidated metadata would not see the new ids: remake it.
        if zarr.open_group(self.path, mode="r").metadata.consolidated_metadata is not None:
            zarr.consolidate_metadata(self.path)


def _fsync(path: str) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


_fsync_dir = _fsync


def _fsync_tree(top: str) -> None:
    """Put the array's chunks on disk before the rename makes them count as complete."""
    for dirpath, _, files in os.walk(top, topdown=False):
        for file in files:
            _fsync(os.path.join(dirpath, file))
        _fsync_dir(dirpath)


def open_build(path: str, group: str = "") -> Build:
    if os.path.isdir(path):
        return ZarrBuild(os.path.abspath(path), group.strip("/"))
    if not os.path.exists(path):
        raise FileNotFoundError(f"{path}: no such file or directory")
    import h5py

    if not h5py.is_hdf5(path):
        raise ValueError(f"{path}: neither an HDF5 file nor a Zarr directory store")
    return HDF5Build(path, group.strip("/"))


# -- running the layers -------------------------------------------------------------------


class Stopped(Exception):
    """Raised by the test hook in place of a kill."""


def label_stored(build: Build, name: str, lock_name: str | None) -> np.ndarray:
    """On a worker: read the layer from the shared build, then compute outside the lock."""
    if lock_name:
        from distributed import Lock

        with Lock(lock_name):
            x, y = build.read(name)
    else:
        x, y = build.read(name)
    return vorlane.annotate_scanlines(x, y)


def label_arrays(x: np.ndarray, y: np.ndarray) -> np.ndarray:
    return vorlane.annotate_scanlines(x, y)


class Writer:
    """Writes finished layers, all from this one process."""

    def __init__(self, build: Build, lock=None) -> None:
        self.build = build
        self.lock = lock or contextlib.nullcontext()
        self.written = 0
        stop = os.environ.get(STOP_AFTER_ENV)
        self.stop_after = int(stop) if stop else None

    def __call__(self, layer: Layer, ids: np.ndarray) -> None:
        with self.lock:
            if self.stop_after is not None and self.written >= self.stop_after:
                self.build.write_partial(layer.name, ids, len(ids) // 2)
                raise Stopped(layer.name)
            self.build.write(layer.name, ids)
        self.written += 1


Report = Callable[[Layer, BaseException | None], None]


def run_serial(build: Build, todo: list[Layer], write: Writer, report: Report) -> None:
    for layer in todo:
        try:
            ids = vorlane.annotate_scanlines(*build.read(layer.name))
        except Exception as err:
            report(layer, err)
            continue
        write(layer, ids)
        report(layer, None)


def run_dask(client, build: Build, todo: list[Layer], write: Writer, report: Report,
             window: int, ship: bool) -> None:
    """At most `window` layers are on the cluster at a time, whatever the size of the build."""
    from distributed import as_completed

    _share_this_module(client)
    lock_name = None if ship else build.lock_name
    queue: Iterator[Layer] = iter(todo)
    running = {}
    finished = as_completed()

    def submit_next() -> None:
        layer = next(queue, None)
        if layer is None:
            return
        if ship:
            # Workers that cannot see the file get the layer from here, straight to a worker.
            x, y = build.read(layer.name)
            fx, fy = client.scatter([x, y], hash=False)
            future = client.submit(label_arrays, fx, fy, pure=False)
        else:
            future = client.submit(label_stored, build, layer.name, lock_name, pure=False)
        running[future] = layer
        finished.add(future)

    for _ in range(window):
        submit_next()
    for future in finished:
        layer = running.pop(future)
        try:
            ids = future.result()
        except Exception as err:
            report(layer, err)
        else:
            write(layer, ids)
            report(layer, None)
        finally:
            future.release()
        submit_next()


def _share_this_module(client) -> None:
    # Run as a script, this module is __main__ and its functions travel by value. Imported,
    # they travel by name, so the workers must be able to import it too.
    if __name__ != "__main__":
        client.upload_file(os.path.abspath(__file__))


@contextlib.contextmanager
def dask_client(args, todo: int):
    from distributed import Client, LocalCluster

    if args.scheduler:
        with Client(args.scheduler) as client:
            yield client
        return
    # Processes, not threads: a call holds the interpreter lock until it returns.
    workers = args.workers or max(1, min(os.cpu_count() or 1, todo))
    with LocalCluster(n_workers=workers, threads_per_worker=args.threads_per_worker, processes=True,
                      dashboard_address=args.dashboard) as cluster, Client(cluster) as client:
        yield client


def progress_bar(total: int, initial: int, desc: str):
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, initial=initial, desc=desc, unit="layer")


def parse_args(argv: list[str] | None) -> tuple[argparse.ArgumentParser, argparse.Namespace]:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add = parser.add_argument
    add("build", help="HDF5 file or Zarr directory store")
    add("--group", default="", help="group that holds the layer groups (default: the root)")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--serial", action="store_true", help="label the layers one by one, here")
    mode.add_argument("--scheduler", metavar="ADDRESS", help="use a running Dask cluster")
    add("--workers", type=int, help="worker processes of the local cluster (default: CPUs)")
    add("--threads-per-worker", type=int, default=1)
    add("--dashboard", metavar="ADDRESS", help="serve the local cluster's dashboard, e.g. :8787")
    add("--window", type=int, help="layers on the cluster at once (default: worker threads + 1)")
    add("--ship-data", action="store_true",
        help="read the layers here and send them to the workers, for workers that cannot see the build")
    return parser, parser.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    parser, args = parse_args(argv)
    if not args.serial:
        try:
            from distributed import Lock
        except ImportError:
            parser.exit(2, "annotate_build: the parallel modes need dask[distributed]; or use --serial\n")
    say = print
    try:
        build = open_build(args.build, args.group)
        layers = build.layers(lambda name: say(f"{name}: discarded an unfinished {PARTIAL}"))
    except ImportError as err:
        parser.exit(2, f"annotate_build: this build needs the package {err.name}\n")
    except (OSError, ValueError, KeyError) as err:
        parser.exit(2, f"annotate_build: {err}\n")
    layers.sort(key=lambda layer: natural_key(layer.name))
    label = os.path.basename(os.path.normpath(args.build))
    failed = []
    for layer in layers:
        if layer.problem:
            say(f"{layer.name}: skipped: {layer.problem}")
            failed.append(layer.name)
    todo = [layer for layer in layers if not layer.done and not layer.problem]
    done = sum(layer.done for layer in layers)

    bar = progress_bar(len(layers), done + len(failed), label)
    if bar is not None:
        say = bar.write
    labelled = 0

    def report(layer: Layer, err: BaseException | None) -> None:
        nonlocal labelled
        if err is None:
            labelled += 1
        else:
            remote_read = isinstance(err, OSError) and not (args.serial or args.ship_data)
            hint = " (can the workers see the build? if not, use --ship-data)" if remote_read else ""
            say(f"{layer.name}: failed: {type(err).__name__}: {err}{hint}")
            failed.append(layer.name)
        if bar is not None:
            bar.update()

    try:
        if todo and args.serial:
            run_serial(build, todo, Writer(build), report)
        elif todo:
            with dask_client(args, len(todo)) as client:
                window = max(1, args.window or sum(client.nthreads().values()) + 1)
                locked = build.lock_name and not args.ship_data
                writer = Writer(build, Lock(build.lock_name) if locked else None)
                run_dask(client, build, todo, writer, report, window, args.ship_data)
        build.finish()
    except Stopped as stop:
        say(f"stopped at {stop} by {STOP_AFTER_ENV}")
        return STOPPED_EXIT
    finally:
        if bar is not None:
            bar.close()

    print(f"{label}: {len(layers)} layers, {labelled} labelled now, {done} already done, "
          f"{len(failed)} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
