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
