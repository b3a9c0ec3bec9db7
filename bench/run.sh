#!/usr/bin/env bash
# Runs the merge benchmark: builds a Release k_graft in build-bench/ (unless --k-graft PATH names
# one), then times it against cat, awk and Python on generated model files, and its count alone
# against wc -l (bench/bench.py).
# Every other option goes to bench.py; `bench/run.sh --help` lists them (--k-graft-before PATH
# times an earlier build too; --size-mib 1024 --case normal is the 1 GiB run). Needs bash, cmake,
# g++, python3, awk and /usr/bin/time (Debian package `time`).
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"

binary=""
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --k-graft) binary="$2"; shift 2 ;;
    --k-graft=*) binary="${1#*=}"; shift ;;
    *) args+=("$1"); shift ;;
  esac
done

for tool in python3 awk; do
  command -v "$tool" >/dev/null || { echo "run.sh: $tool is missing" >&2; exit 1; }
done
if [ ! -x /usr/bin/time ]; then
  echo "run.sh: /usr/bin/time is missing: install it with 'apt-get install time'" >&2
  exit 1
fi

if [ -z "$binary" ]; then
  build="$repo/build-bench"
  echo "== Building a Release k_graft in $build =="
  config=(-DCMAKE_BUILD_TYPE=Release)
  # The tests need GoogleTest; the benchmark does not.
  [ -f /usr/include/gtest/gtest.h ] || config+=(-DKG_BUILD_TESTS=OFF)
  log="$(mktemp)"
  if ! { cmake -S "$repo" -B "$build" "${config[@]}" &&
    cmake --build "$build" --target k_graft kg_scan_kernels -j "$(nproc 2>/dev/null || echo 2)"; } >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    echo "run.sh: the build failed" >&2
    exit 1
  fi
  rm -f "$log"
  binary="$build/k_graft"
fi

exec python3 "$repo/bench/bench.py" --k-graft "$binary" ${args[@]+"${args[@]}"}
