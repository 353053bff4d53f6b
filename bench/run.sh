#!/usr/bin/env bash
# Runs the benchmarks. The C++ ones on a Release build of the core: assembly
# of 1,000,000 fixes and reports, writing and reading a 1,000,000-point
# trace. Then the Python one on the wheel, built and installed in .venv: the
# SDK beside h5py + numpy on the same trace, and the value objects.
#   bash bench/run.sh [--cpp-only | --python-only] [python_bench.py options, e.g. --n 100000]
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
cd "$ROOT"

run_cpp=1
run_python=1
case "${1:-}" in
  --cpp-only) run_python=0; shift ;;
  --python-only) run_cpp=0; shift ;;
esac

ensure_system_packages
ensure_deps
if [ "$run_cpp" = 1 ]; then
  cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQR_BUILD_TESTS=OFF -DQR_BUILD_BENCH=ON \
    "-DQR_DEPS_PREFIX=$DEPS_PREFIX" >/dev/null
  cmake --build build/bench -j "$JOBS"
  for bench in assembly_bench writer_bench reader_bench; do
    log "$bench"
    "build/bench/bench/$bench"
  done
fi
if [ "$run_python" = 1 ]; then
  PY_BUILD="$(python_build)"
  ensure_python_headers "$PY_BUILD"
  make_venv "$ROOT/.venv" "$PY_BUILD"
  WHEEL="$(build_wheel "$ROOT/.venv")"
  "$ROOT/.venv/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$WHEEL"
  log "python_bench.py $*"
  "$ROOT/.venv/bin/python" bench/python_bench.py "$@"
fi
