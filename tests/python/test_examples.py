"""The example scripts that add to the command: the bundled layer's picture. make_build.py
serves the tests of the command, which label its builds."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest
from cli_support import REPO, child_env

pytestmark = pytest.mark.examples

EXAMPLES = REPO / "examples"


def run_script(name: str, *args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, str(EXAMPLES / f"{name}.py"), *args],
        env=child_env(),
        capture_output=True,
        text=True,
        timeout=600,
    )


def test_plot_of_bundled_path_is_a_png(tmp_path: Path) -> None:
    pytest.importorskip("matplotlib")
    out = tmp_path / "layer.png"
    done = run_script("plot_layer", "-o", str(out))
    assert done.returncode == 0, done.stderr
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "scanlines" in done.stderr and "labelled" in done.stderr


def test_side_by_side_picture_shows_the_robust_labelling_recovering_more(tmp_path: Path) -> None:
    pytest.importorskip("matplotlib")
    out = tmp_path / "both.png"
    done = run_script("compare_labellings", "-o", str(out))
    assert done.returncode == 0, done.stderr
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    recovered = {
        line.split(":")[0]: int(line.split(", ")[1].split(" of ")[0])
        for line in done.stdout.splitlines()
        if " true lines recovered" in line
    }
    assert recovered["robust_scanlines"] > recovered["annotate_scanlines"], done.stdout
