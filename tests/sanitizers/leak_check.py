"""Leak check of the extension under LeakSanitizer (run by scripts/sanitize.sh).

    leak_check.py                 drive every path of the module; LSan reports at exit
    leak_check.py --faults INJECTION...
                                  the given fault injections, one after the other
    leak_check.py --report LOG ROOT
                                  fail if any reported leak was allocated through our code

Faults run in child processes, since a fault while a fault is raised ends the process.
"""

from __future__ import annotations

import gc
import os
import re
import subprocess
import sys
import tracemalloc

PARALLEL_N = 600_000  # above the size from which both collapse stages fan out to the pool
ROUNDS = 5


def zigzag(n, dtype):
    import numpy as np

    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "examples"))
    from scan_paths import zigzag_path

    per_line = 500
    x, y = zigzag_path(lines=max(2, n // per_line), samples_per_line=per_line, dtype=dtype)
    return np.ascontiguousarray(x[:n]), np.ascontiguousarray(y[:n])


def expect(exc, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc:
        return
    raise AssertionError(f"{fn.__name__}{args} did not raise {exc.__name__}")


def drive_every_path():
    import numpy as np

    import vorlane

    f = vorlane.annotate_scanlines
    inputs = [zigzag(n, dt) for dt in (np.float64, np.float32) for n in (1, 2, 5000, PARALLEL_N)]
    inputs.append((np.empty(0), np.empty(0)))

    def round_of_calls():
        for x, y in inputs:
            ids = f(x, y)
            assert len(ids) == len(x)
            f(x=x, y=y)
        x, y = inputs[2]
        expect(ValueError, f, x, y[:-1])
        expect(ValueError, f, x[::2], y[::2])
        expect(ValueError, f, x, y[::-1].copy()[::-1])
        expect(TypeError, f, x)
        expect(TypeError, f, x, y, x)
        expect(TypeError, f, x, x=x)
        expect(TypeError, f, x, z=y)
        expect(TypeError, f, x, y.astype(np.float32))
        expect(TypeError, f, list(x[:3]), list(y[:3]))
        tools_calls(x, y)

    round_of_calls()  # first-use state (NumPy table, pool, interned names) is made here
    x, y = inputs[2]
    refs_before = (sys.getrefcount(x), sys.getrefcount(y))
    gc.collect()
    tracemalloc.start()
    baseline = tracemalloc.get_traced_memory()[0]
    for _ in range(ROUNDS):
        round_of_calls()
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - baseline
    tracemalloc.stop()
    refs_after = (sys.getrefcount(x), sys.getrefcount(y))
    assert refs_after == refs_before, (
        f"input reference counts changed: {refs_before} -> {refs_after}"
    )
    # Each round makes about 10 MB of result arrays; a leaked one would stay.
    assert grown < 1 << 20, f"{grown} bytes still allocated after {ROUNDS} rounds of calls"
    print(
        f"leak check: {ROUNDS + 1} rounds of calls, {grown} bytes left, reference counts unchanged"
    )


def tools_calls(x, y):
    """Every path of vorlane_tools' native functions on one input of each width."""
    import numpy as np

    from vorlane_tools import robust_scanlines, scan_vectors

    for xs, ys in ((x, y), (x.astype(np.float32), y.astype(np.float32))):
        ids = robust_scanlines(xs, ys, laser_on=np.isfinite(xs), tolerance=0.01)
        labels = (np.arange(len(xs)) // 100).astype(np.int64)
        for layout in (slice(None), slice(None, None, -3)):
            robust_scanlines(xs[layout], ys[layout], return_info=True)
            scan_vectors(xs[layout], ys[layout], labels[layout])
        scan_vectors(xs, ys, ids)
        expect(ValueError, robust_scanlines, xs, ys[:-1])
        expect(ValueError, robust_scanlines, xs, ys, tolerance=-1.0)
        expect(ValueError, scan_vectors, xs, ys, labels[:-1])
        expect(TypeError, scan_vectors, xs, ys.astype(np.float16), labels)


def fresh_module(name="vorlane"):
    """Runs the module's exec step again on a new module object, as an import would."""
    import importlib.util

    module_spec = importlib.util.find_spec(name)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def faults(injections):
    """Each injection in turn, in this process; prints each one it survives."""
    import numpy as np

    import vorlane

    for injection in injections:
        os.environ["VORLANE_INJECT_FAULT"] = injection
        for name in ("vorlane", "vorlane_tools._native"):
            try:
                fresh_module(name)
            except BaseException:  # noqa: BLE001 - a fault in the exec step is one of the paths
                pass
        # Only the pool's site needs an input large enough for the parallel stages.
        for n in (5000, PARALLEL_N) if "pool" in injection else (5000,):
            x, y = zigzag(n, np.float64)
            try:
                vorlane.annotate_scanlines(x, y)
            except BaseException:  # noqa: BLE001 - the faults are the point here
                pass
            try:
                tools_calls(x, y)
            except BaseException:  # noqa: BLE001 - the faults are the point here
                pass
        del os.environ["VORLANE_INJECT_FAULT"]
        x, y = zigzag(5000, np.float64)
        assert len(vorlane.annotate_scanlines(x, y)) == 5000, f"a call after {injection} failed"
        print("survived", injection, flush=True)


def drive_faults():
    """Runs the injections in child processes, starting a new one after each that ends its
    process (a fault while a fault is raised aborts by design)."""
    injections = os.environ.get("VORLANE_FAULT_SITES", "").split()
    remaining, ended = list(injections), []
    while remaining:
        child = subprocess.run(
            [sys.executable, __file__, "--faults", *remaining],
            stdout=subprocess.PIPE,
            text=True,
            check=False,
        )
        survived = {
            line.split()[1] for line in child.stdout.splitlines() if line.startswith("survived ")
        }
        left = [s for s in remaining if s not in survived]
        if child.returncode < 0 and left:
            ended.append(left.pop(0))  # killed by a signal: the abort of a fault while raising
        elif child.returncode != 0 or left:
            raise AssertionError(
                f"fault injections failed (exit {child.returncode}); not done: {left}"
            )
        remaining = left
    print(
        f"leak check: {len(injections)} fault injections driven, ending the process: {ended or 'none'}"
    )


# Frames that own what is allocated above them even when we called them: an import we
# trigger allocates for the imported module, and tracemalloc keeps its own bookkeeping.
FOREIGN_OWNER = re.compile(r" in (?:import_find_and_load|_?PyImport_\w+) |_tracemalloc\.c:")


def allocated_by_us(block, src):
    """Whether the nearest of our frames to the allocation is reached with no foreign owner
    in between."""
    for line in block.splitlines()[1:]:
        if (
            "vorlane::" in line
            or "vorlane.abi3.so" in line
            or "_native.abi3.so" in line
            or src in line
        ):
            return True
        if FOREIGN_OWNER.search(line):
            return False
    return False


def report(log_path, root):
    with open(log_path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    blocks = re.split(r"\n(?=(?:Direct|Indirect) leak of )", text)
    leaks = [b.split("\n\n")[0] for b in blocks if re.match(r"(?:Direct|Indirect) leak of ", b)]
    src = os.path.join(os.path.abspath(root), "src") + os.sep
    ours = [b for b in leaks if allocated_by_us(b, src)]
    errors = r"^.*(?:ERROR: (?:Address|UndefinedBehavior|Leak)Sanitizer|runtime error:).*$"
    for problem in re.findall(errors, text, re.M):
        if "detected memory leaks" not in problem:
            ours.append(problem)
    for b in ours:
        print(b, end="\n\n")
    print(f"leak check: {len(leaks)} leak reports at exit, {len(ours)} from the extension")
    return 1 if ours else 0


def main(argv):
    if argv[1:2] == ["--report"]:
        return report(argv[2], argv[3])
    if argv[1:2] == ["--faults"]:
        faults(argv[2:])
        return 0
    drive_every_path()
    drive_faults()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
