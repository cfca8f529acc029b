#!/usr/bin/env bash
# The benchmark in one command, from a bare machine: Google Benchmark from Debian, a venv with
# NumPy and matplotlib, a Release build of the module and the stage benchmark, then the run.
#   bash scripts/bench.sh                 n up to 1e7
#   bash scripts/bench.sh --max-n 1e8     also 1e8 (needs about 8 GB free)
#   bash scripts/bench.sh --quick         n up to 1e6, a minute or two once built; then the
#                                         robust labelling's quick form, half a minute more
#   bash scripts/bench.sh --robust [--quick] [--max-n 1e8]
#                                         only the robust labelling's speed and memory
#   bash scripts/bench.sh --wheel WHEEL   the same figures for an installed wheel instead
#   bash scripts/bench.sh --wheel WHEEL --paired [--pairs 5]
#                                         the wheel against the native build, paired
# Other arguments go to bench/run_bench.py (--help lists them).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

BENCH_VENV="$ROOT/.venv-bench"
WHEEL_VENV="$ROOT/.venv-bench-wheel"
BUILD_DIR="$ROOT/build/bench"

wheel="" paired=0 robust=0 quick=0 rest=()
while [[ $# -gt 0 ]]; do
    case "$1" in
        --wheel) wheel="$(cd "$(dirname "$2")" && pwd)/$(basename "$2")"; shift 2 ;;
        --paired) paired=1; shift ;;
        --robust) robust=1; shift ;;
        --quick) quick=1; rest+=("$1"); shift ;;
        *) rest+=("$1"); shift ;;
    esac
done
[[ $paired -eq 0 || -n "$wheel" ]] || die "--paired needs --wheel WHEEL"
[[ $robust -eq 0 || -z "$wheel" ]] || die "--robust measures the native build, not a wheel"

apt_install_missing libbenchmark-dev

ensure_venv "$BENCH_VENV" 3.11
pip_install "$BENCH_VENV/bin/python" -q "numpy>=1.23,<3" "$(extra_requirements plot)" "cmake>=3.26" ninja

"$BENCH_VENV/bin/cmake" -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DVORLANE_BUILD_MODULE=ON -DVORLANE_BUILD_BENCH=ON \
    -DPython_EXECUTABLE="$BENCH_VENV/bin/python" >/dev/null
"$BENCH_VENV/bin/cmake" --build "$BUILD_DIR" -j "$JOBS"

# The bench venv imports the native build through a .pth file rather than PYTHONPATH, so that
# another interpreter started by the benchmark (a wheel's venv) never sees that build.
site=$("$BENCH_VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
echo "$BUILD_DIR" >"$site/vorlane-native-build.pth"
unset PYTHONPATH

if [[ $robust -eq 1 ]]; then
    exec "$BENCH_VENV/bin/python" bench/robust_speed.py "${rest[@]}"
fi
if [[ -z "$wheel" ]]; then
    # The quick form keeps both benchmarks working; a full run of the robust one is asked for.
    if [[ $quick -eq 1 ]]; then
        "$BENCH_VENV/bin/python" bench/run_bench.py "${rest[@]}"
        exec "$BENCH_VENV/bin/python" bench/robust_speed.py --quick
    fi
    exec "$BENCH_VENV/bin/python" bench/run_bench.py "${rest[@]}"
fi
ensure_venv "$WHEEL_VENV" 3.11
pip_install "$WHEEL_VENV/bin/python" -q "numpy>=1.23,<3"
pip_install "$WHEEL_VENV/bin/python" -q --force-reinstall --no-deps "$wheel"
extra=(--python "$WHEEL_VENV/bin/python")
[[ $paired -eq 0 ]] || extra+=(--vs "$BENCH_VENV/bin/python")
exec "$BENCH_VENV/bin/python" bench/run_bench.py "${extra[@]}" "${rest[@]}"
