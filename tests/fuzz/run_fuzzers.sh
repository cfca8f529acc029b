#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan, a build folder of their own) and runs each
# for a bounded time from a fixed seed on the checked-in corpus. New inputs go to a scratch
# folder under the build, so a run never changes the repository. Any crash, sanitizer report,
# timeout or memory blow-up fails the run and leaves the input under build/fuzz/artifacts.
#
#   bash tests/fuzz/run_fuzzers.sh             build, then fuzz every target
#   bash tests/fuzz/run_fuzzers.sh FILE...     build, then run fuzz_annotate on the given inputs
#
# FUZZ_SECONDS  time per target (default 60)
# FUZZ_SEED     libFuzzer's seed (default 1); with FUZZ_RUNS=N instead of a time limit, a run
#               is repeated exactly
# FUZZ_CXX      the clang to build with (default clang++-14, else clang++)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/common.sh"
cd "$ROOT"

TARGETS=(fuzz_annotate fuzz_robust)
BUILD="$ROOT/build/fuzz"
CORPUS="$ROOT/tests/fuzz/corpus"
FUZZ_SECONDS="${FUZZ_SECONDS:-60}"
FUZZ_SEED="${FUZZ_SEED:-1}"
FUZZ_RUNS="${FUZZ_RUNS:-}"

CMAKE=cmake
[[ -x "$ROOT/.venv-build/bin/cmake" ]] && CMAKE="$ROOT/.venv-build/bin/cmake"
CXX_FOR_FUZZ="${FUZZ_CXX:-}"
if [[ -z "$CXX_FOR_FUZZ" ]]; then
    CXX_FOR_FUZZ=$(command -v clang++-14 || command -v clang++ || true)
fi
[[ -n "$CXX_FOR_FUZZ" ]] || die "no clang++ found (the fuzz targets need clang and libclang-rt)"

T0=$SECONDS
echo "-- fuzz: build with $CXX_FOR_FUZZ in $BUILD"
# The test hooks let VORLANE_TALLY_FILE count which strategy answered each input.
"$CMAKE" -S . -B "$BUILD" -DCMAKE_CXX_COMPILER="$CXX_FOR_FUZZ" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVORLANE_BUILD_FUZZERS=ON -DVORLANE_BUILD_MODULE=OFF -DVORLANE_BUILD_TESTS=OFF \
    -DVORLANE_TEST_HOOKS=ON >/dev/null
"$CMAKE" --build "$BUILD" -j "$JOBS" --target "${TARGETS[@]}"
echo "-- fuzz: built in $((SECONDS - T0))s"

export ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:detect_leaks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
# The chunked stages take their chunk count as an argument; the pool's own size only decides
# how many threads run them. Three keep several threads busy on any machine.
export RAYON_NUM_THREADS=3

binary() { echo "$BUILD/tests/fuzz/$1"; }

if [[ $# -gt 0 ]]; then
    exec "$(binary fuzz_annotate)" "$@"
fi

failed=()
for target in "${TARGETS[@]}"; do
    work="$BUILD/new-inputs/$target"
    artifacts="$BUILD/artifacts/$target"
    log="$BUILD/$target.log"
    rm -rf "$work" "$artifacts"
    mkdir -p "$work" "$artifacts"
    limit=(-max_total_time="$FUZZ_SECONDS")
    [[ -z "$FUZZ_RUNS" ]] || limit=(-runs="$FUZZ_RUNS")
    echo "-- fuzz: $target, seed $FUZZ_SEED, ${limit[*]}, corpus $(find "$CORPUS" -type f | wc -l) inputs"
    rc=0
    # New inputs are written to the first folder only; the checked-in corpus is read.
    "$(binary "$target")" -seed="$FUZZ_SEED" "${limit[@]}" -max_len=4096 -timeout=30 \
        -rss_limit_mb=2560 -print_final_stats=1 -artifact_prefix="$artifacts/" \
        "$work" "$CORPUS" >"$log" 2>&1 || rc=$?
    executed=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
    found=$(find "$work" -type f | wc -l)
    echo "$target: ${executed:-?} executions, $found new inputs (seed $FUZZ_SEED, log $log)"
    if [[ $rc -ne 0 ]]; then
        grep -E -A 30 '^(==[0-9]+==ERROR|fuzz_annotate:|.*runtime error:)' "$log" | head -n 60 || tail -n 40 "$log"
        echo "$target FAILED (exit $rc); inputs: $(ls "$artifacts" | tr '\n' ' ')"
        echo "reproduce: bash tests/fuzz/run_fuzzers.sh $artifacts/<input>"
        failed+=("$target")
    fi
done
echo "-- fuzz: done in $((SECONDS - T0))s"
[[ ${#failed[@]} -eq 0 ]] || die "fuzz targets failed: ${failed[*]}"
