#!/usr/bin/env bash
# Builds k_graft and runs every test suite: the normal build's unit and end-to-end tests, then the
# further stages below. Run from anywhere; exits non-zero when any stage fails.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

echo "== Build and test (RelWithDebInfo) =="
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== Build and test with AddressSanitizer and UndefinedBehaviorSanitizer =="
# The tool ends through _exit, so leak checking would only report the process's live memory.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=0:strict_string_checks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKG_SANITIZE=ON
cmake --build build-asan -j "$jobs"
ctest --test-dir build-asan --output-on-failure -j "$jobs"

echo "== Fuzz the line reader, the argument split and the merge (libFuzzer, clang) =="
if command -v clang++ >/dev/null; then
  fuzz_seconds="${KG_FUZZ_SECONDS:-60}"
  cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DKG_BUILD_TESTS=OFF -DKG_BUILD_FUZZERS=ON
  cmake --build build-fuzz -j "$jobs"
  fuzz_passed=0
  for harness in line_reader next_argument merge; do
    # New inputs go to a scratch corpus; the seeds in fuzz/corpus/ are only read.
    scratch="build-fuzz/corpus/$harness"
    mkdir -p "$scratch" build-fuzz/artifacts
    log="build-fuzz/$harness.log"
    if "build-fuzz/fuzz/${harness}_fuzzer" -max_total_time="$fuzz_seconds" -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="build-fuzz/artifacts/$harness-" \
      "$scratch" "fuzz/corpus/$harness" >"$log" 2>&1; then
      echo "$harness: $(grep -E '^Done [0-9]+ runs' "$log")"
      fuzz_passed=$((fuzz_passed + 1))
    else
      tail -n 60 "$log"
      echo "$harness: FAILED; the input is under build-fuzz/artifacts/"
      echo "fuzzers: $fuzz_passed passed, 1 failed"
      exit 1
    fi
  done
  echo "fuzzers: $fuzz_passed passed, 0 failed"
else
  echo "clang++ not found: the fuzzing stage is skipped (apt-get install clang libclang-rt-14-dev)"
fi
