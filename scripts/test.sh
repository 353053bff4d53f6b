#!/usr/bin/env bash
# Builds everything and runs every test: the core's GoogleTest suite and the
# extension's binding-frame tests on an embedded interpreter (plain and under
# AddressSanitizer), then pytest against the installed abi3 wheel under
# Python 3.12 and 3.13.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

ensure_system_packages
ensure_deps
PY312="$(python312)"
ensure_python_headers "$PY312"
# The binding-frame tests embed this interpreter.
PYTHON_TESTS=(-DQR_BUILD_PYTHON_TESTS=ON "-DPython_EXECUTABLE=$PY312")
# One HDF5 build serves the plain and the sanitizer builds and the wheel.
DEPS=("-DQR_DEPS_PREFIX=$DEPS_PREFIX")

log "core: configure, build and run the GoogleTest suite"
# The benchmarks are only compiled here, so they keep building.
cmake -S . -B build/core -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQR_WERROR=ON -DQR_BUILD_BENCH=ON "${PYTHON_TESTS[@]}" "${DEPS[@]}" >/dev/null
cmake --build build/core -j "$JOBS"
ctest --test-dir build/core --output-on-failure -j "$JOBS" --no-tests=error

log "core: the same suite under AddressSanitizer and UBSan"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQR_WERROR=ON -DQR_SANITIZE=ON "${PYTHON_TESTS[@]}" "${DEPS[@]}" >/dev/null
cmake --build build/asan -j "$JOBS"
ctest --test-dir build/asan --output-on-failure -j "$JOBS" --no-tests=error

make_venv "$ROOT/.venv" "$PY312"
WHEEL="$(build_wheel "$ROOT/.venv")"
log "built $WHEEL"
"$ROOT/.venv/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$WHEEL"

log "pytest under $("$ROOT/.venv/bin/python" --version)"
# Run from the tests folder so the installed package, not the source tree, is imported.
(cd "$ROOT/python/tests" && "$ROOT/.venv/bin/python" -m pytest -q -p no:cacheprovider .)

PY313="$(python313)"
if [ -n "$PY313" ]; then
  make_venv "$ROOT/.venv313" "$PY313"
  "$ROOT/.venv313/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$WHEEL"
  log "the same wheel under $("$ROOT/.venv313/bin/python" --version)"
  (cd "$ROOT/python/tests" && "$ROOT/.venv313/bin/python" -m pytest -q -p no:cacheprovider .)
elif [ "${CI:-}" = "true" ]; then
  echo "error: CI needs Python 3.13 to check the abi3 wheel" >&2
  exit 1
else
  log "no Python 3.13 found: skipped the 3.13 run"
fi
log "all tests passed"
