"""`vorlane label` killed at random moments, again and again, on HDF5 and Zarr: after every
kill each layer's coordinates read back intact and every ids dataset present is whole and
right, and a final run completes the build.

Each format takes VORLANE_KILLS kills (default 8); the seed is printed with any failure and
VORLANE_KILL_SEED replays it."""

from __future__ import annotations

import os
import random
import shutil
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
from cli_support import child_env, make_build, read_layers, run_cli

import vorlane

pytestmark = pytest.mark.cli

KILLS = int(os.environ.get("VORLANE_KILLS", "8"))
# Layers big enough that writing them takes a while, so that kills land in writes as well
# as in computing, opening and renaming.
SHAPE = dict(layers=8, lines=40, samples_per_line=5000)


def label_command(path: str, overwrite: bool) -> list[str]:
    return [
        sys.executable,
        "-m",
        "vorlane_tools",
        "label",
        path,
        "--serial",
        "--no-progress",
        *(["--overwrite"] if overwrite else []),
    ]


def count_repairs(stderr: str) -> int:
    return stderr.count("left by an interrupted run") + stderr.count("cleared the open")


def timed_run(path: str, overwrite: bool) -> float:
    start = time.monotonic()
    subprocess.run(
        label_command(path, overwrite),
        env=child_env(),
        check=True,
        capture_output=True,
        timeout=300,
    )
    return time.monotonic() - start


def check_build(path: str, coordinates: dict, expected: dict, note: str) -> int:
    """Coordinates intact, every scanline_id whole and right; returns how many are there."""
    finished = 0
    for name, arrays in read_layers(path).items():
        for axis in ("x", "y"):
            np.testing.assert_array_equal(
                arrays[axis][0], coordinates[name][axis], err_msg=f"{note}: {name}/{axis} changed"
            )
        if "scanline_id" in arrays:
            np.testing.assert_array_equal(
                arrays["scanline_id"][0],
                expected[name],
                err_msg=f"{note}: {name}/scanline_id is not whole",
            )
            finished += 1
    return finished


@pytest.mark.parametrize("fmt", ["hdf5", "hdf5-latest", "zarr"])
def test_kills_at_random_moments_never_spoil_the_build(tmp_path, fmt):
    seed = int(os.environ.get("VORLANE_KILL_SEED") or random.randrange(1 << 30))
    chance = random.Random(seed)
    path = make_build(tmp_path, fmt, **SHAPE)
    layers = read_layers(path)
    coordinates = {name: {axis: a[axis][0] for axis in "xy"} for name, a in layers.items()}
    expected = {name: vorlane.annotate_scanlines(c["x"], c["y"]) for name, c in coordinates.items()}

    # Runs on a copy say how long starting takes and how long a whole run, so that kills
    # spread over the part where layers are written.
    scratch = str(tmp_path / ("scratch" + os.path.splitext(path)[1]))
    (shutil.copytree if os.path.isdir(path) else shutil.copy)(path, scratch)
    whole = timed_run(scratch, overwrite=True)
    starting = timed_run(scratch, overwrite=False)

    repairs = 0
    for kill in range(KILLS):
        # Every other run relabels finished layers, so that kills also land in replacing.
        run = subprocess.Popen(
            label_command(path, overwrite=kill % 2 == 1),
            env=child_env(),
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            text=True,
        )
        time.sleep(chance.uniform(0.8 * starting, 1.1 * whole))
        run.send_signal(signal.SIGKILL)
        _, err = run.communicate(timeout=300)
        assert run.returncode in (0, -signal.SIGKILL), f"seed {seed}, kill {kill}: {err}"
        repairs += count_repairs(err)
        check_build(path, coordinates, expected, f"seed {seed}, after kill {kill}")

    done = run_cli("label", path, "--serial", "--no-progress")
    assert done.returncode == 0, f"seed {seed}: {done.stderr}"
    repairs += count_repairs(done.stderr)
    assert check_build(path, coordinates, expected, f"seed {seed}, last run") == SHAPE["layers"]
    leftovers = (".partial", ".replaced")
    assert not [k for a in read_layers(path).values() for k in a if k.endswith(leftovers)]
    print(
        f"{fmt}: {KILLS} kills in {starting:.2f} to {whole:.2f} s, {repairs} repairs, seed {seed}"
    )
