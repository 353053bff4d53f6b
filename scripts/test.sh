#!/usr/bin/env bash
# Builds everything and runs every test: the core's GoogleTest suite and the
# extension's binding-frame tests on an embedded interpreter (plain, and by
# clang under AddressSanitizer and UBSan with HDF5 and libdeflate sanitized
# too), the reader on the fuzz corpus and the damaged and hostile files, then
# pytest against the installed abi3 wheel under each Python 3.12+ release the
# machine has (3.12 and 3.13 where both exist), the check of memory kept per
# read, a smoke run of the Python benchmark and short fuzzing runs (by bytes
# and by HDF5 structures).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$ROOT/scripts/fuzz.sh"
cd "$ROOT"

# Every package it needs is installed (or named for root) before the build.
ensure_system build tests clang python
ensure_deps
# The binding-frame tests embed this interpreter.
PYTHON_TESTS=(-DQR_BUILD_PYTHON_TESTS=ON "-DPython_EXECUTABLE=$PY_BUILD")
# One HDF5 build serves the plain build and the wheel; the sanitizer build
# has its own.
DEPS=("-DQR_DEPS_PREFIX=$DEPS_PREFIX")
# Warnings fail the project's own CI builds only: a user's newer compiler
# may invent warnings, and that must not stop their build.
WERROR=OFF
[ "${CI:-}" = "true" ] && WERROR=ON

log "core: configure, build and run the GoogleTest suite"
# The benchmarks are only compiled here, so they keep building.
cmake -S . -B build/core -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DQR_WERROR=$WERROR" -DQR_BUILD_BENCH=ON "${PYTHON_TESTS[@]}" "${DEPS[@]}" >/dev/null
quietly core-build cmake --build build/core -j "$JOBS"
quietly core-ctest ctest --test-dir build/core --output-on-failure -j "$JOBS" --no-tests=error

log "core: the same suite under AddressSanitizer and UBSan, HDF5 and libdeflate included"
configure_sanitized "-DQR_WERROR=$WERROR" "${PYTHON_TESTS[@]}"
quietly asan-build cmake --build build/asan -j "$JOBS"
quietly asan-ctest ctest --test-dir build/asan --output-on-failure -j "$JOBS" --no-tests=error

log "the reader under the sanitizers on the fuzz seeds and corpus and the damaged, hostile and forged-structure files"
fuzz_replay core/fuzz/seeds core/fuzz/corpus python/tests/data/damaged python/tests/data/hostile \
  python/tests/data/structure

make_venv "$ROOT/.venv" "$PY_BUILD"
WHEEL="$(build_wheel "$ROOT/.venv" "$WERROR")"
log "built $WHEEL"

# The one abi3 wheel, installed and tested under every 3.12+ release found.
mapfile -t interpreters < <(python_test_set)
tested=()
for py in "${interpreters[@]}"; do
  minor="$(python_minor "$py")"
  venv="$ROOT/.venv"
  [ "$py" = "$PY_BUILD" ] || venv="$ROOT/.venv3$minor"
  make_venv "$venv" "$py"
  quietly "install-${venv##*/}" "$venv/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$WHEEL"
  log "pytest under $("$venv/bin/python" --version)"
  # Run from the tests folder so the installed package, not the source tree, is imported.
  (cd "$ROOT/python/tests" && "$venv/bin/python" -m pytest -q -p no:cacheprovider .)
  tested+=("$("$venv/bin/python" -c 'import platform; print(platform.python_version())')")
done
if [ "${#tested[@]}" -eq 0 ]; then
  echo "error: no Python 3.12 or later to test the wheel under" >&2
  exit 1
fi

log "memory kept per read (short run; bench/read_leak.py reads 20,000 times by default)"
"$ROOT/.venv/bin/python" "$ROOT/bench/read_leak.py" --reads 3000 --warmup 1000

# Only a smoke run on a small trace: speed is measured by bench/run.sh.
log "the Python benchmark on 2,000 points"
"$ROOT/.venv/bin/python" "$ROOT/bench/python_bench.py" --n 2000

# Both fuzzers, a minute each, and both run whatever the first finds.
log "fuzzing the reader by bytes, then by structures (short runs; bash scripts/fuzz.sh fuzzes for longer)"
fuzz_failed=0
quietly fuzz-bytes fuzz_run 60 || fuzz_failed=1
quietly fuzz-structure fuzz_run 60 structure || fuzz_failed=1
[ "$fuzz_failed" -eq 0 ] || exit 1

log "all tests passed; the abi3 wheel was tested under Python ${tested[*]}"
