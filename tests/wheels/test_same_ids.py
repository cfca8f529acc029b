"""The manylinux wheel (clang, static libc++, glibc 2.17) must give the same ids, bit for bit, as
the build that `pip install .` makes with the machine's GCC: a compiler that contracted a
multiply-add or reordered a sum would move a corner and so an id.

Runs against the installed wheel; VORLANE_NATIVE_SITE names a folder that holds the native build
(the test command installs the native release wheel there). Both sides run as fresh processes
with the same pool size, since chunk seams follow the pool size.
"""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[2]

# Small paths run the sequential fused pass; 2e6 samples run the chunked pass on the pool.
CASES = [
    (variant, dtype, n)
    for variant in ("plain", "noisy")
    for dtype in ("float64", "float32")
    for n in (1_000, 100_000, 2_000_000)
]

DUMP = """
import sys
import numpy as np
sys.path[:0] = [sys.argv[2], sys.argv[3]]
import vorlane
from paths import make_path
from scan_paths import zigzag_path

out = {"__module__": np.array(vorlane.__file__)}
for case in sys.argv[4:]:
    variant, dtype, n = case.split(":")
    path = make_path(int(n), dtype=np.dtype(dtype), variant=variant, seed=3)
    out[case] = vorlane.annotate_scanlines(path.x, path.y)
x, y = zigzag_path(lines=40, samples_per_line=300)
out["zigzag:float64"] = vorlane.annotate_scanlines(x, y)
out["zigzag:float32"] = vorlane.annotate_scanlines(x.astype(np.float32), y.astype(np.float32))
np.savez(sys.argv[1], **out)
"""


def dump_ids(tmp_path: Path, name: str, site: str | None, threads: str) -> dict[str, np.ndarray]:
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "RAYON_RS_NUM_CPUS")}
    env["RAYON_NUM_THREADS"] = threads
    if site:
        env["PYTHONPATH"] = site
    out = tmp_path / f"{name}.npz"
    cases = [f"{v}:{d}:{n}" for v, d, n in CASES]
    done = subprocess.run(
        [sys.executable, "-c", DUMP, str(out), str(ROOT / "bench"), str(ROOT / "examples"), *cases],
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert done.returncode == 0, done.stderr
    with np.load(out) as data:
        return {k: data[k] for k in data.files}


@pytest.mark.parametrize("threads", ["1", "2"])
def test_wheel_ids_equal_native_ids(tmp_path, threads):
    native_site = os.environ.get("VORLANE_NATIVE_SITE")
    assert native_site, "VORLANE_NATIVE_SITE must name the folder holding the native build"
    wheel = dump_ids(tmp_path, "wheel", None, threads)
    native = dump_ids(tmp_path, "native", native_site, threads)
    assert str(native["__module__"]).startswith(native_site)
    assert not str(wheel["__module__"]).startswith(native_site)
    assert wheel.keys() == native.keys()
    differing = [k for k in wheel if k != "__module__" and not np.array_equal(wheel[k], native[k])]
    assert not differing, f"ids differ between the wheel and the native build for {differing}"
    # The cases must exercise labelling, not compare two arrays of -1.
    assert (wheel["plain:float64:2000000"] > 0).mean() > 0.5
