"""Shared helpers for the end-to-end tests: run the built k_graft in a scratch directory.

The binary comes from the K_GRAFT environment variable (set by CTest). K_GRAFT_RUNNER, when set, is
a command put before it (for example "wine" for a Windows build, qemu-aarch64-static for a cross
build for aarch64; K_GRAFT_CC then names that build's C compiler). Every run gets a standard input
of its own, so the tests never read the terminal or the CI's missing input.
"""
import ctypes
import os
import re
import shlex
import shutil
import stat
import subprocess
import tempfile
import unittest
from dataclasses import dataclass

BINARY = os.path.abspath(os.environ.get("K_GRAFT", "build/k_graft"))
# "windows" when BINARY is a Windows executable run through K_GRAFT_RUNNER (wine). Its failure
# reports are message boxes there, so standard error is not compared (tests/wine checks the
# reports), and tests that need a Linux facility are skipped with linux_only.
ON_WINDOWS = os.environ.get("K_GRAFT_PLATFORM", "linux") == "windows"
# Tests (module.Class or module.Class.test) that wine cannot run as Windows would, and why.
WINE_SKIPS = {
    "test_console.Terminal": "wine makes a terminal its own console and writes cursor escapes",
    "test_faults.ConsoleWriteFailures.test_standard_output_to_a_pipe_without_reader":
        "wine reports a pipe whose reader has gone as 233; Windows and Linux give 232",
}
RUNNER = shlex.split(os.environ.get("K_GRAFT_RUNNER", ""))
# The user-mode emulator (qemu-*-static) that runs a cross build's Linux binary here, else None.
EMULATOR = os.path.basename(RUNNER[0]) if RUNNER and not ON_WINDOWS else None
# Tests that the emulator cannot run as the processor's own Linux would, and why.
EMULATOR_SKIPS = {
    "test_faults.OutputIsAnInput.test_a_lock_counts_only_for_its_own_file_of_btrfs_subvolumes":
        "its statx gives mount id 0 (the mask claiming one): without the mount's device, two "
        "btrfs subvolumes' files with one inode number cannot be told apart, and the tool refuses "
        "what it merges natively",
}
# The C compiler for BINARY's processor (a cross build names its own), for the preloaded shim.
CC = os.environ.get("K_GRAFT_CC", "cc")
# The local file systems as the build's own table lists them (statfs magic number: (name, its
# properties: "kHeld", where a lease sees every writer and an input is held, and "kOwnNumbers",
# where two files on two mounts are two however alike)), and those where inputs are held. A
# container's /tmp (overlayfs) is none of them.
LOCAL_FILE_SYSTEMS_HEADER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                         "runtime", "platform", "posix_local_file_systems.h")
with open(LOCAL_FILE_SYSTEMS_HEADER) as header:
    LOCAL_FILE_SYSTEMS = {int(magic, 16): (name, set(properties.replace(" ", "").split("|")))
                          for magic, name, properties in re.findall(
                              r'\{(0x[0-9A-Fa-f]+),\s*"([^"]+)",\s*([\w |]+)\}', header.read())}
LEASE_FILE_SYSTEMS = {magic: name for magic, (name, properties) in LOCAL_FILE_SYSTEMS.items()
                      if "kHeld" in properties}
assert LEASE_FILE_SYSTEMS, "no held file systems found in " + LOCAL_FILE_SYSTEMS_HEADER
CRLF = b"\r\n"


def keep_mounts_to_this_process():
    """Moves this process, as root, into a mount namespace of its own (mounts not shared back), so
    that every mount its tests make (overlays, tmpfs, loop images) ends with it, however it ends: a
    kill included. Where the system refuses, mounts are left to each test's clean-up."""
    if os.geteuid() != 0 or not os.path.exists("/proc/self/ns/mnt"):
        return
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(0x00020000) == 0:  # CLONE_NEWNS
        libc.mount(b"none", b"/", None, 0x4000 | 0x40000, None)  # MS_REC | MS_PRIVATE


keep_mounts_to_this_process()
PAUSE = CRLF + b"   ... press <Enter> to continue ..." + CRLF
MODULE = os.path.basename(BINARY)  # the module name the failure report gives


# How a test makes a file system of a type by its kernel type name, on a loop image: the command,
# given the image (a 320 MiB sparse file) to write it on, or, for a read-only type, given the
# image and the folder of the files it is to hold.
IMAGE_MAKERS = {"btrfs": lambda image: ["mkfs.btrfs", "-q", image],
                "ext4": lambda image: ["mkfs.ext4", "-q", image],
                "xfs": lambda image: ["mkfs.xfs", "-q", image]}
READ_ONLY_IMAGE_MAKERS = {
    "squashfs": lambda image, folder: ["mksquashfs", folder, image, "-quiet", "-noappend"],
    "erofs": lambda image, folder: ["mkfs.erofs", "--quiet", image, folder]}
def failure_report(message):
    """A pattern for the whole standard error of a run ended by an EInOutError with `message`
    (given without its full stop); group 1 is the 8 offset digits."""
    head = b"Application Error\r\nException EInOutError in module " + MODULE.encode() + b" at "
    return re.compile(re.escape(head) + rb"([0-9A-F]{8})" +
                      re.escape(b".\r\n" + message.encode() + b".\r\n"))


def file_system_type(path):
    """The statfs magic number of the file system holding `path`, or None when unknown."""
    found = subprocess.run(["stat", "-f", "-c", "%t", path], capture_output=True, text=True)
    return int(found.stdout, 16) if found.returncode == 0 else None


def parse_strace_writes(log):
    """The (descriptor, bytes) of each write in a `strace -xx -s 65535 -e trace=write` log."""
    found = []
    for m in re.finditer(rb'^write\((\d+), "((?:\\x[0-9a-f]{2})*)", \d+\) += -?\d+', log, re.M):
        found.append((int(m.group(1)), bytes.fromhex(m.group(2).replace(b"\\x", b"").decode())))
    return found


def lines(*texts):
    """The bytes of console or model-file lines, each ended by CR LF."""
    return b"".join((t.encode() if isinstance(t, str) else t) + CRLF for t in texts)


@dataclass
class Result:
    """What one run left behind."""

    stdout: bytes
    stderr: bytes
    code: int


class ToolTestCase(unittest.TestCase):
    """A test case with a fresh scratch directory as the tool's working directory; on a file system
    where inputs can be held against writers when the class sets `held_inputs`."""

    held_inputs = False

    def setUp(self):
        skips = WINE_SKIPS if ON_WINDOWS else EMULATOR_SKIPS if EMULATOR else {}
        test = self.id().split(".")
        for key in (".".join(test[:-1]), ".".join(test)):
            if key in skips:
                self.skipTest("under %s: %s" % ("wine" if ON_WINDOWS else EMULATOR, skips[key]))
        self.dir = tempfile.mkdtemp(prefix="kg-e2e-", dir=self.lease_place() if self.held_inputs
                                    else None)
        os.chmod(self.dir, 0o777)  # unprivileged runs must be able to work here
        self.addCleanup(shutil.rmtree, self.dir, True)

    def lease_place(self):
        """A directory on a file system where inputs are held: $TMPDIR's, else /dev/shm, else a
        tmpfs mounted for the test; skips the test, saying why, where there is none."""
        tried = []
        for place in (tempfile.gettempdir(), "/dev/shm"):
            kind = file_system_type(place)
            if kind in LEASE_FILE_SYSTEMS and os.access(place, os.W_OK):
                return place
            tried.append("%s is %s" % (place, "%#x" % kind if kind else "not there"))
        place = tempfile.mkdtemp(prefix="kg-tmpfs-")
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64m", "tmpfs", place],
                                 capture_output=True, text=True)
        if mounted.returncode == 0:
            self.addCleanup(os.rmdir, place)
            self.addCleanup(subprocess.run, ["umount", "-l", place])
            return place
        os.rmdir(place)
        self.skipTest("needs a file system where inputs are held (%s): %s, and mounting a tmpfs "
                      "failed: %s" % (", ".join(LEASE_FILE_SYSTEMS.values()), "; ".join(tried),
                                      mounted.stderr.strip()))

    def mount_mirror(self, kind, name, files=None):
        """Mounts under `name` in the scratch directory a view of the files of the directory
        beneath it, "overlay" (upper layer "u" beside `name`; "relative overlay": its layers named
        by relative paths, which its mount options then show; "metacopy overlay": a copy-up of
        attributes leaves the data beneath; "two-system overlay": its upper layer "t/u" on a
        tmpfs) or "bindfs" (of "src"), or a "ramfs", "tmpfs" or a type of IMAGE_MAKERS or
        READ_ONLY_IMAGE_MAKERS (on a loop device, its image in a folder of the system's temporary
        directory) of its own, holding `files` (name: bytes); returns the directory beneath
        (`name` for the others). Skips the subtest, saying why, where the mount cannot be made."""
        beside = os.path.dirname(name)
        layers = [os.path.join(beside, d) for d in ("l", "u", "w")]
        if kind == "two-system overlay":  # its upper layer on a tmpfs of its own
            layers[1:] = [os.path.join(self.mount_mirror("tmpfs", os.path.join(beside, "t")), d)
                          for d in ("u", "w")]
        overlay = kind.endswith("overlay")
        beneath = layers[1] if overlay else {"bindfs": "src"}.get(kind, name)
        for d in (name, beneath) + (tuple(layers) if overlay else ()):
            os.makedirs(self.path(d), exist_ok=True)
        if overlay:
            command = ["mount", "-t", "overlay", "overlay", "-o", "lowerdir=%s,upperdir=%s,"
                       "workdir=%s%s" % (*(d if kind.startswith("relative") else self.path(d)
                                             for d in layers),
                                           ",metacopy=on,redirect_dir=on" if "meta" in kind
                                           else ""), self.path(name)]
        elif kind in ("ramfs", "tmpfs"):
            command = ["mount", "-t", kind, kind, self.path(name)]
        elif kind in IMAGE_MAKERS or kind in READ_ONLY_IMAGE_MAKERS:
            if getattr(self, "images", None) is None:  # a place with room: removed after umount
                self.images = tempfile.mkdtemp(prefix="kg-images-")
                self.addCleanup(shutil.rmtree, self.images, True)
            image = os.path.join(self.images, name.replace("/", "-") + ".img")
            folder = os.path.join(self.images, name.replace("/", "-") + ".src")
            command = ["mount", "-t", kind, "-o", "loop" if kind in IMAGE_MAKERS else "loop,ro",
                       image, self.path(name)]
            if kind in IMAGE_MAKERS:
                make = IMAGE_MAKERS[kind](image)
                with open(image, "wb") as f:
                    f.truncate(320 << 20)
            else:
                make = READ_ONLY_IMAGE_MAKERS[kind](image, folder)
                os.makedirs(folder)
                for file_name, data in (files or {}).items():
                    with open(os.path.join(folder, file_name), "wb") as f:
                        f.write(data)
                files = None
            if ON_WINDOWS or os.geteuid() != 0 or shutil.which(make[0]) is None:
                self.skipTest("needs root and %s for a %s mount" % (make[0], kind))
            made = subprocess.run(make, capture_output=True, text=True)
            if made.returncode != 0:
                self.skipTest("%s failed here: %s" % (make[0], made.stderr.strip()))
        else:
            command = ["bindfs", "--no-allow-other", self.path(beneath), self.path(name)]
        if ON_WINDOWS or os.geteuid() != 0 or shutil.which(command[0]) is None:
            self.skipTest("needs root and %s for a %s mount" % (command[0], kind))
        mounted = subprocess.run(command, capture_output=True, text=True, cwd=self.dir)
        if mounted.returncode != 0:
            self.skipTest("%s mount refused here: %s" % (kind, mounted.stderr.strip()))
        self.addCleanup(subprocess.run, ["umount", "-l", self.path(name)])
        for file_name, data in (files or {}).items():
            self.write(os.path.join(name, file_name), data)
        return beneath

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        """Creates a file in the scratch directory from bytes or text."""
        with open(self.path(name), "wb") as f:
            f.write(data.encode() if isinstance(data, str) else data)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def files(self):
        """Every regular file under the scratch directory and its bytes, by relative path."""
        found = {}
        for root, _, names in os.walk(self.dir):
            for name in names:
                full = os.path.join(root, name)
                if os.path.isfile(full) and not os.path.islink(full):
                    with open(full, "rb") as f:
                        found[os.path.relpath(full, self.dir)] = f.read()
        return found

    def command(self, *args):
        return RUNNER + [BINARY, *args]

    def run_tool(self, *args, stdin=b"", stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                 preexec_fn=None, pass_fds=(), wrap=None, timeout=60):
        """Runs k_graft with `args` in the scratch directory.

        `stdin` is bytes fed to it (default: an empty standard input), or a file object or
        descriptor. `wrap` is a command put in front (for example setpriv). Returns a Result.
        """
        if ON_WINDOWS:
            self.skip_what_windows_cannot_run(args, stdin, stdout, preexec_fn, wrap)
        feed = stdin if isinstance(stdin, (bytes, bytearray)) else None
        proc = subprocess.run(
            (wrap or []) + self.command(*args),
            input=feed,
            stdin=None if feed is not None else stdin,
            stdout=stdout,
            stderr=stderr,
            cwd=self.dir,
            preexec_fn=preexec_fn,
            pass_fds=pass_fds,
            timeout=timeout,
        )
        return Result(proc.stdout if stdout == subprocess.PIPE else b"",
                      proc.stderr if stderr == subprocess.PIPE else b"", proc.returncode)

    def skip_what_windows_cannot_run(self, args, stdin, stdout, preexec_fn, wrap):
        """Skips a run that a Windows executable cannot be given the same way: one set up by a
        Linux command or before exec (setpriv, closed descriptors, resource limits), one whose
        standard stream is a terminal or a device, or a name that is no Windows file name."""
        if wrap:
            self.skipTest("Linux only: runs the tool through " + os.path.basename(wrap[0]))
        if preexec_fn is not None:
            self.skipTest("Linux only: prepares the process before it starts")
        for stream in (stdin, stdout):
            fd = stream if isinstance(stream, int) else getattr(stream, "fileno", lambda: -1)()
            if isinstance(fd, int) and fd > 2 and stat.S_ISCHR(os.fstat(fd).st_mode):
                self.skipTest("Linux only: a standard stream on a terminal or a device")
        if any(c in arg for arg in args for c in '*?<>|"') or any(a.startswith("/dev/") for a in args):
            self.skipTest("Linux only: a name that is no Windows file name")

    def assertRun(self, result, stdout=None, stderr=b"", code=0):
        """Compares a run's exact bytes and exit code."""
        if stdout is not None:
            self.assertEqual(result.stdout, stdout)
        if stderr is not None and not ON_WINDOWS:
            self.assertEqual(result.stderr, stderr)
        self.assertEqual(result.code, code)

    def assertFailure(self, result, message, stdout=b""):
        """Checks a run ended by the failure report for `message`: exact standard error (but the
        offset digits), `stdout` (None: not checked) and exit code 1. Returns the offset digits."""
        match = failure_report(message).fullmatch(result.stderr)
        self.assertIsNotNone(match, result.stderr)
        if stdout is not None:
            self.assertEqual(result.stdout, stdout)
        self.assertEqual(result.code, 1)
        return match.group(1).decode()

    def run_traced(self, *args, **kwargs):
        """Runs k_graft under strace; returns the Result and its writes as (descriptor, bytes)."""
        if ON_WINDOWS or shutil.which("strace") is None:
            self.skipTest("needs strace and a native binary")
        log = os.path.join(tempfile.mkdtemp(prefix="kg-trace-"), "log")
        self.addCleanup(shutil.rmtree, os.path.dirname(log), True)
        result = self.run_tool(*args, wrap=["strace", "-qq", "-o", log, "-e", "trace=write",
                                            "-xx", "-s", "65535"] + kwargs.pop("wrap", []),
                               **kwargs)
        with open(log, "rb") as f:
            return result, parse_strace_writes(f.read())


def linux_only(reason):
    """Skips the decorated test or class for a Windows executable; `reason` names what it needs
    that only Linux gives (setpriv, /dev/full, a pty, symbolic links, closed descriptors...)."""
    return unittest.skipIf(ON_WINDOWS, "Linux only: " + reason)
