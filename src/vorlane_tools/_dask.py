"""Running the layers on a Dask cluster: a local one of worker processes, or a running one
by address. Imported only when Dask is used, so that the serial path needs no Dask."""

from __future__ import annotations

import os
from collections.abc import Iterator
from typing import Any

from distributed import LocalCluster, as_completed
from distributed.diagnostics.plugin import WorkerPlugin

from ._batch import Done, Method, label_arrays, label_stored, pin_pool_size, read_laser_on
from ._store import Layer, Store


def run_dask(
    client: Any,
    store: Store,
    todo: list[Layer],
    method: Method,
    done: Done,
    window: int,
    ship: bool,
    lock_name: str | None,
) -> None:
    """At most ``window`` layers are on the cluster at a time, whatever the build's size."""
    client.register_plugin(PinPoolSize(method.threads), name="vorlane-pool-size")
    queue: Iterator[Layer] = iter(todo)
    running: dict[Any, Layer] = {}
    finished = as_completed()

    def submit_next() -> None:
        layer = next(queue, None)
        if layer is None:
            return
        if ship:
            # Workers that cannot see the build get the layer from here.
            x, y = store.read_coordinates(layer)
            laser_on = read_laser_on(store, layer, method)
            parts = client.scatter([x, y, laser_on], hash=False)
            future = client.submit(label_arrays, *parts, method, pure=False)
        else:
            future = client.submit(label_stored, store, layer, method, lock_name, pure=False)
        running[future] = layer
        finished.add(future)

    for _ in range(window):
        submit_next()
    for future in finished:
        layer = running.pop(future)
        try:
            ids = future.result()
        except Exception as err:  # noqa: BLE001 - reported per layer, the others go on
            done(layer, None, err)
        else:
            done(layer, ids, None)
        finally:
            future.release()
        submit_next()


class PinPoolSize(WorkerPlugin):
    """A Dask worker plugin: sets the pool size in every worker, those that join later too,
    before any task of the run can create the pool."""

    def __init__(self, threads: int) -> None:
        self.threads = threads

    def setup(self, worker: Any) -> None:
        pin_pool_size(self.threads)


def local_cluster(workers: int | None, todo: int) -> Any:
    # Processes, not threads: a call holds the interpreter lock until it returns.
    count = workers or max(1, min(os.cpu_count() or 1, todo))
    return LocalCluster(
        n_workers=count, threads_per_worker=1, processes=True, dashboard_address=None
    )
