#!/usr/bin/env bash
# Lets wine32, and so the 32-bit Windows tests, start on a machine whose kernel runs no 32-bit
# code: installs qemu-user 10.x (from Debian's backports suite when the release has no 10.x) and
# registers its qemu-i386 with binfmt_misc. Where wine32 starts natively it changes nothing.
#
#   .ci/setup_wine32.sh            set up when needed (as root; .ci/install_deps.sh --windows
#                                  calls it)
#   .ci/setup_wine32.sh --status   say how wine32 starts here, or why it cannot; changes nothing
#   KG_WINE32_EMULATE=1 .ci/setup_wine32.sh
#                                    register the emulator even where the kernel runs 32-bit code,
#                                    to try the emulated way there (binfmt_misc goes before the
#                                    kernel's own loader); to undo it:
#                                    echo -1 >/proc/sys/fs/binfmt_misc/qemu-i386
#
# qemu-user 10.x because 7.2 (bookworm's own) spends about a minute per wine process reserving
# its address space. The emulator is registered with binfmt_misc, not called by hand, because
# wine's 64-bit helpers start the 32-bit loader themselves; the F flag opens it once, at
# registration. The registration lasts until the next boot.
#
# Exit status: 0 wine32 starts; 2 this machine can run no 32-bit program at all (the kernel runs
# none and has no binfmt_misc); 1 anything else, with the reason on standard error.
set -euo pipefail

wine32=/usr/lib/wine/wine
binfmt=/proc/sys/fs/binfmt_misc
entry='qemu-i386'
# The first 20 bytes of an i386 ELF program (ELF, 32-bit, little-endian, version 1, executable or
# shared object, machine 3) and the bits of them that count, as qemu's binfmt set-up has them.
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
apt_get=(apt-get -o DPkg::Lock::Timeout=600 -y)

# Prints the name of every binfmt_misc entry that takes i386 ELF programs, one a line.
i386_entries() {
  local file
  [ -e "$binfmt/register" ] || return 0
  for file in "$binfmt"/*; do
    case ${file##*/} in register | status) continue ;; esac
    # magic 7f454c46 01 01 ... with bytes 18 and 19 (the machine) 03 00.
    if [[ $(sed -n 's/^magic //p' "$file" 2>/dev/null) =~ ^7f454c460101.{24}0300 ]]; then
      echo "${file##*/}"
    fi
  done
}

# Prints the interpreter that runs i386 programs in place of the kernel, if any entry is enabled.
i386_emulator() {
  local name
  [ "$(cat "$binfmt/status" 2>/dev/null)" = enabled ] || return 0
  for name in $(i386_entries); do
    if [ "$(head -n 1 "$binfmt/$name")" = enabled ]; then
      sed -n 's/^interpreter //p' "$binfmt/$name"
      return 0
    fi
  done
}

# Succeeds when wine32 starts.
wine32_starts() { "$wine32" --version >/dev/null 2>&1; }

# The first line of `--version` of the qemu program named (Debian's binfmt names for it resolved).
qemu_version() { "$(readlink -f "$1")" --version 2>/dev/null | sed -n 1p; }

# The major version of the qemu program named, or 0.
qemu_major() {
  qemu_version "$1" | sed -n 's/^qemu-[^ ]* version \([0-9]*\).*/\1/p' | grep . || echo 0
}

# Prints how wine32 starts ("natively" or "under EMULATOR (version) through binfmt_misc") and
# succeeds; or prints why it cannot to standard error and returns 2 or 1 as the exit status says.
status() {
  local emulator
  emulator=$(i386_emulator)
  if [ ! -e "$wine32" ]; then
    echo "$wine32 is not installed (apt-get install wine32:i386)" >&2
    return 1
  elif wine32_starts; then
    if [ -z "$emulator" ]; then
      echo "natively"
    else
      echo "under $emulator ($(qemu_version "$emulator")) through binfmt_misc"
    fi
  elif [ -n "$emulator" ]; then
    echo "wine32 does not start under $emulator, the binfmt_misc entry for i386 programs" >&2
    return 1
  elif ! grep -qw binfmt_misc /proc/filesystems; then
    echo "this machine runs no 32-bit programs: the kernel runs none (no 32-bit emulation)" \
      "and has no binfmt_misc to hand them to an emulator" >&2
    return 2
  else
    echo "this machine's kernel runs no 32-bit programs and no emulator is registered for" \
      "them: run .ci/setup_wine32.sh as root" >&2
    return 1
  fi
}

if [ "${1:-}" = --status ]; then
  status
  exit
fi

# Nothing to change where wine32 starts natively, under another emulator, or under qemu 10 or later.
emulator=$(i386_emulator)
if [ "${KG_WINE32_EMULATE:-0}" != 1 ] && wine32_starts &&
  { [[ $emulator != *qemu* ]] || [ "$(qemu_major "$emulator")" -ge 10 ]; }; then
  echo "wine32 starts $(status); nothing to change"
  exit 0
fi
[ -e "$wine32" ] || status || exit
if [ "$(id -u)" != 0 ]; then
  echo "wine32 needs qemu-i386 registered with binfmt_misc: run $0 as root" >&2
  exit 1
fi

# binfmt_misc: the kernel must have it; mount it where it is not yet.
if ! grep -qw binfmt_misc /proc/filesystems; then
  modprobe binfmt_misc 2>/dev/null || true
  if ! grep -qw binfmt_misc /proc/filesystems; then
    status >/dev/null || exit
    echo "the kernel has no binfmt_misc to register an emulator with" >&2
    exit 1
  fi
fi
[ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"

# qemu-user 10.x, held to that series by a pin. (Outputs are taken whole before they are searched:
# a search that stops early would fail the pipeline it ends.) When the configured suites offer no 10.x, the
# release's backports suite is added from the archive the machine's own Debian source names.
export DEBIAN_FRONTEND=noninteractive
cat >/etc/apt/preferences.d/k_graft-qemu-user <<'EOF'
# K_Graft's 32-bit Windows tests: qemu-user 10.x runs wine32 where the kernel runs no 32-bit code.
Package: qemu-user
Pin: version 1:10.*
Pin-Priority: 990
EOF
installed=no
if [[ $(dpkg-query -W -f '${Version}' qemu-user 2>/dev/null) != 1:10.* ]]; then
  if ! grep -q '^ *Candidate: 1:10\.' <<<"$(apt-cache policy qemu-user)"; then
    # shellcheck source=/dev/null
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:?}")
    if ! grep -qx "$codename-backports" <<<"$(apt-get indextargets --format '$(RELEASE)')"; then
      uri=$(apt-get indextargets --format '$(ORIGIN)|$(RELEASE)|$(TARGET_OF)|$(REPO_URI)' |
        sed -n "s/^Debian|$codename|deb|//p" | sed -n 1p)
      if [ -z "$uri" ]; then
        echo "no Debian source for $codename among the apt sources, whose archive" \
          "$codename-backports would come from" >&2
        exit 1
      fi
      keyring=/usr/share/keyrings/debian-archive-keyring.gpg
      {
        echo "# K_Graft's 32-bit Windows tests: qemu-user 10.x (.ci/setup_wine32.sh)."
        echo "Types: deb"
        echo "URIs: $uri"
        echo "Suites: $codename-backports"
        echo "Components: main"
        [ ! -e "$keyring" ] || echo "Signed-By: $keyring"
      } >/etc/apt/sources.list.d/k_graft-backports.sources
      echo "added $codename-backports from $uri"
    fi
    "${apt_get[@]}" update
  fi
  "${apt_get[@]}" install --no-install-recommends qemu-user
  installed=yes
fi

qemu=$(dpkg -L qemu-user | grep -E '/bin/qemu-i386(-static)?$' | sed -n 1p)
if [ -z "$qemu" ] || [ "$(qemu_major "$qemu")" -lt 10 ]; then
  echo "qemu-user 10.x did not install a working qemu-i386 (found: '$qemu')" >&2
  exit 1
fi

# The registration: entries for i386 programs that point at another qemu, or at this one without
# the F flag or before it was installed (F keeps the file it opened), give way to one that runs
# this qemu-i386; so does any other entry of its name.
[ "$(cat "$binfmt/status")" = enabled ] || echo 1 >"$binfmt/status"
registered=no
for name in $({ i386_entries && echo "$entry"; } | sort -u); do
  [ -e "$binfmt/$name" ] || continue
  interpreter=$(sed -n 's/^interpreter //p' "$binfmt/$name")
  if [ "$registered" = no ] && [ "$installed" = no ] && [ "$interpreter" = "$qemu" ] &&
    grep -qE '^flags: .*F' "$binfmt/$name"; then
    registered=$name
    [ "$(head -n 1 "$binfmt/$name")" = enabled ] || echo 1 >"$binfmt/$name"
  elif [[ $interpreter == *qemu* || $name == "$entry" ]]; then
    echo "binfmt_misc: removing $name ($interpreter)"
    echo -1 >"$binfmt/$name"
  fi
done
if [ "$registered" = no ]; then
  printf ':%s:M::%s:%s:%s:F' "$entry" "$magic" "$mask" "$qemu" >"$binfmt/register"
  echo "binfmt_misc: $entry runs i386 programs with $qemu"
fi

if way=$(status); then
  echo "wine32 starts $way"
else
  exit 1
fi
