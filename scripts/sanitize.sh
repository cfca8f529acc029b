#!/usr/bin/env bash
# AddressSanitizer + UndefinedBehaviorSanitizer run: the C++ tests, the whole pytest suite
# against the sanitized module, and a leak check of the module's own allocations.
#
# Leaks: the interpreter and NumPy leave hundreds of allocations unfreed at exit, and every
# stack of the module's allocations runs through the interpreter too, so a suppressions file
# cannot tell the two apart. The pytest run therefore has detect_leaks=0; the C++ tests run
# with leak detection on, and tests/sanitizers/leak_check.py drives the module under
# PYTHONMALLOC=malloc and fails only on leaks whose allocation stack passes through our code.
#
# Tests that cannot work under ASan (it reserves terabytes of address space, so lowering
# RLIMIT_AS breaks it) skip themselves when VORLANE_SANITIZED=1, which this script sets.
#
#   bash scripts/sanitize.sh               build, then the steps cpp, pytest and leaks
#   bash scripts/sanitize.sh pytest        build, then only the named steps
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

BUILD="$ROOT/build/asan"
VENV="${VORLANE_ASAN_VENV:-$ROOT/.venv-asan}"
CMAKE=cmake
[[ -x "$ROOT/.venv-build/bin/cmake" ]] && CMAKE="$ROOT/.venv-build/bin/cmake"
CTEST="$(dirname "$(command -v "$CMAKE")")/ctest"

SUPPRESSIONS="$ROOT/tests/sanitizers/lsan.supp"
STEPS=(cpp pytest leaks)
steps=("$@")
[[ ${#steps[@]} -gt 0 ]] || steps=("${STEPS[@]}")
for s in "${steps[@]}"; do
    [[ " ${STEPS[*]} " == *" $s "* ]] || die "unknown step '$s' (steps: ${STEPS[*]})"
done

step() { echo "-- sanitize: $* ($((SECONDS - T0))s)"; }
T0=$SECONDS

step "venv $VENV"
ensure_venv "$VENV" 3.11
reqs_text=$(extra_requirements test)
mapfile -t reqs <<<"$reqs_text"
pip_install "$VENV/bin/python" -q "numpy>=2,<3" "${reqs[@]}"

step "build"
# initial-exec TLS: LeakSanitizer misreads this glibc's dynamic TLS of a dlopen'ed module and
# crashes at exit when a pool thread has touched a thread_local of ours.
"$CMAKE" -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS=-ftls-model=initial-exec \
    -DVORLANE_BUILD_MODULE=ON -DVORLANE_BUILD_TESTS=ON -DVORLANE_SANITIZE=ON \
    -DVORLANE_TEST_HOOKS=ON -DVORLANE_WERROR=ON -DPython_EXECUTABLE="$VENV/bin/python" >/dev/null
"$CMAKE" --build "$BUILD" -j "$JOBS"

modules=("$BUILD"/vorlane*.so)
[[ ${#modules[@]} -eq 1 && -f "${modules[0]}" ]] || die "expected one module in $BUILD, found: ${modules[*]}"
# The runtime the module was linked against, so that the preloaded one is the same.
ASAN_RT=$(ldd "${modules[0]}" | grep -o '/[^ ]*libasan\.so[^ ]*' | head -n 1 || true)
[[ -n "$ASAN_RT" ]] || ASAN_RT=$(gcc -print-file-name=libasan.so)
[[ -f "$ASAN_RT" ]] || die "ASan runtime not found ($ASAN_RT)"
# The interpreter is no C++ program: unless libstdc++ is loaded when ASan starts, ASan cannot
# find the real __cxa_throw and its interceptor fails at the module's first throw.
CXX_RT=$(ldd "${modules[0]}" | grep -o '/[^ ]*libstdc++\.so[^ ]*' | head -n 1 || true)
[[ -f "$CXX_RT" ]] || die "libstdc++ of the module not found"

COMMON_ASAN=halt_on_error=1:abort_on_error=0:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

# The interpreter is not instrumented, so ASan has to be loaded before anything else.
run_sanitized() {
    env VORLANE_SANITIZED=1 PYTHONPATH="$BUILD" LD_PRELOAD="$ASAN_RT $CXX_RT" "$@"
}

step_cpp() {
    ASAN_OPTIONS="$COMMON_ASAN:detect_leaks=1" LSAN_OPTIONS="suppressions=$SUPPRESSIONS" \
        "$CTEST" --test-dir "$BUILD" --output-on-failure --no-tests=error -j "$JOBS"
}

step_pytest() {
    local where rc=0
    where=$(run_sanitized ASAN_OPTIONS="$COMMON_ASAN:detect_leaks=0" "$VENV/bin/python" -c 'import vorlane; print(vorlane.__file__)')
    [[ "$where" == "$BUILD"/* ]] || die "the sanitized run imported $where instead of the build in $BUILD"
    # allocator_may_return_null lets NumPy turn a refused huge allocation into MemoryError.
    # The command's tests need the batch and plot extras; the command is Python over the same
    # native calls that the other tests drive here.
    run_sanitized ASAN_OPTIONS="$COMMON_ASAN:detect_leaks=0:allocator_may_return_null=1" \
        "$VENV/bin/python" -m pytest tests/python -q -p no:cacheprovider -m "not examples and not cli" || rc=$?
    [[ $rc -ne 5 ]] || die "pytest collected no tests"
    [[ $rc -eq 0 ]] || die "pytest under the sanitizers failed with exit code $rc"
}

step_leaks() {
    # Every fault-injection site of the sources, so that each failure path is checked for
    # leaks: the core's sites raise a fault or, with ":bad_alloc", an allocation failure.
    local core_sites boundary_sites sites log="$BUILD/leak_check.log" rc=0
    core_sites=$(grep -rhoE 'inject_fault\("[^"]+"\)' src | sed -E 's/.*\("([^"]+)"\)/\1 \1:bad_alloc/' | sort -u)
    boundary_sites=$(grep -rhoE 'test_site_selected\("[^"]+"\)' src | sed -E 's/.*\("([^"]+)"\)/\1/' | sort -u)
    sites="${core_sites//$'\n'/ } ${boundary_sites//$'\n'/ }"
    # Full unwinding: the interpreter has no frame pointers, and the fast unwinder would stop
    # in it before reaching our frames.
    run_sanitized PYTHONMALLOC=malloc RAYON_NUM_THREADS=2 VORLANE_FAULT_SITES="$sites" \
        ASAN_OPTIONS="$COMMON_ASAN:detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=64" \
        LSAN_OPTIONS="exitcode=0:suppressions=$SUPPRESSIONS" \
        "$VENV/bin/python" tests/sanitizers/leak_check.py 2>"$log" || rc=$?
    [[ $rc -eq 0 ]] || { tail -n 40 "$log"; die "leak check workload failed with exit code $rc (log: $log)"; }
    "$VENV/bin/python" tests/sanitizers/leak_check.py --report "$log" "$ROOT"
}

# A failed step does not hide the others' findings.
failed=()
for s in "${steps[@]}"; do
    step "$s"
    set +e
    (
        set -e
        "step_$s"
    )
    rc=$?
    set -e
    [[ $rc -eq 0 ]] || failed+=("$s")
done
if [[ ${#failed[@]} -gt 0 ]]; then
    step "FAILED: ${failed[*]}"
    exit 1
fi
step "all passed: ${steps[*]}"
