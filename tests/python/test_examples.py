"""The example scripts: the layer plot, and batch labelling of whole builds with Dask."""

from __future__ import annotations

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

pytestmark = pytest.mark.examples

vorlane = pytest.importorskip("vorlane")

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
LAYERS = 8
SMALL = dict(layers=LAYERS, lines=12, samples_per_line=60)


def load_example(name: str):
    if name in sys.modules:
        return sys.modules[name]
    module_spec = importlib.util.spec_from_file_location(name, EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(module_spec)
    sys.modules[name] = module
    module_spec.loader.exec_module(module)
    return module


def child_env(**extra: str) -> dict[str, str]:
    """The environment of a child process, able to import the vorlane under test."""
    here = os.path.dirname(os.path.abspath(vorlane.__file__))
    paths = [here, os.environ.get("PYTHONPATH", "")]
    return {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in paths if p), **extra}


def run_script(name: str, *args: str, env: dict[str, str] | None = None) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, str(EXAMPLES / f"{name}.py"), *args], env=env or child_env(),
                          capture_output=True, text=True, timeout=600)


# -- plot_layer ------------------------------------------------------------------------


def test_plot_of_bundled_path_is_a_png(tmp_path):
    pytest.importorskip("matplotlib")
    out = tmp_path / "layer.png"
    done = run_script("plot_layer", "-o", str(out))
    assert done.returncode == 0, done.stderr
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "scanlines" in done.stdout and "labelled" in done.stdout


def _save_npy_pairs(path, x, y):
    np.save(path, np.column_stack([x, y]))


def _save_npy_fields(path, x, y):
    a = np.empty(len(x), dtype=[("t", "f8"), ("y", y.dtype), ("x", x.dtype)])
    a["x"], a["y"], a["t"] = x, y, 0.0
    np.save(path, a)


def _save_csv(path, x, y):
    # Columns in another order than x, y and an extra one, as exported data often has.
    np.savetxt(path, np.column_stack([y, np.arange(len(x)), x]), delimiter=",",
               header="Y, t, X", comments="", fmt="%.17g")


@pytest.mark.parametrize("suffix, save, dtype", [
    (".npy", _save_npy_pairs, np.float64),
    (".npy", _save_npy_fields, np.float32),
    (".npz", lambda p, x, y: np.savez(p, x=x, y=y), np.float32),
    (".npz", lambda p, x, y: np.savez(p, y=y, x=x), np.float64),
    (".csv", _save_csv, np.float64),
])
def test_user_files_load_as_the_path_saved(tmp_path, suffix, save, dtype):
    x = np.linspace(0.0, 3.0, 50, dtype=dtype)
    y = np.sin(x * 7).astype(dtype)
    path = str(tmp_path / f"layer{suffix}")
    save(path, x, y)
    lx, ly = load_example("plot_layer").load_path(path)
    assert lx.dtype == ly.dtype == (np.float64 if suffix == ".csv" else dtype)
    assert lx.flags.c_contiguous and ly.flags.c_contiguous
    np.testing.assert_array_equal(lx, x)
    np.testing.assert_array_equal(ly, y)


def test_unreadable_user_files_are_refused(tmp_path):
    plot_layer = load_example("plot_layer")
    bad = {
        "a.npy": lambda p: np.save(p, np.zeros((4, 3))),
        "b.npz": lambda p: np.savez(p, x=np.zeros(3)),
        "c.csv": lambda p: Path(p).write_text("u,v\n1,2\n"),
        "d.txt": lambda p: Path(p).write_text("1 2\n"),
    }
    for name, save in bad.items():
        save(str(tmp_path / name))
        with pytest.raises(ValueError):
            plot_layer.load_path(str(tmp_path / name))


# -- annotate_build --------------------------------------------------------------------


FORMATS = {"hdf5": ("h5py", "build.h5"), "zarr": ("zarr", "build.zarr")}


def make_build(tmp_path, fmt: str) -> str:
    module, name = FORMATS[fmt]
    pytest.importorskip(module, minversion="3")
    path = str(tmp_path / name)
    load_example("make_build").make_build(path, **SMALL)
    return path


def read_layers(path: str) -> dict[str, dict]:
    """Every layer's coordinates, ids (None when missing) and whether a partial is left."""
    layers = {}
    if path.endswith(".h5"):
        import h5py

        with h5py.File(path, "r") as f:
            for name, g in f.items():
                ids = g["scanline_id"] if "scanline_id" in g else None
                layers[name] = dict(x=g["x"][:], y=g["y"][:], ids=None if ids is None else ids[:],
                                    partial="scanline_id.partial" in g)
    else:
        import zarr

        for name, g in zarr.open_group(path, mode="r", use_consolidated=False).groups():
            ids = g["scanline_id"] if "scanline_id" in g else None
            layers[name] = dict(x=g["x"][:], y=g["y"][:], ids=None if ids is None else ids[:],
                                partial="scanline_id.partial" in g)
    assert len(layers) == LAYERS
    return layers


def assert_every_layer_labelled(path: str) -> None:
    for name, layer in read_layers(path).items():
        assert not layer["partial"], f"{name}: a partial was left behind"
        assert layer["ids"] is not None, f"{name}: no scanline_id"
        assert layer["ids"].dtype == np.int32
        expected = vorlane.annotate_scanlines(layer["x"], layer["y"])
        assert (expected > 0).any(), f"{name}: the generated layer has no scanline"
        np.testing.assert_array_equal(layer["ids"], expected, err_msg=name)


@pytest.fixture(scope="module")
def cluster():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None, env=child_env()) as cluster:
        yield cluster


@pytest.mark.parametrize("fmt, extra", [("hdf5", []), ("zarr", []), ("hdf5", ["--ship-data"])],
                         ids=["hdf5", "zarr", "hdf5-shipped"])
def test_build_on_a_cluster_gets_the_ids_of_direct_calls(tmp_path, cluster, fmt, extra):
    pytest.importorskip("tqdm")
    path = make_build(tmp_path, fmt)
    annotate_build = load_example("annotate_build")
    assert annotate_build.main([path, "--scheduler", cluster.scheduler_address, *extra]) == 0
    assert_every_layer_labelled(path)


@pytest.mark.parametrize("fmt", ["hdf5", "zarr"])
def test_rerun_after_an_interrupted_run_completes_every_layer(tmp_path, cluster, monkeypatch, fmt):
    pytest.importorskip("tqdm")
    path = make_build(tmp_path, fmt)
    annotate_build = load_example("annotate_build")
    args = [path, "--scheduler", cluster.scheduler_address, "--window", "2"]

    monkeypatch.setenv(annotate_build.STOP_AFTER_ENV, "3")
    assert annotate_build.main(args) == annotate_build.STOPPED_EXIT
    layers = read_layers(path).values()
    assert sum(layer["ids"] is not None for layer in layers) == 3
    assert sum(layer["partial"] for layer in layers) == 1
    assert not any(layer["partial"] and layer["ids"] is not None for layer in layers)

    monkeypatch.delenv(annotate_build.STOP_AFTER_ENV)
    assert annotate_build.main(args) == 0
    assert_every_layer_labelled(path)


def test_command_line_run_on_its_own_local_cluster(tmp_path):
    for module in ("distributed", "tqdm"):
        pytest.importorskip(module)
    path = make_build(tmp_path, "hdf5")
    done = run_script("annotate_build", path, "--workers", "2", "--threads-per-worker", "1")
    assert done.returncode == 0, done.stderr
    assert f"{LAYERS} labelled now" in done.stdout
    assert_every_layer_labelled(path)


def test_foreign_scanline_id_is_left_alone_and_reported(tmp_path):
    h5py = pytest.importorskip("h5py", minversion="3")
    path = make_build(tmp_path, "hdf5")
    with h5py.File(path, "r+") as f:
        f["layer_0002"].create_dataset("scanline_id", data=np.arange(5, dtype=np.int64))
    assert load_example("annotate_build").main([path, "--serial"]) == 1
    layers = read_layers(path)
    np.testing.assert_array_equal(layers.pop("layer_0002")["ids"], np.arange(5))
    for name, layer in layers.items():
        np.testing.assert_array_equal(layer["ids"], vorlane.annotate_scanlines(layer["x"], layer["y"]),
                                      err_msg=name)
