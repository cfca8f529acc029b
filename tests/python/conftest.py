"""Shared fixtures: running a snippet in a fresh interpreter that imports the same vorlane, and
skipping the tests that need the fault-injection hooks of the test build; and the small steep
zigzag whose ids the boundary tests check."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import vorlane

MODULE_DIR = str(Path(vorlane.__file__).resolve().parent)


def six_steep_lines(dtype=np.float64) -> tuple[np.ndarray, np.ndarray]:
    """Six steep lines of four samples each, alternately up and down: 24 samples."""
    x = np.array(
        [
            0,
            0.333333,
            0.666667,
            1,
            2,
            2.333333,
            2.666667,
            3,
            4,
            4.333333,
            4.666667,
            5,
            6,
            6.333333,
            6.666667,
            7,
            8,
            8.333333,
            8.666667,
            9,
            10,
            10.333333,
            10.666667,
            11,
        ],
        dtype=dtype,
    )
    up = [0, 3.333333, 6.666667, 10]
    return x, np.array((up + up[::-1]) * 3, dtype=dtype)


# The ids of six_steep_lines in either width.
SIX_STEEP_LINES_IDS = [-1] * 9 + [1] * 3 + [2] * 4 + [3] * 4 + [-1] * 4


def _run_python(
    code: str,
    *,
    env: dict[str, str] | None = None,
    args: tuple[str, ...] = (),
    timeout: float = 120,
) -> subprocess.CompletedProcess:
    """Runs `code` in a new interpreter that finds the vorlane under test first; the
    injection variable is cleared unless `env` sets it."""
    full_env = dict(os.environ)
    full_env.pop("VORLANE_INJECT_FAULT", None)
    full_env["PYTHONPATH"] = os.pathsep.join(
        [MODULE_DIR] + [p for p in full_env.get("PYTHONPATH", "").split(os.pathsep) if p]
    )
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, *args, "-c", textwrap.dedent(code)],
        env=full_env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


@pytest.fixture(scope="session")
def run_python():
    """The subprocess runner: run_python(code, env=..., args=...) -> CompletedProcess."""
    return _run_python


@pytest.fixture(scope="session")
def hooks_enabled() -> bool:
    """Whether this build raises at the injection site the core's driver always passes."""
    probe = _run_python(
        """
        import numpy as np, vorlane
        try:
            vorlane.annotate_scanlines(np.zeros(3), np.zeros(3))
        except BaseException as e:
            print(type(e).__name__)
        """,
        env={"VORLANE_INJECT_FAULT": "annotate"},
    )
    return probe.stdout.strip() == "PanicException"


@pytest.fixture
def needs_hooks(hooks_enabled: bool) -> None:
    if not hooks_enabled:
        pytest.skip("built without VORLANE_TEST_HOOKS")
