"""The ``vorlane`` command: label whole builds, and plot, export or inspect their layers.

Exit status: 0 on success, 2 for a usage or input error (one line on stderr), 1 when some
layers of a build could not be labelled (each named on stderr, the others finished).
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import os
import sys
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Any, NoReturn

import numpy as np
from numpy.typing import NDArray

from ._batch import Method, PoolSizeError, package_version, run_serial
from ._data import InputError, is_layer_file, load_layer_file
from ._store import (
    HDF5Store,
    Layer,
    MissingExtra,
    StaleWriteState,
    Store,
    clear_stale_write_state,
    open_store,
)

PROG = "vorlane"
IDS_EXACT = "scanline_id"
IDS_ROBUST = "scanline_id_robust"
DEFAULT_THREADS = 1
# Attributes that must match for stored ids to count as this run's; the version may differ.
SAME_RUN_ATTRS = ("method", "pool_size", "tolerance", "laser_on")


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command with ``argv`` (default: ``sys.argv[1:]``) and return its exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return int(args.run(args))
    except (InputError, MissingExtra) as err:
        return fail(str(err))
    except PoolSizeError as err:
        return fail(str(err), 1)
    except StaleWriteState as err:
        return fail(
            f"{err.path}: marked open for writing by a process that died; 'vorlane label' "
            "clears the mark of the file it writes to"
        )
    except KeyboardInterrupt:
        return fail("interrupted", 130)
    except BrokenPipeError:
        # The reader of stdout went away (`vorlane info b.h5 | head`): nothing left to say,
        # and nothing to flush at exit either.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


def fail(message: str, status: int = 2) -> int:
    print(f"{PROG}: {message}", file=sys.stderr)
    return status


def say(message: str) -> None:
    print(message, file=sys.stderr)


# -- arguments --------------------------------------------------------------------------


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text} is not a positive number")
    return value


class Parser(argparse.ArgumentParser):
    """Usage errors in one line, with where to find help."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: {message} (see '{self.prog} --help')\n")


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog=PROG,
        description="Label the samples of laser scan paths with scanline ids, whole builds "
        "at a time. A build is an HDF5 file or a Zarr directory store with one group per "
        "layer, each holding 1-D arrays x and y.",
        epilog="Exit status: 0 success, 1 some layers could not be labelled, 2 usage or "
        "input error. See 'vorlane COMMAND --help'.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {package_version()}")
    commands = parser.add_subparsers(title="commands", metavar="COMMAND", required=True)

    label = commands.add_parser(
        "label",
        help="label every layer of a build and store the ids beside it",
        description="Label every layer of a build and store int32 ids beside its x and y, "
        f"as {IDS_EXACT} ({IDS_ROBUST} with --robust). Each layer's ids appear whole or not "
        "at all; a rerun skips finished layers and completes the rest.",
    )
    label.add_argument("build", metavar="BUILD", help="HDF5 file or Zarr directory store")
    add_method_options(label)
    label.add_argument(
        "--tolerance",
        type=float,
        metavar="T",
        help="with --robust: straightness tolerance in coordinate units "
        "(default: derived from the data)",
    )
    label.add_argument(
        "--laser-on",
        metavar="NAME",
        help="with --robust: the layer's array telling where the laser is on",
    )
    label.add_argument(
        "--output",
        metavar="OTHER",
        help="write the ids to this store (same layout, created if missing) "
        "and leave BUILD untouched",
    )
    label.add_argument("--overwrite", action="store_true", help="relabel finished layers too")
    add_threads_option(label)
    where = label.add_mutually_exclusive_group()
    where.add_argument(
        "--serial",
        action="store_true",
        help="label the layers one by one in this process, without Dask",
    )
    where.add_argument(
        "--workers",
        type=positive_int,
        metavar="N",
        help="worker processes of the local Dask cluster (default: one per CPU)",
    )
    where.add_argument(
        "--scheduler", metavar="ADDRESS", help="use a running Dask cluster, e.g. tcp://head:8786"
    )
    label.add_argument(
        "--window",
        type=positive_int,
        metavar="N",
        help="layers on the cluster at once (default: worker threads + 1)",
    )
    label.add_argument(
        "--ship-data",
        action="store_true",
        help="read the layers here and send them to the workers, for workers that cannot see BUILD",
    )
    label.add_argument("--no-progress", action="store_true", help="show no progress bar")
    label.set_defaults(run=run_label)

    plot = commands.add_parser(
        "plot",
        help="draw a labelled layer as a PNG",
        description="Draw one layer coloured by scanline id, using the stored ids where the "
        "layer has them and computing them otherwise.",
    )
    add_source_options(plot)
    plot.add_argument("-o", "--output", required=True, metavar="OUT.png", help="PNG to write")
    plot.set_defaults(run=run_plot)

    vectors = commands.add_parser(
        "vectors",
        help="write a layer's scan vectors as CSV",
        description="Write one row per scanline of a layer (id, first and last sample, count, "
        "fitted ends, length, angle, rms) as CSV with a header row.",
    )
    add_source_options(vectors)
    vectors.add_argument(
        "-o",
        "--output",
        default="-",
        metavar="OUT.csv",
        help="CSV file to write (default: standard output)",
    )
    vectors.set_defaults(run=run_vectors)

    info = commands.add_parser(
        "info",
        help="list a build's layers and their stored ids",
        description="One line per layer: its name, samples and dtype, and for each stored "
        "ids dataset the number of lines, the labelled share and how they were made.",
    )
    info.add_argument("build", metavar="BUILD", help="HDF5 file or Zarr directory store")
    info.add_argument(
        "--group",
        default="",
        metavar="PATH",
        help="group that holds the layers (default: the root)",
    )
    info.set_defaults(run=run_info)
    return parser


def add_method_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--group",
        default="",
        metavar="PATH",
        help="group that holds the layers (default: the root)",
    )
    parser.add_argument(
        "--robust",
        action="store_true",
        help="use robust_scanlines, for recorded paths (default: the exact annotate_scanlines)",
    )
    parser.add_argument(
        "--dataset",
        metavar="NAME",
        help=f"ids dataset (default: {IDS_EXACT}, or {IDS_ROBUST} with --robust)",
    )


def add_threads_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--threads",
        type=positive_int,
        default=DEFAULT_THREADS,
        metavar="N",
        help="pool size pinned wherever ids are computed, so that they are the same on any "
        f"machine (default: {DEFAULT_THREADS})",
    )


def add_source_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "source",
        metavar="SOURCE",
        help="a build (with --layer), or one layer in a .npy, .npz or .csv file",
    )
    parser.add_argument("--layer", metavar="NAME", help="the layer of a build")
    add_method_options(parser)
    add_threads_option(parser)


def dataset_name(args: argparse.Namespace) -> str:
    if args.dataset:
        if "/" in args.dataset or args.dataset in ("x", "y"):
            raise InputError(f"--dataset {args.dataset}: not a usable dataset name")
        return str(args.dataset)
    return IDS_ROBUST if args.robust else IDS_EXACT


# -- label ------------------------------------------------------------------------------


def run_label(args: argparse.Namespace) -> int:
    if (args.tolerance is not None or args.laser_on) and not args.robust:
        raise InputError("--tolerance and --laser-on apply to --robust only")
    if args.tolerance is not None and not args.tolerance > 0:
        raise InputError(f"--tolerance {args.tolerance}: must be positive")
    if is_layer_file(args.build):
        raise InputError(f"{args.build}: label takes a build (HDF5 or Zarr), not a layer file")
    if not args.serial:
        require_dask()
    dataset = dataset_name(args)
    method = Method(args.robust, args.threads, args.tolerance, args.laser_on)
    source = open_store(args.build, args.group)
    out = open_store(args.output, create=True) if args.output else source
    if args.output and os.path.abspath(args.output) == source.path:
        out = source
    for line in repair(out, dataset):
        say(line)

    layers = [layer for layer in source.layers() if {"x", "y"} & set(layer.arrays)]
    if not layers:
        raise InputError(f"{args.build}: no layers (groups holding x and y)")
    stored = layers if out is source else existing_layers(out)
    plan = Plan.make(layers, stored, dataset, method, args.overwrite)
    for name, problem in plan.problems:
        say(f"{name}: skipped: {problem}")

    bar = progress_bar(args, len(layers), len(layers) - len(plan.todo))

    def report(line: str) -> None:
        if bar is None:
            say(line)
        else:
            bar.write(line, file=sys.stderr)

    failed = [name for name, _ in plan.problems]
    labelled = 0

    def done(layer: Layer, ids: NDArray[np.int32] | None, err: BaseException | None) -> None:
        nonlocal labelled
        if err is None and ids is not None:
            try:
                with writer_lock:
                    out.write(layer.name, dataset, ids, method.attrs(), chunks_of(layer))
            except (OSError, ValueError) as write_err:
                err = write_err
        if err is None:
            labelled += 1
        else:
            report(f"{layer.name}: failed: {describe(err, args)}")
            failed.append(layer.name)
        if bar is not None:
            bar.update()

    writer_lock: Any = contextlib.nullcontext()
    try:
        if plan.todo and args.serial:
            run_serial(source, plan.todo, method, done)
        elif plan.todo:
            from . import _dask

            with dask_client(args, len(plan.todo)) as client:
                if isinstance(source, HDF5Store) and not args.ship_data and out is source:
                    from distributed import Lock

                    writer_lock = Lock(source.lock_name)
                window = args.window or sum(client.nthreads().values()) + 1
                lock_name = None if args.ship_data else source.lock_name
                _dask.run_dask(
                    client, source, plan.todo, method, done, window, args.ship_data, lock_name
                )
        out.finish()
    finally:
        if bar is not None:
            bar.close()
    say(
        f"{args.build}: {labelled} layers labelled now, {plan.finished} finished before, "
        f"{len(failed)} failed"
    )
    return 1 if failed else 0


def repair(store: Store, dataset: str) -> list[str]:
    if not os.path.exists(store.path):
        return []  # a store that --output is about to create
    lines = []
    try:
        return store.repair(dataset)
    except StaleWriteState as stale:
        lines.append(clear_stale_write_state(stale.path))
    return lines + store.repair(dataset)


def existing_layers(store: Store) -> list[Layer]:
    return store.layers() if os.path.exists(store.path) else []


@dataclass
class Plan:
    todo: list[Layer]
    problems: list[tuple[str, str]]
    finished: int

    @classmethod
    def make(
        cls, layers: list[Layer], stored: list[Layer], dataset: str, method: Method, overwrite: bool
    ) -> Plan:
        """Which layers to label: never one whose coordinates are unusable, nor one whose
        dataset holds something else than ids of its length."""
        ids_of = {layer.name: layer.arrays.get(dataset) for layer in stored}
        todo, problems, finished = [], [], 0
        wanted = method.attrs()
        for layer in layers:
            problem = coordinate_problem(layer)
            ids = ids_of.get(layer.name)
            n = layer.samples
            if problem is None and ids is not None:
                if ids.shape != (n,) or ids.dtype != np.int32:
                    problem = f"{dataset} exists but is not {n} int32 values; remove it to relabel"
                elif not overwrite and different_run(ids.attrs, wanted):
                    problem = (
                        f"{dataset} holds ids made otherwise ({provenance(ids.attrs)}); "
                        "--overwrite relabels it"
                    )
                elif not overwrite:
                    finished += 1
                    continue
            if problem is None:
                todo.append(layer)
            else:
                problems.append((layer.name, problem))
        return cls(todo, problems, finished)


def coordinate_problem(layer: Layer) -> str | None:
    x, y = layer.arrays.get("x"), layer.arrays.get("y")
    if x is None or y is None:
        return f"no dataset {'x' if x is None else 'y'}"
    for axis, info in (("x", x), ("y", y)):
        if info.dtype.hasobject:
            return f"{axis} is an object array; only floating-point data is read"
        if info.dtype.kind != "f":
            return f"{axis} has dtype {info.dtype}, not floating point"
    if len(x.shape) != 1 or x.shape != y.shape:
        return f"x and y must be 1-D of one length, not of shapes {x.shape} and {y.shape}"
    return None


def different_run(attrs: dict[str, Any], wanted: dict[str, Any]) -> bool:
    # Ids stored without provenance (by hand, or by older tools) are taken as they are.
    if "method" not in attrs:
        return False
    return any(plain(attrs.get(key)) != plain(wanted.get(key)) for key in SAME_RUN_ATTRS)


def plain(value: Any) -> Any:
    return value.item() if isinstance(value, np.generic) else value


def provenance(attrs: dict[str, Any]) -> str:
    if "method" not in attrs:
        return "no provenance"
    keys = ["method", "vorlane_version", "pool_size", "tolerance", "laser_on"]
    return ", ".join(
        f"{key}={plain(attrs[key])}" for key in keys if key in attrs and attrs[key] != ""
    )


def chunks_of(layer: Layer) -> tuple[int, ...] | None:
    return layer.arrays["x"].chunks


def describe(err: BaseException, args: argparse.Namespace) -> str:
    if isinstance(err, InputError):
        return str(err)
    hint = ""
    if isinstance(err, OSError) and not (args.serial or args.ship_data):
        hint = " (can the workers see the build? if not, use --ship-data)"
    return f"{type(err).__name__}: {err}{hint}"


def require_dask() -> None:
    try:
        import distributed  # noqa: F401
    except ImportError:
        raise MissingExtra("the parallel modes need Dask (or use --serial)", "batch") from None


@contextlib.contextmanager
def dask_client(args: argparse.Namespace, todo: int) -> Iterator[Any]:
    from distributed import Client

    from ._dask import local_cluster

    if args.scheduler:
        try:
            client = Client(args.scheduler, timeout="20s")
        except (OSError, TimeoutError) as err:
            raise InputError(f"--scheduler {args.scheduler}: cannot connect ({err})") from None
        with client:
            yield client
        return
    with local_cluster(args.workers, todo) as cluster, Client(cluster) as client:
        yield client


def progress_bar(args: argparse.Namespace, total: int, initial: int) -> Any:
    if args.no_progress:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    name = os.path.basename(os.path.normpath(args.build))
    return tqdm(total=total, initial=initial, desc=name, unit="layer", file=sys.stderr)


# -- plot, vectors ----------------------------------------------------------------------


@dataclass
class LabelledLayer:
    name: str
    x: NDArray[Any]
    y: NDArray[Any]
    ids: NDArray[np.int32]
    how: str  # where the ids came from


def labelled_layer(args: argparse.Namespace) -> LabelledLayer:
    """The layer SOURCE names, with its stored ids or, where it has none, computed ones."""
    dataset = dataset_name(args)
    method = Method(robust=args.robust, threads=args.threads)
    if is_layer_file(args.source):
        if args.layer:
            raise InputError(f"--layer {args.layer}: {args.source} holds one layer only")
        x, y = load_layer_file(args.source)
        return LabelledLayer(os.path.basename(args.source), x, y, method.label(x, y), method.name)
    if not args.layer:
        raise InputError(f"{args.source}: a build needs --layer NAME to pick a layer")
    store = open_store(args.source, args.group)
    layer = store.layer(args.layer)
    x, y = store.read_coordinates(layer)
    stored = layer.arrays.get(dataset)
    if stored is None:
        return LabelledLayer(layer.name, x, y, method.label(x, y), method.name)
    if stored.shape != (len(x),) or stored.dtype.kind not in "iu":
        raise InputError(f"{args.source}: {layer.name}/{dataset} is not {len(x)} integer ids")
    ids = store.read(layer.name, dataset).astype(np.int32)
    return LabelledLayer(layer.name, x, y, ids, f"stored {dataset}")


def run_plot(args: argparse.Namespace) -> int:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise MissingExtra("plot needs matplotlib", "plot") from None
    from ._plot import draw, summary

    layer = labelled_layer(args)
    n, lines, share = summary(layer.ids)
    title = f"{layer.name}: {n:,} samples, {lines} scanlines, {share:.1%} labelled ({layer.how})"
    fig = draw(layer.x, layer.y, layer.ids, title)
    try:
        fig.savefig(args.output, dpi=90, pil_kwargs={"optimize": True})
    except OSError as err:
        raise InputError(f"{args.output}: cannot write ({err.strerror or err})") from None
    say(f"{n} samples, {lines} scanlines, {share:.1%} labelled -> {args.output}")
    return 0


def run_vectors(args: argparse.Namespace) -> int:
    layer = labelled_layer(args)
    from vorlane_tools import scan_vectors

    table = scan_vectors(layer.x, layer.y, layer.ids)
    if args.output == "-":
        write_csv(sys.stdout, table)
    else:
        try:
            with open(args.output, "w", newline="") as f:
                write_csv(f, table)
        except OSError as err:
            raise InputError(f"{args.output}: cannot write ({err.strerror or err})") from None
    if args.output != "-":
        say(f"{len(table)} scan vectors -> {args.output}")
    return 0


def write_csv(stream: Any, table: NDArray[Any]) -> None:
    """A header row of the field names, then one row per record; floats in their shortest
    form that reads back to the same value."""
    writer = csv.writer(stream, lineterminator="\n")
    writer.writerow(table.dtype.names or ())
    writer.writerows(table.tolist())


# -- info -------------------------------------------------------------------------------


def run_info(args: argparse.Namespace) -> int:
    store = open_store(args.build, args.group)
    layers = store.layers()
    if not layers:
        raise InputError(f"{args.build}: no layers")
    width = max(len(layer.name) for layer in layers)
    for layer in layers:
        parts = [layer.name.ljust(width)]
        x = layer.arrays.get("x")
        if x is not None:
            y = layer.arrays.get("y")
            kinds = str(x.dtype) if y is None or y.dtype == x.dtype else f"{x.dtype}/{y.dtype}"
            parts.append(f"{x.shape[0] if x.shape else 0} samples {kinds}")
        for name, ids in layer.arrays.items():
            if is_ids_dataset(name, ids):
                parts.append(ids_summary(store, layer, name, ids.attrs))
        print("  ".join(parts))
    return 0


def is_ids_dataset(name: str, info: Any) -> bool:
    named = name in (IDS_EXACT, IDS_ROBUST) or "method" in info.attrs
    return named and len(info.shape) == 1 and info.dtype.kind in "iu"


def ids_summary(store: Store, layer: Layer, name: str, attrs: dict[str, Any]) -> str:
    ids = store.read(layer.name, name)
    labelled = ids > 0
    lines = len(np.unique(ids[labelled]))
    share = float(labelled.mean()) if len(ids) else 0.0
    return f"{name}: {lines} lines, {share:.1%} labelled ({provenance(attrs)})"


if __name__ == "__main__":
    sys.exit(main())
