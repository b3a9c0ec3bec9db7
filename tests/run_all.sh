#!/usr/bin/env bash
# Builds k_graft and runs its test stages: the normal build's unit and end-to-end tests, then the
# further stages below. Run from anywhere; exits non-zero when any stage fails.
#
#   bash tests/run_all.sh --all   first installs what every stage needs (.ci/install_deps.sh --all,
#                                 through sudo unless root), then runs every stage; a stage that
#                                 cannot run fails the run. This is what .ci/run calls.
#   bash tests/run_all.sh         runs the stages this machine has the tools for; the last lines
#                                 name each stage it skipped and why.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

all=no
case "${1:-}" in
  --all) all=yes ;;
  "") ;;
  -h | --help)
    sed -n '5,10s/^# \{0,1\}//p' "$0"
    exit 0
    ;;
  *)
    echo "run_all: unknown option $1 (--all runs every stage)" >&2
    exit 2
    ;;
esac

# Each stage this machine cannot run, with the reason.
skipped=()
skip() {
  if [ "$all" = yes ]; then
    echo "$1: cannot run: $2"
    exit 1
  fi
  echo "$1: skipped: $2"
  skipped+=("$1: $2")
}

# The last lines: how the run ended, then every stage skipped and why.
summary() {
  local status=$? line
  echo
  if [ "$status" -ne 0 ]; then
    echo "== FAILED (exit status $status) =="
  elif [ ${#skipped[@]} -eq 0 ]; then
    echo "== Every stage ran and passed =="
  else
    echo "== Every stage that ran passed, but ${#skipped[@]} did not run =="
  fi
  for line in "${skipped[@]}"; do
    echo "skipped: $line"
  done
  if [ ${#skipped[@]} -gt 0 ]; then
    echo "(bash tests/run_all.sh --all installs what they need and runs every stage)"
  fi
}
trap summary EXIT

if [ "$all" = yes ]; then
  echo "== Install what every stage needs =="
  bash .ci/install_deps.sh --all
fi

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
fuzzer_runtime=libclang_rt.fuzzer-$(uname -m).a
if ! command -v clang++ >/dev/null; then
  skip fuzzers "clang++ not found (.ci/install_deps.sh --all installs clang)"
elif [ ! -f "$(clang++ -print-resource-dir)/lib/linux/$fuzzer_runtime" ]; then
  skip fuzzers "clang's $fuzzer_runtime not found (.ci/install_deps.sh --all installs it)"
else
  fuzz_seconds="${KG_FUZZ_SECONDS:-60}"
  cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DKG_BUILD_TESTS=OFF -DKG_BUILD_FUZZERS=ON
  cmake --build build-fuzz -j "$jobs"
  fuzz_passed=0
  for harness in line_reader next_argument merge scan; do
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
fi

echo "== Cross builds for aarch64 and s390x, tested under qemu-user; the arm64 package =="
# The aarch64 build's unit and end-to-end tests run under qemu-aarch64-static, and its package is
# checked; the s390x build, big-endian, runs the unit tests (the scan kernels' byte order).
cross_passed=0
cross_failed=0
aarch64_built=no
for build in aarch64:all s390x:unit; do
  arch=${build%%:*}
  triplet=$arch-linux-gnu
  if ! command -v "$triplet-g++" >/dev/null; then
    skip "$arch build and tests" "$triplet-g++ not found (.ci/install_deps.sh --cross)"
    continue
  elif ! qemu=$(command -v "qemu-$arch-static" || command -v "qemu-$arch"); then
    skip "$arch build and tests" "qemu-$arch-static not found (.ci/install_deps.sh --cross)"
    continue
  fi
  [ "$arch" != aarch64 ] || qemu_aarch64=$qemu
  start=$(date +%s)
  cmake -S . -B "build-$arch" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$triplet.cmake" \
    -DCMAKE_BUILD_TYPE=Release
  cmake --build "build-$arch" -j "$jobs"
  [ "$arch" != aarch64 ] || aarch64_built=yes
  tests=()
  [ "${build#*:}" = all ] || tests=(-E '^e2e[.]')
  if ctest --test-dir "build-$arch" --output-on-failure -j "$jobs" "${tests[@]}"; then
    cross_passed=$((cross_passed + 1))
  else
    cross_failed=$((cross_failed + 1))
  fi
  echo "$arch: build and tests under $qemu took $(($(date +%s) - start)) s"
done
# The arm64 package from the tested build: an aarch64 executable that prints the usage line under
# the emulator, checked by lintian as the amd64 one is.
if [ "$aarch64_built" = yes ]; then
  rm -f build-aarch64/*.deb
  (cd build-aarch64 && cpack -G DEB)
  deb=$(echo build-aarch64/k-graft_*_arm64.deb)
  unpacked=$(mktemp -d)
  dpkg-deb -x "$deb" "$unpacked"
  header=$(aarch64-linux-gnu-readelf -h "$unpacked/usr/bin/k_graft")
  usage_status=0
  usage_text=$("$qemu_aarch64" -L /usr/aarch64-linux-gnu "$unpacked/usr/bin/k_graft" </dev/null) ||
    usage_status=$?
  usage_line=${usage_text%%$'\n'*}
  usage_line=${usage_line%$'\r'}
  rm -rf "$unpacked"
  if grep -q 'Machine: *AArch64' <<<"$header" && grep -q 'Class: *ELF64' <<<"$header" &&
    [ "$usage_line" = "The program K_Graft must be called with 3 parameters." ] &&
    [ "$usage_status" -eq 0 ] && [ "$(dpkg-deb -f "$deb" Architecture)" = arm64 ]; then
    echo "package: $deb holds an aarch64 executable that prints the usage line"
    cross_passed=$((cross_passed + 1))
  else
    echo "package: $deb is broken (usage line: '$usage_line', exit status $usage_status;" \
      "$(grep -E 'Class|Machine' <<<"$header" | tr -s ' \n' ' '))"
    cross_failed=$((cross_failed + 1))
  fi
  if ! command -v lintian >/dev/null; then
    skip "lintian of the arm64 package" "lintian not found (.ci/install_deps.sh --all installs it)"
  elif lintian --fail-on error,warning "$deb"; then
    echo "lintian: $deb: no errors or warnings"
    cross_passed=$((cross_passed + 1))
  else
    echo "lintian: $deb: errors or warnings above"
    cross_failed=$((cross_failed + 1))
  fi
fi
echo "cross builds and the arm64 package: $cross_passed passed, $cross_failed failed"
[ "$cross_failed" -eq 0 ]

echo "== Windows builds (mingw-w64), tested under wine; packages =="
# Each Windows build is checked to be a windowed program that needs no DLL beyond Windows' own,
# then its CTest suite (the platform test program and the end-to-end modules) runs under wine.
windows_passed=0
windows_failed=0
windows_builds=()
for build in win64:x86_64 win32:i686; do
  name=${build%%:*}
  triplet=${build#*:}-w64-mingw32
  if ! command -v "$triplet-g++" >/dev/null; then
    skip "$name build and tests" "$triplet-g++ not found (.ci/install_deps.sh --windows)"
    continue
  fi
  cmake -S . -B "build-$name" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$triplet.cmake" \
    -DCMAKE_BUILD_TYPE=Release
  cmake --build "build-$name" -j "$jobs"
  windows_builds+=("build-$name")
  dump=$("$triplet-objdump" -p "build-$name/k_graft.exe")
  dlls=$(grep 'DLL Name:' <<<"$dump" || true)
  if grep -q 'Subsystem.*(Windows GUI)' <<<"$dump" &&
    ! grep -viqE 'KERNEL32|msvcrt|USER32' <<<"$dlls"; then
    windows_passed=$((windows_passed + 1))
  else
    echo "$name: k_graft.exe is no windowed program or needs another DLL:"
    grep -E 'Subsystem|DLL Name' <<<"$dump"
    windows_failed=$((windows_failed + 1))
  fi
  wine=$(sed -n 's/^KG_WINE:FILEPATH=//p' "build-$name/CMakeCache.txt")
  if [ -z "$wine" ] || [ "$wine" = KG_WINE-NOTFOUND ]; then
    skip "$name tests" "wine not found (.ci/install_deps.sh --windows)"
  elif [ "$name" = win32 ] && ! wine32=$(bash .ci/setup_wine32.sh --status 2>&1); then
    # A kernel without 32-bit code needs qemu-i386 registered with binfmt_misc, which
    # .ci/install_deps.sh --windows does.
    skip "$name tests" "$wine32"
  else
    [ "$name" != win32 ] || echo "$name: wine32 starts $wine32"
    start=$(date +%s)
    if ctest --test-dir "build-$name" --output-on-failure -j "$jobs"; then
      windows_passed=$((windows_passed + 1))
    else
      windows_failed=$((windows_failed + 1))
    fi
    echo "$name: tests under wine took $(($(date +%s) - start)) s"
  fi
done

# The Debian package (executable, manual page, copyright file, changelog), checked by lintian,
# and the zip of the Windows executables.
cmake -S . -B build-pkg -DCMAKE_BUILD_TYPE=Release -DKG_BUILD_TESTS=OFF \
  -DKG_WINDOWS_BUILD_DIRS="$(IFS=';' && echo "${windows_builds[*]:-}")"
cmake --build build-pkg -j "$jobs"
rm -f build-pkg/*.deb build-pkg/*.zip
(cd build-pkg && cpack -G DEB)
deb=$(echo build-pkg/k-graft_*.deb)
unpacked=$(mktemp -d)
dpkg-deb -x "$deb" "$unpacked"
# The tool's whole output is read before its first line is taken: a reader that stopped after one
# line would make the tool's later writes fail on a pipe without reader, which it rightly reports.
usage_status=0
usage_text=$("$unpacked/usr/bin/k_graft" </dev/null) || usage_status=$?
usage_line=${usage_text%%$'\n'*}
usage_line=${usage_line%$'\r'}
man_page="$unpacked/usr/share/man/man1/k_graft.1.gz"
man_warnings=""
if command -v man >/dev/null; then
  man_warnings=$(MANWIDTH=80 man --warnings -l "$man_page" 2>&1 >/dev/null)
else
  skip "manual page check" "man not found (.ci/install_deps.sh --all installs man-db)"
fi
rm -rf "$unpacked"
if [ "$usage_line" = "The program K_Graft must be called with 3 parameters." ] &&
  [ "$usage_status" -eq 0 ] && [ -z "$man_warnings" ] && dpkg --dry-run -i "$deb" >/dev/null; then
  windows_passed=$((windows_passed + 1))
else
  echo "package: $deb is broken (usage line: '$usage_line', exit status $usage_status;" \
    "manual page: $man_warnings)"
  windows_failed=$((windows_failed + 1))
fi
# Errors and warnings fail the check; lintian's informational notes do not.
if ! command -v lintian >/dev/null; then
  skip lintian "lintian not found (.ci/install_deps.sh --all installs it)"
elif lintian --fail-on error,warning "$deb"; then
  echo "lintian: $deb: no errors or warnings"
  windows_passed=$((windows_passed + 1))
else
  echo "lintian: $deb: errors or warnings above"
  windows_failed=$((windows_failed + 1))
fi
# The zip holds one folder named for itself, with win32/ and win64/ in it.
if [ ${#windows_builds[@]} -eq 0 ]; then
  skip "zip of the Windows executables" "no Windows build to pack"
else
  (cd build-pkg && cpack --config CPackWindowsConfig.cmake)
  zip=$(echo build-pkg/k_graft-*-windows.zip)
  folder=$(basename "$zip" .zip)
  expected=$(for build in "${windows_builds[@]}"; do
    echo "$folder/${build#build-}/k_graft.exe"
  done | sort)
  listed=$(unzip -Z1 "$zip")
  executables=$(grep -i '\.exe$' <<<"$listed" | sort || true)
  if [ "$executables" = "$expected" ]; then
    echo "zip: $zip holds ${executables//$'\n'/ }"
    windows_passed=$((windows_passed + 1))
  else
    echo "package: $zip holds '${executables//$'\n'/ }', not '${expected//$'\n'/ }'"
    windows_failed=$((windows_failed + 1))
  fi
fi
echo "windows and packages: $windows_passed passed, $windows_failed failed"
[ "$windows_failed" -eq 0 ]
