#!/usr/bin/env bash
# Builds the core in Release with the benchmarks and runs them: assembly of
# 1,000,000 fixes and reports, writing and reading a 1,000,000-point trace.
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
cd "$ROOT"

ensure_system_packages
ensure_deps
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQR_BUILD_TESTS=OFF -DQR_BUILD_BENCH=ON \
  "-DQR_DEPS_PREFIX=$DEPS_PREFIX" >/dev/null
cmake --build build/bench -j "$JOBS"
for bench in assembly_bench writer_bench reader_bench; do
  log "$bench"
  "build/bench/bench/$bench"
done
