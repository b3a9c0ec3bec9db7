#!/usr/bin/env bash
# Installs from Debian's packages what K_Graft's build, its test stages or its benchmark need.
#
#   bash .ci/install_deps.sh             the build and its tests: cmake, make, g++, GoogleTest,
#                                        python3 (what the README's first command needs)
#   bash .ci/install_deps.sh --windows   also the mingw-w64 cross compilers and wine (wine32 from
#                                        the i386 architecture), then the set-up that lets wine32
#                                        start where the kernel runs no 32-bit code
#                                        (.ci/setup_wine32.sh; KG_WINE32_EMULATE is passed on)
#   bash .ci/install_deps.sh --cross     also the aarch64 and s390x cross compilers, GoogleTest's
#                                        sources (built by the cross builds) and qemu-user-static
#   bash .ci/install_deps.sh --all       what every stage of tests/run_all.sh needs: --windows,
#                                        --cross, clang and its libFuzzer runtime, strace, setpriv,
#                                        mount, bindfs, the mkfs tools of btrfs, ext4, xfs, squashfs
#                                        and erofs, man-db, dpkg-dev, unzip and lintian
#   bash .ci/install_deps.sh --bench     also /usr/bin/time and Google Benchmark (bench/)
#
# The options combine. In a root shell it runs apt-get itself, otherwise through sudo. Packages
# already installed are left alone, and apt-get is called only when one is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { sed -n '4,19s/^# \{0,1\}//p' "$0"; }

packages=(cmake make g++ libgtest-dev python3)
windows=no
cross=no
for option in "$@"; do
  case $option in
    --windows) windows=yes ;;
    --cross) cross=yes ;;
    --all)
      windows=yes
      cross=yes
      # The fuzzing stage; the fault tests (strace, setpriv, mount, bindfs, a mkfs of each local
      # file system type this kernel may mount); the package checks.
      packages+=(clang libclang-rt-14-dev strace util-linux mount bindfs btrfs-progs man-db dpkg-dev
        unzip lintian e2fsprogs xfsprogs squashfs-tools erofs-utils)
      ;;
    --bench) packages+=(time libbenchmark-dev) ;;
    -h | --help)
      usage
      exit 0
      ;;
    *)
      echo "install_deps: unknown option $option" >&2
      usage >&2
      exit 2
      ;;
  esac
done
if [ "$cross" = yes ]; then
  packages+=(g++-aarch64-linux-gnu g++-s390x-linux-gnu googletest)
  # qemu's user-mode emulators, but where a qemu-user of series 10 or later holds its own (the
  # wine32 set-up installs one from backports where it needs it) that stands in for this one.
  if [[ $(dpkg-query -W -f '${Version}' qemu-user 2>/dev/null) != 1:[1-9][0-9].* ]]; then
    packages+=(qemu-user-static)
  fi
fi
if [ "$windows" = yes ]; then
  packages+=(g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 wine wine64 wine32:i386)
fi

as_root=()
if [ "$(id -u)" != 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "install_deps: run this as root, or install sudo" >&2
    exit 1
  fi
  as_root=(sudo)
fi

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f '${Status}' "$package" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "install_deps: installing ${missing[*]}"
  if [[ " ${missing[*]} " == *:i386\ * ]]; then
    foreign=$(dpkg --print-foreign-architectures)
    grep -qx i386 <<<"$foreign" || "${as_root[@]}" dpkg --add-architecture i386
  fi
  apt_get=("${as_root[@]}" env DEBIAN_FRONTEND=noninteractive
    apt-get -o DPkg::Lock::Timeout=600 -y)
  # A mirror in the middle of a sync serves an index of the wrong size for a while: try again, and
  # in the end go on with the indexes that did arrive (install says what it cannot find).
  for attempt in 1 2 3; do
    "${apt_get[@]}" update && break
    [ "$attempt" = 3 ] || sleep 20
  done
  "${apt_get[@]}" install --no-install-recommends "${missing[@]}"
fi

if [ "$windows" = yes ]; then
  # Exit status 2: this machine can run no 32-bit program at all (the script says why).
  "${as_root[@]}" env KG_WINE32_EMULATE="${KG_WINE32_EMULATE:-0}" bash .ci/setup_wine32.sh
fi
echo "install_deps: ready"
