#!/usr/bin/env bash
# Fuzzes the reader: core/fuzz/read_fuzzer.cpp under libFuzzer, built by clang
# with AddressSanitizer and UBSan over HDF5 and libdeflate from the sanitized
# prefix (scripts/deps.sh), so that faults inside them are findings too. Two
# targets read alike: read_fuzzer mutates bytes; read_fuzzer_structure
# (--structure) edits HDF5's structures (core/fuzz/structure_mutator.cpp):
# an address made to name another real structure, a count, level or rank set
# to an edge value, every checksum the edit breaks made to hold again.
#
#   bash scripts/fuzz.sh [--structure] [SECONDS]  fuzz for SECONDS (default 600) on
#                                          every core (JOBS=N: on N)
#   bash scripts/fuzz.sh [--structure] --replay PATH...  read each file (each file of
#                                          each folder) once
#   bash scripts/fuzz.sh --merge [DIR...]  keep in core/fuzz/corpus, minimised, what DIR
#                                          (default build/fuzz/corpus and
#                                          build/fuzz/corpus-structure) adds to the coverage
#
# Fuzzing starts from the valid files of core/fuzz/seeds, the kept corpus
# core/fuzz/corpus, and the damaged and hostile files of python/tests/data;
# what it finds that covers more goes to build/fuzz/corpus (corpus-structure
# for the structure-aware target). A finding (a
# crash, a sanitizer report, a leak, more memory or time than a read may
# take) is kept in build/fuzz/findings/<run>/ with its report beside it; its
# path is printed and the command exits with 1. test.sh sources this file.
# The seeds by h5py (core/fuzz/make_structure_seeds.py) hold every structure
# kind the reader walks: chunk indexes of every type, dense links and
# attributes, symbol tables.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

FUZZ_DIR="$ROOT/build/fuzz"
FUZZER="$ROOT/build/asan/core/read_fuzzer"
FUZZER_STRUCTURE="$ROOT/build/asan/core/read_fuzzer_structure"
FUZZ_SEEDS=("$ROOT/core/fuzz/seeds" "$ROOT/core/fuzz/corpus" "$ROOT/python/tests/data/damaged"
  "$ROOT/python/tests/data/hostile" "$ROOT/python/tests/data/structure")
# A read of a small file takes milliseconds and a few MB. The reader's budget
# lets HDF5 take about 64 MiB plus a small multiple of the file's size, and
# the columns 1032 times its size: 66 MiB for an input of 64 KiB, the longest
# the fuzzer makes (every seed fits whole). A single block of more than
# 256 MiB, a process past 1.5 GiB (of which the sanitizer's quarantine of
# freed blocks takes up to 256 MiB) or a read of more than 10 s is a finding.
FUZZ_MAX_LEN=65536
FUZZ_LIMITS=(-rss_limit_mb=1536 -malloc_limit_mb=256 -timeout=10)
# UBSan's reports stop the process (no recovery); with the stack they say where.
export UBSAN_OPTIONS="print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

# The sanitizer build, as test.sh configures it, and its fuzzers.
build_fuzzer() {
  configure_sanitized
  cmake --build "$ROOT/build/asan" -j "$JOBS" --target read_fuzzer read_fuzzer_structure
}

# What a failed read printed, in short: the sanitizer's or libFuzzer's error,
# the top of its stack and its summary.
fuzz_report_head() {
  awk '/ERROR|runtime error|^read_fuzzer(_structure)?: / { stack = 1; print; next }
       stack && /^ +#[0-9]+ / { if ($0 !~ / in (fuzzer::|__sanitizer|__asan::)/ && frames++ < 10) print; next }
       stack && frames && /^$/ { stack = 0 }
       /^SUMMARY/ { print }' "$1" | sed 's/^/    /'
}

# fuzz_replay [--structure] PATH...: every file (every file of every folder)
# read once, in a process of its own; each that fails is printed with its
# report.
fuzz_replay() {
  local dir="$FUZZ_DIR/replay" path fuzzer="$FUZZER"
  if [ "${1:-}" = "--structure" ]; then
    fuzzer="$FUZZER_STRUCTURE"
    shift
  fi
  local files=()
  for path in "$@"; do
    if [ -d "$path" ]; then
      mapfile -t -O "${#files[@]}" files < <(find "$path" -maxdepth 1 -type f ! -name '*.md' | sort)
    elif [ -f "$path" ]; then
      files+=("$path")
    else
      echo "error: no file or folder $path" >&2
      return 1
    fi
  done
  rm -rf "$dir" && mkdir -p "$dir"
  local i
  for i in "${!files[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$JOBS" ]; do wait -n || true; done
    ("$fuzzer" "${FUZZ_LIMITS[@]}" "${files[$i]}" >"$dir/$i.log" 2>&1 || echo "${files[$i]}" >"$dir/$i.failed") &
  done
  wait
  local failed=0
  for i in "${!files[@]}"; do
    [ -f "$dir/$i.failed" ] || continue
    failed=$((failed + 1))
    echo "FAILED: ${files[$i]} (report: $dir/$i.log)" >&2
    fuzz_report_head "$dir/$i.log" >&2
  done
  if [ "$failed" -gt 0 ]; then
    echo "error: $failed of ${#files[@]} inputs failed under the sanitizers" >&2
    return 1
  fi
  log "replay: ${#files[@]} inputs read under the sanitizers, none failed"
}

# fuzz_run SECONDS [structure]: fuzzes on every core, by byte mutation or
# (structure) by the structure-aware mutator; findings fail it.
fuzz_run() {
  local seconds="$1" run fuzzer="$FUZZER" corpus="$FUZZ_DIR/corpus" how="bytes"
  run="$FUZZ_DIR/findings/$(date +%Y%m%d-%H%M%S)"
  if [ "${2:-}" = "structure" ]; then
    fuzzer="$FUZZER_STRUCTURE" corpus="$FUZZ_DIR/corpus-structure" run="$run-structure" how="structures"
  fi
  mkdir -p "$run" "$corpus"
  log "fuzzing the reader's $how for $seconds s on $JOBS cores; the run's log is $run.log"
  # Crashes, OOMs and timeouts are written down and the run goes on, so that
  # one run collects them all.
  local seeds=() seed status=0
  for seed in "${FUZZ_SEEDS[@]}"; do [ ! -d "$seed" ] || seeds+=("$seed"); done
  "$fuzzer" -fork="$JOBS" -ignore_crashes=1 -ignore_ooms=1 -ignore_timeouts=1 -max_total_time="$seconds" \
    -max_len="$FUZZ_MAX_LEN" "${FUZZ_LIMITS[@]}" -print_funcs=0 -artifact_prefix="$run/" \
    "$corpus" "${seeds[@]}" 2>&1 | tee "$run.log" | grep --line-buffered -E '^#[0-9]+:' >&2 ||
    status="${PIPESTATUS[0]}"
  local findings=()
  mapfile -t findings < <(find "$run" -maxdepth 1 -type f ! -name '*.txt' | sort)
  if [ "${#findings[@]}" -eq 0 ]; then
    rmdir "$run"
    if [ "$status" -ne 0 ] || ! grep -q '^INFO: fuzzed for' "$run.log"; then
      tail -n 5 "$run.log" >&2
      echo "error: the fuzzer stopped (exit $status); its log is $run.log" >&2
      return 1
    fi
    log "no findings; new inputs are in $corpus (bash scripts/fuzz.sh --merge keeps them)"
    return 0
  fi
  # libFuzzer names a finding by its kind and its SHA-1: a seed that fails is
  # named as well.
  local finding same sums
  sums="$(find "${seeds[@]}" -maxdepth 1 -type f -exec sha1sum {} +)"
  for finding in "${findings[@]}"; do
    # Read again, alone, for the whole report.
    "$fuzzer" "${FUZZ_LIMITS[@]}" "$finding" >"$finding.txt" 2>&1 || true
    same="$(awk -v sum="${finding##*-}" '$1 == sum { print $2; exit }' <<<"$sums")"
    echo "FINDING: $finding${same:+ (the seed $same)} (report: $finding.txt)" >&2
    fuzz_report_head "$finding.txt" >&2
  done
  echo "error: ${#findings[@]} findings in $run; $fuzzer FILE reads one again" >&2
  return 1
}

# fuzz_merge [DIR...]: the kept corpus becomes the smallest set, from itself
# and DIR (by default what both targets found), that covers what they cover
# beyond the other seed folders. Both targets measure the reader alike.
fuzz_merge() {
  local into="$ROOT/core/fuzz/corpus" work="$FUZZ_DIR/merge" seed dir
  if [ "$#" -eq 0 ]; then
    for dir in "$FUZZ_DIR/corpus" "$FUZZ_DIR/corpus-structure"; do [ ! -d "$dir" ] || set -- "$@" "$dir"; done
  fi
  rm -rf "$work" && mkdir -p "$work/corpus" "$work/artifacts" "$into"
  # The seed folders are fuzzed anyway: copies of them start the merge, so
  # that nothing they cover is kept twice, and leave with it.
  for seed in "${FUZZ_SEEDS[@]}"; do
    [ "$seed" = "$into" ] || find "$seed" -maxdepth 1 -type f ! -name '*.md' -exec cp -t "$work/corpus" {} +
  done
  local before
  before="$(find "$work/corpus" -type f | wc -l)"
  find "$work/corpus" -type f -exec mv {} {}.seed \;
  # By the edges they reach, not by how often: a few hundred inputs, not a
  # thousand.
  "$FUZZER" -merge=1 -use_counters=0 -max_len="$FUZZ_MAX_LEN" "${FUZZ_LIMITS[@]}" -artifact_prefix="$work/artifacts/" \
    "$work/corpus" "$into" "$@" >"$work.log" 2>&1 || {
    tail -n 20 "$work.log" >&2
    echo "error: the merge failed; its log is $work.log" >&2
    return 1
  }
  find "$work/corpus" -name '*.seed' -delete
  rm -rf "$into" && mv "$work/corpus" "$into"
  log "merge: core/fuzz/corpus keeps $(find "$into" -type f | wc -l) inputs ($(du -sh "$into" | cut -f1)) beside $before seeds"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  cd "$ROOT"
  ensure_system build tests clang
  build_fuzzer
  kind=bytes
  if [ "${1:-}" = "--structure" ]; then
    kind=structure
    shift
  fi
  case "$kind ${1:-}" in
    "bytes --replay") shift; fuzz_replay "$@" ;;
    "structure --replay") shift; fuzz_replay --structure "$@" ;;
    "bytes --merge") shift; fuzz_merge "$@" ;;
    "bytes " | "bytes "[0-9]*) fuzz_run "${1:-600}" ;;
    "structure " | "structure "[0-9]*) fuzz_run "${1:-600}" structure ;;
    *) echo "usage: bash scripts/fuzz.sh [--structure] [SECONDS] | [--structure] --replay PATH... | --merge [DIR...]" >&2
      exit 2 ;;
  esac
fi
