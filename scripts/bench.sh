#!/usr/bin/env bash
# The benchmark in one command, from a bare machine: Google Benchmark from Debian, a venv with
# NumPy and matplotlib, a Release build of the module and the stage benchmark, then the run.
#   bash scripts/bench.sh                 n up to 1e7
#   bash scripts/bench.sh --max-n 1e8     also 1e8 (needs about 8 GB free)
#   bash scripts/bench.sh --quick         n up to 1e6, under a minute
# Any arguments go to bench/run_bench.py (--help lists them).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

BENCH_VENV="$ROOT/.venv-bench"
BUILD_DIR="$ROOT/build/bench"

apt_install_missing libbenchmark-dev

ensure_venv "$BENCH_VENV" 3.11
pip_install "$BENCH_VENV/bin/python" -q "numpy>=1.23,<3" "$(extra_requirements plot)" "cmake>=3.26" ninja

"$BENCH_VENV/bin/cmake" -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DVORLANE_BUILD_MODULE=ON -DVORLANE_BUILD_BENCH=ON \
    -DPython_EXECUTABLE="$BENCH_VENV/bin/python" >/dev/null
"$BENCH_VENV/bin/cmake" --build "$BUILD_DIR" -j "$JOBS"

PYTHONPATH="$BUILD_DIR" exec "$BENCH_VENV/bin/python" bench/run_bench.py "$@"
