#!/usr/bin/env bash
# The one test command: from a bare machine to every suite, each phase timed.
#   bash scripts/test.sh              all phases
#   bash scripts/test.sh cpp numpy2   only the named phases (their prerequisites must exist)
# Venvs and build folders stay under the repo and are reused, so reruns are incremental.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

APT_PACKAGES=(libgtest-dev libgmock-dev libbenchmark-dev clang-14 libclang-rt-14-dev)
BUILD_VENV="$ROOT/.venv-build"
BPY="$BUILD_VENV/bin/python"
# Test files that prove the abi3 wheel works on a later CPython; missing ones are skipped.
SMOKE_TESTS=(test_module.py test_binding.py test_dispatch.py test_results.py test_tools_binding.py)
PHASES=(apt build-venv cpp release-wheel test-wheel numpy1 numpy2 py313 sanitize fuzz bench docs)

# ---- phases ---------------------------------------------------------------------------------

phase_apt() {
    apt_install_missing "${APT_PACKAGES[@]}"
}

phase_build_venv() {
    ensure_venv "$BUILD_VENV" 3.11
    pip_install "$BPY" -q build "scikit-build-core>=0.10" abi3audit "cmake>=3.26" ninja
    "$BPY" -m pip list --format=freeze | grep -iE '^(build|scikit.build.core|abi3audit|cmake|ninja)==' | tr '\n' ' '
    echo
}

phase_cpp() {
    local extra=()
    # Keep the benchmarks compiling once they exist; they are not run here.
    [[ -f bench/CMakeLists.txt ]] && extra+=(-DVORLANE_BUILD_BENCH=ON)
    "$BUILD_VENV/bin/cmake" -S . -B build/cpp-tests -G Ninja -DVORLANE_BUILD_MODULE=OFF \
        -DVORLANE_BUILD_TESTS=ON -DVORLANE_WERROR=ON "${extra[@]}"
    "$BUILD_VENV/bin/cmake" --build build/cpp-tests -j "$JOBS"
    "$BUILD_VENV/bin/ctest" --test-dir build/cpp-tests --output-on-failure --no-tests=error -j "$JOBS"
}

# build_wheel OUTDIR BUILD_DIR [scikit-build-core settings...]
build_wheel() {
    local outdir="$1" build_dir="$2"
    shift 2
    rm -rf "$outdir"
    local settings=(-C "build-dir=$build_dir")
    local s
    for s in "$@"; do settings+=(-C "$s"); done
    # No isolation: the build venv already holds the backend, so nothing is fetched per build.
    local log="build/$outdir.log"
    mkdir -p build
    "$BPY" -m build --wheel --no-isolation --outdir "$outdir" "${settings[@]}" . >"$log" 2>&1 ||
        { tail -n 60 "$log"; die "wheel build failed (full log: $log)"; }
    tail -n 1 "$log"
}

# check_wheel WHEEL release|test
check_wheel() {
    "$BPY" - "$1" "$2" <<'EOF'
import os, re, subprocess, sys, tempfile, zipfile

path, kind = sys.argv[1], sys.argv[2]
name = os.path.basename(path)
problems = []
if not re.fullmatch(r"vorlane-[^-]+-cp311-abi3-(linux|manylinux)[^-]*\.whl", name):
    problems.append(f"file name {name} is not tagged cp311-abi3")
# Native files with the symbols each must export and the RPATH that finds the platform library.
NATIVE = {
    "vorlane.abi3.so": (["PyInit_vorlane"], "$ORIGIN/vorlane.libs"),
    "vorlane_tools/_native.abi3.so": (["PyInit__native"], "$ORIGIN/../vorlane.libs"),
    "vorlane.libs/libvorlane_platform.so": (["vorlane_pool_run", "vorlane_pool_size"], None),
}
TOOLS_FILES = ["vorlane_tools/__init__.py", "vorlane_tools/_labelling.py",
               "vorlane_tools/_native.pyi", "vorlane_tools/py.typed"]
with zipfile.ZipFile(path) as wheel:
    names = wheel.namelist()
    meta = [n for n in names if n.split("/")[0].endswith(".dist-info")]
    payload = sorted(set(names) - set(meta))
    outside_tools = sorted(n for n in payload if not n.startswith("vorlane_tools/"))
    expected_outside = ["vorlane.abi3.so", "vorlane.libs/libvorlane_platform.so", "vorlane.pyi"]
    if outside_tools != expected_outside:
        problems.append(f"payload outside vorlane_tools is {outside_tools}, "
                        f"expected exactly {expected_outside}")
    missing = [n for n in TOOLS_FILES + list(NATIVE) if n not in payload]
    if missing:
        problems.append(f"payload lacks {missing}")
    # Other modules of the package are Python sources and stubs; nothing else may slip in.
    stray = [n for n in payload if n.startswith("vorlane_tools/") and n not in NATIVE
             and not re.fullmatch(r"vorlane_tools/[\w/]+\.pyi?|vorlane_tools/py\.typed", n)]
    if stray:
        problems.append(f"unexpected files in vorlane_tools: {stray}")
    wheel_file = next((n for n in meta if n.endswith("/WHEEL")), None)
    tags = []
    if wheel_file:
        tags = [l.split(":", 1)[1].strip() for l in wheel.read(wheel_file).decode().splitlines()
                if l.startswith("Tag:")]
    if len(tags) != 1 or not tags[0].startswith("cp311-abi3-"):
        problems.append(f"WHEEL tags are {tags}, expected one cp311-abi3 tag")
    binaries = {n: wheel.read(n) for n in NATIVE if n in names}

for member, (symbols, rpath) in NATIVE.items():
    so = binaries.get(member)
    if not so:
        continue
    if member.endswith(".abi3.so"):
        # The fault-injection hooks read this variable; they belong in the test wheel only.
        hooked = b"VORLANE_INJECT_FAULT" in so
        if kind == "release" and hooked:
            problems.append(f"release wheel's {member} contains the test hooks")
        if kind == "test" and not hooked:
            problems.append(f"test wheel's {member} lacks the test hooks")
    with tempfile.NamedTemporaryFile(suffix=".so") as f:
        f.write(so)
        f.flush()
        out = subprocess.run(["nm", "-D", "--defined-only", f.name], capture_output=True,
                             text=True, check=True).stdout
        dynamic = subprocess.run(["readelf", "-d", f.name], capture_output=True, text=True,
                                 check=True).stdout
    exported = sorted(l.split()[-1] for l in out.splitlines() if len(l.split()) == 3)
    if member.startswith("vorlane.libs/"):
        # Only the C interface: no C++ symbol may cross between the modules and the library.
        if exported != symbols:
            problems.append(f"{member} exports {exported}, expected exactly {symbols}")
    else:
        for symbol in symbols:
            if symbol not in exported:
                problems.append(f"{symbol} is not exported by {member}")
    if rpath is not None and f"[{rpath}]" not in dynamic:
        problems.append(f"{member} lacks the RPATH {rpath}")
    print(f"{name}: {member}: {len(so)} bytes, exports {', '.join(exported)}")

for p in problems:
    print("wheel check:", p, file=sys.stderr)
sys.exit(1 if problems else 0)
EOF
    "$BUILD_VENV/bin/abi3audit" --strict --verbose "$1"
}

phase_release_wheel() {
    build_wheel dist build/wheel-release cmake.define.VORLANE_TEST_HOOKS=OFF
    check_wheel "$(only_wheel dist)" release
}

phase_test_wheel() {
    build_wheel dist-test build/wheel-test cmake.define.VORLANE_TEST_HOOKS=ON cmake.define.VORLANE_WERROR=ON
    check_wheel "$(only_wheel dist-test)" test
}

# install_test_env VENV PYVERSION NUMPY_SPEC EXTRA...
install_test_env() {
    local venv="$1" version="$2" numpy_spec="$3"
    shift 3
    ensure_venv "$venv" "$version"
    local text reqs
    text=$(extra_requirements "$@")
    mapfile -t reqs <<<"$text"
    # -U on numpy alone so that each run tests the newest release of its major version.
    pip_install "$venv/bin/python" -q -U "$numpy_spec"
    pip_install "$venv/bin/python" -q "$numpy_spec" "${reqs[@]}"
    # The path, not the name, and forced: a cached wheel of the same version must not win.
    pip_install "$venv/bin/python" -q --force-reinstall --no-deps "$(only_wheel dist-test)"
}

# run_pytest VENV [pytest args...]; runs from the repo root, so nothing there may shadow the
# installed module.
run_pytest() {
    local venv="$1"
    shift
    local shadow
    shadow=$(compgen -G "$ROOT/vorlane*" || true)
    [[ -z "$shadow" ]] || die "$shadow in the repo root would shadow the installed module"
    local where
    where=$("$venv/bin/python" -c 'import vorlane, numpy; print(vorlane.__file__, "numpy", numpy.__version__)')
    echo "testing $where"
    [[ "$where" == "$venv"/* ]] || die "vorlane was not imported from $venv"
    local rc=0
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" || rc=$?
    [[ $rc -ne 5 ]] || die "pytest collected no tests"
    [[ $rc -eq 0 ]] || die "pytest failed with exit code $rc"
}

phase_numpy1() {
    install_test_env "$ROOT/.venv-np1" 3.11 "numpy==1.26.*" test
    # The example and command tests need the plot and batch extras, which only the NumPy 2 run
    # installs.
    run_pytest "$ROOT/.venv-np1" tests/python -m "not examples and not cli"
}

phase_numpy2() {
    install_test_env "$ROOT/.venv-np2" 3.11 "numpy>=2,<3" test plot batch
    run_pytest "$ROOT/.venv-np2" tests/python
    # The README's quickstart, with the numbers it prints held to what its path should give.
    local out lines found
    out=$("$ROOT/.venv-np2/bin/python" examples/quickstart.py)
    echo "$out"
    lines=$(awk '/^hatch lines:/ {print $3}' <<<"$out")
    found=$(awk '/^scanlines found:/ {print $3}' <<<"$out")
    [[ -n "$lines" && -n "$found" && $((found * 10)) -ge $((lines * 9)) && $found -le $lines ]] ||
        die "the quickstart found ${found:-no} scanlines in ${lines:-?} hatch lines"
}

phase_py313() {
    local venv="$ROOT/.venv-py313"
    install_test_env "$venv" 3.13 "numpy>=2,<3" test
    # From elsewhere, so that only the installed wheel can answer the import.
    mkdir -p build/smoke
    (cd build/smoke && "$venv/bin/python" - "$ROOT/examples" <<'EOF'
import sys
sys.path.insert(0, sys.argv[1])
import numpy as np
import vorlane
from scan_paths import zigzag_path

x, y = zigzag_path(lines=40, samples_per_line=300)
ids = vorlane.annotate_scanlines(x, y)
found = len(np.unique(ids[ids > 0]))
print(f"python {sys.version.split()[0]}: {vorlane.__file__}: {found} scanlines in {len(x)} samples")
assert ids.dtype == np.int32 and len(ids) == len(x) and found > 30, found
EOF
    )
    local files=() f
    for f in "${SMOKE_TESTS[@]}"; do
        [[ -f "tests/python/$f" ]] && files+=("tests/python/$f")
    done
    [[ ${#files[@]} -gt 0 ]] || die "none of the smoke test files exist: ${SMOKE_TESTS[*]}"
    run_pytest "$venv" "${files[@]}"
}

phase_sanitize() {
    bash "$ROOT/scripts/sanitize.sh"
}

phase_fuzz() {
    if [[ ! -f tests/fuzz/run_fuzzers.sh ]]; then
        echo "no fuzz targets yet (tests/fuzz/run_fuzzers.sh), skipped"
        return 0
    fi
    FUZZ_SECONDS="${FUZZ_SECONDS:-60}" bash tests/fuzz/run_fuzzers.sh
}

# The documented benchmark command must keep working; its quick form times nothing it asserts.
phase_bench() {
    bash "$ROOT/scripts/bench.sh" --quick
}

# The documentation site, strict so that a broken link or API reference fails; pinned, so that
# a new release of the tools cannot break the build on its own.
DOCS_REQUIREMENTS=(mkdocs==1.6.1 mkdocs-autorefs==1.4.5 mkdocstrings==1.0.8
    mkdocstrings-python==2.0.11 griffelib==2.4.1)

phase_docs() {
    local venv="$ROOT/.venv-docs"
    ensure_venv "$venv" 3.11
    pip_install "$venv/bin/python" -q "${DOCS_REQUIREMENTS[@]}"
    "$venv/bin/mkdocs" build --strict --clean -f "$ROOT/mkdocs.yml"
}

# ---- driver ---------------------------------------------------------------------------------

selected=("$@")
[[ ${#selected[@]} -gt 0 ]] || selected=("${PHASES[@]}")
for p in "${selected[@]}"; do
    [[ " ${PHASES[*]} " == *" $p "* ]] || die "unknown phase '$p' (phases: ${PHASES[*]})"
done

# The build venv's cmake and ninja serve every build, whatever the machine has.
export PATH="$BUILD_VENV/bin:$PATH"

# A failed phase does not stop the run: later phases that do not depend on it still report.
declare -A NEEDS=([cpp]=build-venv [release-wheel]=build-venv [test-wheel]=build-venv
    [numpy1]=test-wheel [numpy2]=test-wheel [py313]=test-wheel [sanitize]=build-venv)
declare -A FAILED=()
START=$SECONDS
SUMMARY=()
for p in "${selected[@]}"; do
    t0=$SECONDS
    echo
    echo "==== [$p] $(date +%H:%M:%S) ===================================================="
    need="${NEEDS[$p]:-}"
    if [[ -n "$need" && -n "${FAILED[$need]:-}" ]]; then
        echo "---- [$p] skipped: $need failed"
        FAILED[$p]=skipped
        SUMMARY+=("$p:skipped")
        continue
    fi
    set +e
    (
        set -e
        "phase_${p//-/_}"
    )
    rc=$?
    set -e
    if [[ $rc -eq 0 ]]; then
        echo "---- [$p] done in $((SECONDS - t0))s"
        SUMMARY+=("$p:$((SECONDS - t0))s")
    else
        echo "---- [$p] FAILED (exit $rc) after $((SECONDS - t0))s"
        FAILED[$p]=failed
        SUMMARY+=("$p:FAILED")
    fi
done
echo
if [[ ${#FAILED[@]} -gt 0 ]]; then
    echo "test.sh: FAILED: ${!FAILED[*]}; $((SECONDS - START))s in all (${SUMMARY[*]})"
    exit 1
fi
echo "test.sh: all ${#selected[@]} phases passed in $((SECONDS - START))s (${SUMMARY[*]})"
