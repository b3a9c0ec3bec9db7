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
