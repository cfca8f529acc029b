"""The vorlane command on small generated builds and layer files: ids equal to direct calls,
what is stored and shown about them, and one clear line for every bad input."""

from __future__ import annotations

import hashlib
import json
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from cli_support import (
    LAYERS,
    assert_labelled,
    child_env,
    make_build,
    read_layers,
    run_cli,
)

import vorlane
import vorlane_tools.cli as cli
from vorlane_tools._data import load_layer_file

pytestmark = pytest.mark.cli


@pytest.fixture(scope="module")
def cluster():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, env=child_env()
    ) as cluster:
        yield cluster


@pytest.mark.parametrize(
    "fmt, how, robust",
    [
        ("hdf5", "serial", False),
        ("zarr", "serial", False),
        ("hdf5", "cluster", False),
        ("zarr", "cluster", False),
        ("hdf5", "shipped", False),
        ("zarr", "serial", True),
        ("hdf5", "cluster", True),
    ],
)
def test_label_stores_the_ids_of_direct_calls(tmp_path, request, fmt, how, robust):
    path = make_build(tmp_path, fmt)
    where = (
        ["--serial"]
        if how == "serial"
        else ["--scheduler", request.getfixturevalue("cluster").scheduler_address]
    )
    if how == "shipped":
        where.append("--ship-data")
    done = run_cli("label", path, *where, *(["--robust"] if robust else []))
    assert done.returncode == 0, done.stderr
    assert f"{LAYERS} layers labelled now" in done.stderr
    assert_labelled(path, "scanline_id_robust" if robust else "scanline_id", robust)


def test_the_command_runs_its_own_local_cluster(tmp_path):
    pytest.importorskip("distributed")
    path = make_build(tmp_path, "zarr")
    done = run_cli("label", path, "--workers", "2")
    assert done.returncode == 0, done.stderr
    assert_labelled(path)


def test_rerun_skips_finished_layers_and_overwrite_redoes_them(tmp_path):
    import h5py

    path = make_build(tmp_path, "hdf5")
    assert run_cli("label", path, "--serial").returncode == 0
    with h5py.File(path, "r+") as f:
        f["layer_0001/scanline_id"][:] = 7
    again = run_cli("label", path, "--serial", "--dataset", "scanline_id")
    assert again.returncode == 0 and f"0 layers labelled now, {LAYERS} finished" in again.stderr
    assert (read_layers(path)["layer_0001"]["scanline_id"][0] == 7).all()
    assert run_cli("label", path, "--serial", "--overwrite").returncode == 0
    assert_labelled(path)


def test_output_store_gets_the_ids_and_the_build_is_untouched(tmp_path):
    path = make_build(tmp_path, "hdf5")
    before = hashlib.sha256(Path(path).read_bytes()).hexdigest()
    other = str(tmp_path / "ids.zarr")
    done = run_cli("label", path, "--serial", "--output", other)
    assert done.returncode == 0, done.stderr
    assert hashlib.sha256(Path(path).read_bytes()).hexdigest() == before
    assert_labelled(other, coordinates_from=path)


def _foreign_ids(g):
    g.create_dataset("scanline_id", data=np.arange(5))


def _other_pool_size(g):
    g["scanline_id"].attrs["pool_size"] = 4


def _no_y(g):
    g.move("y", "y_saved")


def _integer_x(g):
    del g["x"]
    g.create_dataset("x", data=np.arange(5))


@pytest.mark.parametrize(
    "labelled_first, spoil, message",
    [
        (False, _foreign_ids, "scanline_id exists but is not"),
        (True, _other_pool_size, "--overwrite relabels it"),
        (False, _no_y, "no dataset y"),
        (False, _integer_x, "x has dtype int64, not floating point"),
    ],
    ids=lambda v: v.__name__.strip("_") if callable(v) else None,
)
def test_unusable_layers_are_named_and_left_alone(tmp_path, labelled_first, spoil, message):
    import h5py

    path = make_build(tmp_path, "hdf5")
    if labelled_first:
        assert run_cli("label", path, "--serial").returncode == 0
    with h5py.File(path, "r+") as f:
        spoil(f["layer_0002"])
    before = read_layers(path)["layer_0002"]
    done = run_cli("label", path, "--serial")
    assert done.returncode == 1, done.stderr
    assert "layer_0002: skipped:" in done.stderr and message in done.stderr
    after = read_layers(path)
    spoilt = after.pop("layer_0002")
    assert spoilt.keys() == before.keys()
    for key, (values, attrs) in spoilt.items():
        np.testing.assert_array_equal(values, before[key][0], err_msg=key)
        assert attrs == before[key][1]
    for name, arrays in after.items():
        np.testing.assert_array_equal(
            arrays["scanline_id"][0],
            vorlane.annotate_scanlines(arrays["x"][0], arrays["y"][0]),
            err_msg=name,
        )


@pytest.mark.parametrize(
    "created_with, threads, status",
    [
        (None, 2, 0),  # a fresh process: the pin holds and the pool starts its worker
        ("2", 1, 1),  # a pool of two threads already exists: the layer fails, named
    ],
)
def test_pool_size_is_pinned_and_checked(tmp_path, created_with, threads, status):
    path = make_build(tmp_path, "hdf5", layers=1, lines=60, samples_per_line=10_000)
    code = (
        "import sys, numpy as np\n"
        "from vorlane_tools import cli\n"
        "from vorlane_tools._batch import pool_size_seen\n"
        "if sys.argv[1] != 'None':\n"
        "    import os, vorlane; os.environ['RAYON_NUM_THREADS'] = sys.argv[1]\n"
        "    vorlane.annotate_scanlines(np.zeros(600_000), np.zeros(600_000))\n"
        "status = cli.main(['label', sys.argv[2], '--serial', '--threads', sys.argv[3]])\n"
        "print(status, pool_size_seen())\n"
    )
    done = subprocess.run(
        [sys.executable, "-c", code, str(created_with), path, str(threads)],
        env=child_env(),
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.stdout.split() == [str(status), str(created_with or threads)], done.stderr
    if status:
        assert "pool has 2 threads, not 1" in done.stderr


def test_pool_size_is_pinned_on_cluster_workers(tmp_path):
    distributed = pytest.importorskip("distributed")
    from vorlane_tools._batch import pool_size_seen

    path = make_build(tmp_path, "hdf5", layers=1, lines=60, samples_per_line=10_000)
    with (
        distributed.LocalCluster(
            n_workers=1,
            threads_per_worker=1,
            processes=True,
            dashboard_address=None,
            env=child_env(),
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        done = run_cli("label", path, "--scheduler", cluster.scheduler_address, "--threads", "2")
        assert done.returncode == 0, done.stderr
        assert list(client.run(pool_size_seen).values()) == [2]
    assert read_layers(path)["layer_0000"]["scanline_id"][1]["pool_size"] == 2


def test_info_shows_layers_and_how_their_ids_were_made(tmp_path):
    path = make_build(tmp_path, "zarr")
    assert run_cli("label", path, "--serial", "--threads", "3").returncode == 0
    done = run_cli("info", path)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert len(lines) == LAYERS
    layers = read_layers(path)
    for line, name in zip(lines, sorted(layers), strict=True):
        arrays = layers[name]
        ids = arrays["scanline_id"][0]
        share = f"{(ids > 0).mean():.1%}"
        assert line.startswith(name) and f"{len(ids)} samples float64" in line
        assert f"scanline_id: {len(np.unique(ids[ids > 0]))} lines, {share} labelled" in line
        assert "method=annotate_scanlines" in line and "pool_size=3" in line


def save_npy_pairs(path, x, y):
    np.save(path, np.column_stack([x, y]))


def save_npy_rows(path, x, y):
    np.save(path, np.vstack([x, y]))


def save_npy_fields(path, x, y):
    a = np.empty(len(x), dtype=[("t", "f8"), ("y", y.dtype), ("x", x.dtype)])
    a["x"], a["y"], a["t"] = x, y, 0.0
    np.save(path, a)


def save_csv(path, x, y):
    # Columns in another order than x, y and an extra one, as exported data often has.
    np.savetxt(
        path,
        np.column_stack([y, np.arange(len(x)), x]),
        delimiter=",",
        header="Y, t, X",
        comments="",
        fmt="%.17g",
    )


@pytest.mark.parametrize(
    "suffix, save, dtype",
    [
        (".npy", save_npy_pairs, np.float64),
        (".npy", save_npy_rows, np.float32),
        (".npy", save_npy_fields, np.float32),
        (".npz", lambda p, x, y: np.savez(p, y=y, x=x), np.float32),
        (".csv", save_csv, np.float64),
    ],
)
def test_layer_files_load_as_saved(tmp_path, suffix, save, dtype):
    x = np.linspace(0.0, 3.0, 50, dtype=dtype)
    y = np.sin(x * 7).astype(dtype)
    path = str(tmp_path / f"layer{suffix}")
    save(path, x, y)
    lx, ly = load_layer_file(path)
    assert lx.dtype == ly.dtype == dtype and lx.flags.c_contiguous
    np.testing.assert_array_equal(lx, x)
    np.testing.assert_array_equal(ly, y)


def test_plot_uses_stored_ids_and_computes_missing_ones(tmp_path):
    pytest.importorskip("matplotlib")
    path = make_build(tmp_path, "hdf5")
    import h5py

    with h5py.File(path, "r+") as f:
        f["layer_0000"].create_dataset(
            "scanline_id", data=np.full(len(f["layer_0000/x"]), 5, dtype=np.int32)
        )
        x, y = f["layer_0001/x"][:], f["layer_0001/y"][:]
    computed = vorlane.annotate_scanlines(x, y)
    np.save(tmp_path / "layer.npy", np.column_stack([x, y]))
    for source, lines, share in [
        ([path, "--layer", "layer_0000"], 1, 1.0),
        (
            [path, "--layer", "layer_0001"],
            len(np.unique(computed[computed > 0])),
            (computed > 0).mean(),
        ),
        (
            [str(tmp_path / "layer.npy")],
            len(np.unique(computed[computed > 0])),
            (computed > 0).mean(),
        ),
    ]:
        out = tmp_path / "out.png"
        done = run_cli("plot", *source, "-o", str(out))
        assert done.returncode == 0, done.stderr
        assert f"{lines} scanlines, {share:.1%} labelled" in done.stderr
        assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        out.unlink()


@pytest.mark.parametrize("robust", [False, True])
def test_vectors_are_the_scan_vectors_table_as_csv(tmp_path, robust):
    path = make_build(tmp_path, "zarr")
    flag = ["--robust"] if robust else []
    assert run_cli("label", path, "--serial", *flag).returncode == 0
    out = tmp_path / "v.csv"
    done = run_cli("vectors", path, "--layer", "layer_0003", *flag, "-o", str(out))
    assert done.returncode == 0, done.stderr
    arrays = read_layers(path)["layer_0003"]
    x, y = arrays["x"][0], arrays["y"][0]
    ids = arrays["scanline_id_robust" if robust else "scanline_id"][0]
    expected = vorlane_tools_scan_vectors(x, y, ids)
    got = np.genfromtxt(out, delimiter=",", names=True)
    assert got.dtype.names == expected.dtype.names and len(got) == len(expected) > 0
    for field in expected.dtype.names:
        np.testing.assert_array_equal(got[field], expected[field], err_msg=field)


def vorlane_tools_scan_vectors(x, y, ids):
    import vorlane_tools

    return vorlane_tools.scan_vectors(x, y, ids)


def _object_npy(p):
    np.save(p, np.array([[1.0, 2.0], [3.0, None]], dtype=object), allow_pickle=True)


def _pickling_zarr_codec(build):
    meta = Path(build) / "layer_0000" / "x" / "zarr.json"
    doc = json.loads(meta.read_text())
    doc["codecs"].insert(0, {"name": "numcodecs.pickle", "configuration": {}})
    meta.write_text(json.dumps(doc))


def _string_x_hdf5(build):
    import h5py

    with h5py.File(build, "r+") as f:
        del f["layer_0000/x"]
        f["layer_0000"].create_dataset("x", data=["a"] * 5, dtype=h5py.string_dtype())


BAD_FILES = {
    "pairs.npy": lambda p: np.save(p, np.zeros((4, 3))),
    "ints.npy": lambda p: np.save(p, np.zeros((4, 2), dtype=np.int64)),
    "objects.npy": _object_npy,
    "objects.npz": lambda p: np.savez(p, x=np.array([1.0, None]), y=np.zeros(2)),
    "no_y.npz": lambda p: np.savez(p, x=np.zeros(3)),
    "unequal.npz": lambda p: np.savez(p, x=np.zeros(3), y=np.zeros(4)),
    "columns.csv": lambda p: Path(p).write_text("u,v\n1,2\n"),
    "text.csv": lambda p: Path(p).write_text("x,y\n1,two\n"),
}


@pytest.mark.parametrize(
    "args, prepare, message",
    [
        (["plot", "{tmp}/missing.npy", "-o", "o.png"], None, "no such file"),
        (["label", "{tmp}/missing.h5"], None, "no such file or directory"),
        (["info", "{tmp}/pairs.npy"], "pairs.npy", "neither an HDF5 file nor a Zarr"),
        (["label", "{tmp}/pairs.npy", "--serial"], "pairs.npy", "takes a build"),
        (["vectors", "{tmp}/pairs.npy"], "pairs.npy", "expected an (n, 2) or (2, n) array"),
        (["vectors", "{tmp}/ints.npy"], "ints.npy", "dtype int64, not floating point"),
        (["vectors", "{tmp}/objects.npy"], "objects.npy", "object array"),
        (["vectors", "{tmp}/objects.npz"], "objects.npz", "object array"),
        (["vectors", "{tmp}/no_y.npz"], "no_y.npz", "no array named y"),
        (["vectors", "{tmp}/unequal.npz"], "unequal.npz", "differ in length (3 and 4)"),
        (["vectors", "{tmp}/columns.csv"], "columns.csv", "no columns x and y"),
        (["vectors", "{tmp}/text.csv"], "text.csv", "text.csv"),
        (["vectors", "{h5}"], "build.h5", "needs --layer"),
        (["vectors", "{h5}", "--layer", "layer_9"], "build.h5", "no layer layer_9"),
        (["vectors", "{h5}", "--layer", "layer_0000"], _string_x_hdf5, "object array"),
        (["vectors", "{zarr}", "--layer", "layer_0000"], _pickling_zarr_codec, "pickling codec"),
        (["label", "{h5}", "--serial", "--tolerance", "1"], "build.h5", "apply to --robust only"),
        (["label", "{h5}", "--serial", "--dataset", "x"], "build.h5", "not a usable dataset name"),
        (["label", "{h5}", "--threads", "0"], "build.h5", "not a positive number"),
        (["label", "{h5}", "--serial", "--workers", "2"], "build.h5", "not allowed with"),
    ],
    ids=lambda v: v if isinstance(v, str) else None,
)
def test_bad_input_exits_2_with_one_line(tmp_path, capsys, args, prepare, message):
    h5, zarr = str(tmp_path / "build.h5"), str(tmp_path / "build.zarr")
    if prepare in BAD_FILES:
        BAD_FILES[prepare](str(tmp_path / prepare))
    elif prepare is not None:
        make_build(tmp_path, "hdf5")
        make_build(tmp_path, "zarr")
        if callable(prepare):
            prepare(h5 if prepare is _string_x_hdf5 else zarr)
    # In this process, which is quicker: each of these stops before anything is labelled.
    try:
        status = cli.main([a.format(tmp=tmp_path, h5=h5, zarr=zarr) for a in args])
    except SystemExit as exit:
        status = exit.code
    err = capsys.readouterr().err
    assert status == 2 and message in err, err
    assert len(err.strip().splitlines()) == 1, err


@pytest.mark.parametrize(
    "blocked, args, extra",
    [
        ("matplotlib", ["plot", "{npy}", "-o", "{tmp}/o.png"], "vorlane[plot]"),
        ("distributed", ["label", "{h5}"], "vorlane[batch]"),
    ],
)
def test_missing_extra_names_the_install(tmp_path, monkeypatch, capsys, blocked, args, extra):
    h5 = make_build(tmp_path, "hdf5")
    np.save(tmp_path / "l.npy", np.zeros((10, 2)))
    monkeypatch.setitem(sys.modules, blocked, None)
    status = cli.main([a.format(tmp=tmp_path, h5=h5, npy=tmp_path / "l.npy") for a in args])
    err = capsys.readouterr().err
    assert status == 2 and f"pip install '{extra}'" in err and len(err.splitlines()) == 1


def test_mark_of_a_killed_hdf5_writer_is_cleared_and_reported(tmp_path):
    import h5py

    path = make_build(tmp_path, "hdf5-latest")
    killed = subprocess.run(
        [
            sys.executable,
            "-c",
            "import h5py, os, signal, sys\n"
            "f = h5py.File(sys.argv[1], 'r+')\nos.kill(os.getpid(), signal.SIGKILL)",
            path,
        ],
        env=child_env(),
        capture_output=True,
        timeout=120,
    )
    assert killed.returncode == -signal.SIGKILL
    with pytest.raises(OSError, match="already open for write"):
        h5py.File(path, "r")
    done = run_cli("label", path, "--serial")
    assert done.returncode == 0, done.stderr
    assert "cleared the open-for-writing mark" in done.stderr
    assert_labelled(path)


def test_robust_label_passes_its_parameters_and_records_them(tmp_path):
    import h5py

    import vorlane_tools

    path = make_build(tmp_path, "hdf5")
    with h5py.File(path, "r+") as f:
        for g in f.values():
            on = np.ones(len(g["x"]), dtype=np.uint8)
            on[len(on) // 3 : len(on) // 2] = 0
            g.create_dataset("power", data=on)
    done = run_cli(
        "label", path, "--serial", "--robust", "--laser-on", "power", "--tolerance", "0.01"
    )
    assert done.returncode == 0, done.stderr
    for name, arrays in read_layers(path).items():
        ids, attrs = arrays["scanline_id_robust"]
        expected = vorlane_tools.robust_scanlines(
            arrays["x"][0], arrays["y"][0], laser_on=arrays["power"][0], tolerance=0.01
        )
        np.testing.assert_array_equal(ids, expected, err_msg=name)
        assert (attrs["method"], attrs["tolerance"], attrs["laser_on"]) == (
            "robust_scanlines",
            0.01,
            "power",
        )
