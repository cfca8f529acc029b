"""Labelling the layers of a build: one by one here, or on a Dask cluster with a bounded
number of layers in flight. Workers compute; every write happens in the calling process."""

from __future__ import annotations

import os
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from ._store import Layer, Store

POOL_SIZE_ENV = "RAYON_NUM_THREADS"
# From this many samples the exact method splits a layer into one chunk per pool thread, so
# after such a call the pool has started all its threads.
CHUNKED_FROM = 500_000
EXACT, ROBUST = "annotate_scanlines", "robust_scanlines"


@dataclass(frozen=True)
class Method:
    """How the ids are computed, and everything a dataset records about it."""

    robust: bool = False
    threads: int = 1
    tolerance: float | None = None
    laser_on: str | None = None  # name of the layer's array that tells where the laser is on

    @property
    def name(self) -> str:
        return ROBUST if self.robust else EXACT

    def attrs(self) -> dict[str, Any]:
        """The provenance attributes every written ids dataset carries."""
        attrs: dict[str, Any] = {
            "method": self.name,
            "vorlane_version": package_version(),
            "pool_size": self.threads,
        }
        if self.robust:
            attrs["tolerance"] = "auto" if self.tolerance is None else self.tolerance
            attrs["laser_on"] = self.laser_on or ""
        return attrs

    def label(
        self, x: NDArray[Any], y: NDArray[Any], laser_on: NDArray[Any] | None = None
    ) -> NDArray[np.int32]:
        pin_pool_size(self.threads)
        if self.robust:
            from vorlane_tools import robust_scanlines

            ids = robust_scanlines(x, y, laser_on=laser_on, tolerance=self.tolerance)
        else:
            import vorlane

            ids = vorlane.annotate_scanlines(x, y)
        check_pool_size(self.threads, len(x) if not self.robust else 0)
        return np.asarray(ids, dtype=np.int32)


def package_version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("vorlane")
    except PackageNotFoundError:
        return "unknown"


class PoolSizeError(RuntimeError):
    """The process's pool was sized before the command could pin it."""


def pin_pool_size(threads: int) -> None:
    """Ask for ``threads`` pool threads. The native pool reads the variable once, when the
    first large call creates it, so this holds only in a process that has not made one yet;
    :func:`check_pool_size` finds out afterwards."""
    os.environ[POOL_SIZE_ENV] = str(threads)


def pool_threads() -> int | None:
    """Worker threads this process's pool has started (they are named ``vorlane-...``), or
    None where the system does not list threads by name. A pool of n threads is the calling
    thread and n - 1 workers."""
    try:
        tasks = os.listdir("/proc/self/task")
    except OSError:
        return None
    count = 0
    for task in tasks:
        try:
            with open(f"/proc/self/task/{task}/comm") as f:
                count += f.read().startswith("vorlane-")
        except OSError:
            pass
    return count


def pool_size_seen() -> int | None:
    """The size of this process's pool as its started workers show it: they and the calling
    thread (1 before any has started), or None where threads are not listed by name."""
    workers = pool_threads()
    return None if workers is None else workers + 1


def check_pool_size(threads: int, exact_samples: int) -> None:
    """Verify the pin took: a pool never starts more workers than its size less the calling
    thread, and after an exact call on a chunked layer it has started all of them."""
    size = pool_size_seen()
    if size is None:
        return
    chunked = threads > 1 and exact_samples >= CHUNKED_FROM
    if size > threads or (chunked and size != threads):
        raise PoolSizeError(
            f"this process's pool has {size} threads, not {threads}: it was created before "
            f"{POOL_SIZE_ENV} could be set; restart the workers (or the process)"
        )


def label_stored(
    store: Store, layer: Layer, method: Method, lock_name: str | None
) -> NDArray[np.int32]:
    """Read a layer from the store and label it; on a worker, under the cluster-wide lock
    ``lock_name`` while the file is open (the computing runs outside it)."""
    lock: Any = _null_lock() if lock_name is None else _dask_lock(lock_name)
    with lock:
        x, y = store.read_coordinates(layer)
        laser_on = read_laser_on(store, layer, method)
    return method.label(x, y, laser_on)


def label_arrays(
    x: NDArray[Any], y: NDArray[Any], laser_on: NDArray[Any] | None, method: Method
) -> NDArray[np.int32]:
    return method.label(x, y, laser_on)


def read_laser_on(store: Store, layer: Layer, method: Method) -> NDArray[Any] | None:
    if not (method.robust and method.laser_on):
        return None
    if method.laser_on not in layer.arrays:
        from ._data import InputError

        raise InputError(f"{store.path}: {layer.name}: no dataset {method.laser_on}")
    return store.read(layer.name, method.laser_on)


class _null_lock:
    def __enter__(self) -> None:
        return None

    def __exit__(self, *exc: object) -> None:
        return None


def _dask_lock(name: str) -> Any:
    from distributed import Lock

    return Lock(name)


Done = Callable[[Layer, "NDArray[np.int32] | None", "BaseException | None"], None]


def run_serial(store: Store, todo: list[Layer], method: Method, done: Done) -> None:
    for layer in todo:
        try:
            ids = label_stored(store, layer, method, None)
        except Exception as err:  # noqa: BLE001 - reported per layer, the others go on
            done(layer, None, err)
        else:
            done(layer, ids, None)
