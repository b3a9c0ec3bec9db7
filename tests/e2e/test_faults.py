"""End-to-end faults: closed or failing console streams, full or limited file systems, missing
permissions, an output that is one of the inputs, and unusual input bytes and sizes.

Every test checks that the inputs are unchanged, that an output is replaced only after a yes, and
the exact report: a failure ends with the failure report on standard error and exit code 1.
"""
import contextlib
import ctypes
import fcntl
import hashlib
import mmap
import os
import platform
import resource
import shlex
import shutil
import signal
import subprocess
import sys
import unittest

from kgtest import (CC, IMAGE_MAKERS, LOCAL_FILE_SYSTEMS, ON_WINDOWS, PAUSE, READ_ONLY_IMAGE_MAKERS,
                    Result, ToolTestCase, lines, linux_only)
from test_usage import USAGE

FIRST = lines("N 1", "N 2", "@3 first", "B 1")
SECOND = lines("N x", "@3 second", "B 2", "B 3")
MERGED = lines("N 1", "N 2", "@3 second", "B 2", "B 3")
OLD = b"old output\r\n"
UNPRIVILEGED = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


def created(name="c.mo"):
    return lines(f"K_Graft has created file {name}, and now is ready.") + PAUSE


def question(name="c.mo"):
    return (lines(f"A file named <{name}> already exists in this directory.",
                  "If you proceed, it will be overwritten.") + b"Do you wish to proceed? (Y/N): ")


def digest(data):
    return hashlib.sha256(data).hexdigest()


def file_digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def close_fds(*fds):
    """A preexec_fn that closes the given descriptors in the child just before the tool starts."""
    def close():
        for fd in fds:
            os.close(fd)
    return close


class FaultTestCase(ToolTestCase):
    """Scratch directory with the two standard inputs a.mo and b.mo."""

    # The preloaded library (shim.c) that acts as another process while the tool runs.
    SHIM = os.path.join(os.path.dirname(os.path.abspath(__file__)), "shim.c")

    def shim(self):
        """Builds the shim in the scratch directory; returns the wrap that preloads it."""
        if ON_WINDOWS or shutil.which(CC) is None:
            self.skipTest("needs a C compiler (%s) for the binary's processor and a Linux binary" % CC)
        subprocess.run([CC, "-shared", "-fPIC", "-o", "shim.so", self.SHIM, "-ldl"], check=True,
                       cwd=self.dir)
        return ["env", "LD_PRELOAD=" + self.path("shim.so"),
                "ASAN_OPTIONS=verify_asan_link_order=0"]

    def setUp(self):
        super().setUp()
        self.write("a.mo", FIRST)
        self.write("b.mo", SECOND)

    def assertFiles(self, expected):
        """Each named file holds exactly the given bytes; None: the file does not exist."""
        for name, data in expected.items():
            if data is None:
                self.assertFalse(os.path.lexists(self.path(name)), name)
            else:
                self.assertEqual(file_digest(self.path(name)), digest(data), name)

    def reset_output(self, data):
        """Leaves c.mo holding `data`, or removes it for None."""
        if os.path.lexists(self.path("c.mo")):
            os.remove(self.path("c.mo"))
        if data is not None:
            self.write("c.mo", data)


class ClosedStandardStreams(FaultTestCase):
    def test_closed_standard_input_fails_at_its_first_read(self):
        # A closed standard input is a null handle: its first block read fails with code 6.
        cases = [  # (arguments, c.mo before, standard output, c.mo after)
            ((), None, USAGE + PAUSE, None),
            (("a.mo", "b.mo", "c.mo"), None, created(), MERGED),
            (("a.mo", "b.mo", "c.mo"), OLD, question(), OLD),  # the answer is never read
        ]
        for args, before, stdout, after in cases:
            with self.subTest(args=args, before=before):
                self.reset_output(before)
                result = self.run_tool(*args, stdin=subprocess.DEVNULL, preexec_fn=close_fds(0))
                self.assertFailure(result, "I/O error 6", stdout=stdout)
                self.assertFiles({"a.mo": FIRST, "b.mo": SECOND, "c.mo": after})

    def test_closed_standard_output_fails_at_the_first_message(self):
        # The output file must not take the free descriptor 1: it holds exactly the merge.
        cases = [((), None, None), (("a.mo", "b.mo", "c.mo"), None, MERGED),
                 (("a.mo", "b.mo", "c.mo"), OLD, OLD)]
        for args, before, after in cases:
            with self.subTest(args=args, before=before):
                self.reset_output(before)
                result = self.run_tool(*args, stdin=b"y\r\n", stdout=subprocess.DEVNULL,
                                       preexec_fn=close_fds(1))
                self.assertFailure(result, "I/O error 105")
                self.assertFiles({"a.mo": FIRST, "b.mo": SECOND, "c.mo": after})

    def test_closed_standard_error_loses_only_the_report(self):
        os.mkdir(self.path("dir"))
        result = self.run_tool("a.mo", "b.mo", "c.mo", preexec_fn=close_fds(2))
        self.assertRun(result, stdout=created(), stderr=b"", code=0)
        # A directory as output fails at its open; the report has nowhere to go.
        result = self.run_tool("a.mo", "b.mo", "dir", preexec_fn=close_fds(2))
        self.assertRun(result, stdout=b"", stderr=b"", code=1)
        self.assertFiles({"a.mo": FIRST, "b.mo": SECOND, "c.mo": MERGED})
        self.assertEqual(os.listdir(self.path("dir")), [])


class ConsoleWriteFailures(FaultTestCase):
    def test_standard_output_on_a_full_device(self):
        # /dev/full is a character device, so every message is written at once and fails. A
        # warning that u.mo has no @3 line comes during the merge: c.mo keeps its network section.
        unmarked = lines("N 1", "N 2", "N 3", "N 4")
        self.write("u.mo", unmarked)
        cases = [((), None, None), (("a.mo", "b.mo", "c.mo"), None, MERGED),
                 (("a.mo", "b.mo", "c.mo"), OLD, OLD), (("u.mo", "b.mo", "c.mo"), None, unmarked)]
        for args, before, after in cases:
            with self.subTest(args=args, before=before), open("/dev/full", "wb") as full:
                self.reset_output(before)
                result = self.run_tool(*args, stdin=b"y\r\n", stdout=full)
                self.assertFailure(result, "Disk full")
                self.assertFiles({"a.mo": FIRST, "b.mo": SECOND, "c.mo": after})

    def test_standard_output_to_a_pipe_without_reader(self):
        # Text goes out in 128-byte blocks: the write of the first full block fails.
        long_name = "c" * 60 + ".mo"
        cases = [  # (arguments, answer, c.mo before, exit code, c.mo after)
            ((), b"", None, 1, None),  # the usage text fills a block
            (("a.mo", "b.mo", "c.mo"), b"y\r\n", OLD, 1, OLD),  # fails before the open
            # Short text stays in the block to the exit, whose write failure is not reported.
            (("a.mo", "b.mo", "c.mo"), b"", None, 0, MERGED),
            (("a.mo", "b.mo", long_name), b"", None, 1, None),  # fails at the completion line
        ]
        for args, answer, before, code, after in cases:
            with self.subTest(args=args, before=before):
                self.reset_output(before)
                reader, writer = os.pipe()
                os.close(reader)
                try:
                    result = self.run_tool(*args, stdin=answer, stdout=writer)
                finally:
                    os.close(writer)
                if code:
                    self.assertFailure(result, "I/O error 232")
                else:
                    self.assertRun(result, stderr=b"", code=0)
                self.assertFiles({"a.mo": FIRST, "b.mo": SECOND, "c.mo": after})
        self.assertFiles({long_name: MERGED})


def big_model(lines_count, marker_at, tag):
    """A model file of `lines_count` 60-byte lines whose line `marker_at` starts with @3."""
    return b"".join((b"@3" if i == marker_at else b"L ") + (b"%s %08d " % (tag, i)).ljust(56, b".")
                    + b"\r\n" for i in range(lines_count))


class OutputWriteFailures(FaultTestCase):
    def setUp(self):
        super().setUp()
        # 2000 lines of 60 bytes each: the merge is 150 000 bytes.
        self.first = big_model(2000, 1500, b"first")
        self.second = big_model(2000, 1000, b"second")
        self.write("a.mo", self.first)
        self.write("b.mo", self.second)

    def test_output_on_a_full_file_system(self):
        if ON_WINDOWS or os.geteuid() != 0 or shutil.which("mount") is None:
            self.skipTest("needs root to mount a small file system")
        os.mkdir(self.path("small"))
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs",
                                  self.path("small")], capture_output=True)
        if mounted.returncode != 0:
            self.skipTest("mount is not permitted here: " + mounted.stderr.decode().strip())
        self.addCleanup(subprocess.run, ["umount", self.path("small")], check=True)
        for marker in (1000, 1500):  # a merge of 150 000 bytes; one of 120 000, under one block
            with self.subTest(marker=marker):
                self.second = big_model(2000, marker, b"second")
                self.write("b.mo", self.second)
                result = self.run_tool("a.mo", "b.mo", "small/c.mo")
                self.assertFailure(result, "Disk full", stdout=b"")  # no completion line
                self.assertFiles({"a.mo": self.first, "b.mo": self.second})
                self.assertLessEqual(os.path.getsize(self.path("small/c.mo")), 64 * 1024)
                os.remove(self.path("small/c.mo"))

    def test_copy_inside_the_system_onto_a_small_file_system(self):
        # Canonical sections longer than a block are copied inside the system (copy_file_range)
        # when the files share a file system: a full disk fails as a write does, leaving a prefix
        # of the merge. Inputs elsewhere make the system refuse (EXDEV): the normal way.
        os.mkdir(self.path("small"))
        if ON_WINDOWS or os.geteuid() != 0 or shutil.which("mount") is None or subprocess.run(
                ["mount", "-t", "tmpfs", "-o", "size=512k", "tmpfs", self.path("small")],
                capture_output=True).returncode != 0:
            self.skipTest("needs root and mount for a small file system")
        self.addCleanup(subprocess.run, ["umount", self.path("small")], check=True)
        first = big_model(5000, 4999, b"first")  # a 299 940-byte network section
        second = b"@3\r\n" + b"B\r\n" * 4999
        merged = first[:-60] + second
        for where in ("", "small/"):
            with self.subTest(inputs=where or "elsewhere"):
                self.write(where + "a.mo", first)
                self.write(where + "b.mo", second)
                result = self.run_tool(where + "a.mo", where + "b.mo", "small/c.mo")
                output = self.read("small/c.mo")
                os.remove(self.path("small/c.mo"))
                if where:
                    self.assertFailure(result, "Disk full", stdout=b"")
                    self.assertLess(len(output), len(merged))
                    self.assertEqual(output, merged[:len(output)])
                else:
                    self.assertRun(result, stdout=created("small/c.mo"))
                    self.assertEqual(output, merged)

    def test_output_over_the_file_size_limit(self):
        def limit():  # as `ulimit -f 64` does: SIGXFSZ keeps its default action, ending the process
            signal.signal(signal.SIGXFSZ, signal.SIG_DFL)
            resource.setrlimit(resource.RLIMIT_FSIZE, (64 * 1024, 64 * 1024))
        result = self.run_tool("a.mo", "b.mo", "c.mo", preexec_fn=limit)
        self.assertFailure(result, "I/O error 223", stdout=b"")
        self.assertFiles({"a.mo": self.first, "b.mo": self.second})
        self.assertEqual(os.path.getsize(self.path("c.mo")), 64 * 1024)


class Permissions(FaultTestCase):
    def setUp(self):
        super().setUp()
        if ON_WINDOWS or os.geteuid() != 0 or shutil.which("setpriv") is None:
            self.skipTest("needs root and setpriv to run the tool unprivileged")
        probe = subprocess.run(UNPRIVILEGED + ["test", "-x", self.command()[0]],
                               stdin=subprocess.DEVNULL)
        if probe.returncode != 0:
            self.skipTest("the binary is not reachable for an unprivileged user")

    def test_unreadable_or_unwritable_files(self):
        os.mkdir(self.path("locked"), 0o555)
        os.mkdir(self.path("closed"), 0o700)
        self.write("closed/a.mo", FIRST)
        cases = [  # (arguments, setup, answer, c.mo before, exit code, stdout, message)
            (("a.mo", "b.mo", "c.mo"), ("a.mo", 0o000), b"", None, 1, b"", "File access denied"),
            (("a.mo", "b.mo", "c.mo"), ("b.mo", 0o200), b"", None, 1, b"", "File access denied"),
            (("a.mo", "b.mo", "c.mo"), ("c.mo", 0o444), b"y\r\n", OLD, 1, question() + b"\r\n",
             "File access denied"),
            (("a.mo", "b.mo", "locked/c.mo"), None, b"", None, 1, b"", "File access denied"),
            # A file behind a directory that cannot be searched cannot be probed: it is absent.
            (("closed/a.mo", "b.mo", "c.mo"), None, b"", None, 0,
             lines("File <closed/a.mo> does not exist in this directory.",
                   "Therefore K_Graft cannot proceed.") + PAUSE, None),
        ]
        for args, setup, answer, before, code, stdout, message in cases:
            with self.subTest(args=args, setup=setup):
                self.reset_output(before)
                for name in ("a.mo", "b.mo"):
                    os.chmod(self.path(name), 0o644)
                if setup:
                    os.chmod(self.path(setup[0]), setup[1])
                result = self.run_tool(*args, stdin=answer, wrap=UNPRIVILEGED)
                if code:
                    self.assertFailure(result, message, stdout=stdout)
                else:
                    self.assertRun(result, stdout=stdout)
                self.assertFiles({"a.mo": FIRST, "b.mo": SECOND, "c.mo": before,
                                  "locked/c.mo": None, "closed/a.mo": FIRST})


class OutputIsAnInput(FaultTestCase):
    def test_output_reaching_an_input_by_any_name_fails_before_truncating(self):
        os.link(self.path("a.mo"), self.path("hard.mo"))
        os.symlink("b.mo", self.path("soft.mo"))
        os.mkdir(self.path("sub"))
        for output in ("a.mo", "./a.mo", "sub/../b.mo", self.path("b.mo"), "hard.mo", "soft.mo"):
            with self.subTest(output=output):
                # No open waits, not even 45 s for the input's own lease to break.
                result = self.run_tool("a.mo", "b.mo", output, stdin=b"Y\r\n", timeout=10)
                self.assertFailure(result, "I/O error 32", stdout=question(output) + b"\r\n")
                self.assertFiles({"a.mo": FIRST, "b.mo": SECOND, "hard.mo": FIRST,
                                  "soft.mo": SECOND})


    @linux_only("overlay mounts and setpriv")
    def test_an_input_and_the_file_that_holds_its_data_beneath_an_overlay(self):
        # A file of the lower layer copied up, by a write or by chmod, is shown through the view
        # under the lower file's inode number, its data in the upper file: named as the output,
        # either way round, the other is refused before anything is emptied, by root (who holds
        # the inputs beneath) and by a user (who holds nothing), also where the overlay names
        # its layers by relative paths, which no one can follow, or has its upper layer on
        # another file system, where the view shows inode numbers of its own. A file not copied
        # up is the lower file; a metacopy overlay's touch leaves the data in the lower file.
        write, chmod = "printf 'N 1\\r\\n@3 up\\r\\n' >%s", "chmod 0666 %s"
        rows = [(k, c, i, o, u) for k in ("overlay", "relative overlay", "two-system overlay")
                for c in (write, chmod)
                for i, o in ((("v/a.mo", "v/b.mo"), "u/a.mo"), (("u/a.mo", "u/b.mo"), "v/a.mo"))
                for u in ([], UNPRIVILEGED)]
        rows += [(k, c, ("v/a.mo", "v/b.mo"), "l/a.mo", u)
                 for k, c in (("overlay", "true %s"), ("two-system overlay", "true %s"),
                              ("metacopy overlay", "touch -m -d @1000000000 %s"),
                              ("relative metacopy overlay", "touch -m -d @1000000000 %s"))
                 for u in ([], UNPRIVILEGED)]
        for kind, copy_up, inputs, output, user in rows:
            with self.subTest(kind=kind, copy_up=copy_up, inputs=inputs, output=output, user=user):
                scratch = "s%d" % len(os.listdir(self.dir))
                upper = self.mount_mirror(kind, scratch + "/v")[len(scratch) + 1:]  # u, t/u
                names = [scratch + "/" + n.replace("u/", upper + "/", 1) for n in inputs + (output,)]
                for name, text in (("a.mo", FIRST), ("b.mo", SECOND)):
                    self.write("%s/l/%s" % (scratch, name), text)
                    os.chmod(self.path("%s/l/%s" % (scratch, name)), 0o666)
                    subprocess.run(copy_up % ("%s/v/%s" % (scratch, name)), shell=True,
                                   cwd=self.dir, check=True)
                held = {name: self.read(name) for name in ("%s/%s/%s" % (scratch, d, n)
                        for d in ("l", upper, "v") for n in ("a.mo", "b.mo"))
                        if os.path.exists(self.path(name))}
                if user and subprocess.run(user + ["test", "-x", self.command()[0]]).returncode:
                    self.skipTest("the binary is not reachable for an unprivileged user")
                result = self.run_tool(*names, stdin=b"y\n", wrap=user)
                self.assertFailure(result, "I/O error 32", stdout=question(names[2]) + b"\r\n")
                self.assertFiles(held)
        # Another process's lease or flock on the upper file that holds a copied-up file's data is
        # on that file: named through the view, it is no output, and the lease is not broken.
        self.mount_mirror("overlay", "h/v")
        self.write("h/l/c.mo", OLD)
        subprocess.run(write % "h/v/c.mo", shell=True, cwd=self.dir, check=True)
        for how in ("read lease", fcntl.LOCK_SH):
            with self.subTest(hold=how), self.holding("h/u/c.mo", how):
                result = self.run_tool("a.mo", "b.mo", "h/v/c.mo", stdin=b"y\n")
                self.assertFailure(result, "I/O error 32", stdout=question("h/v/c.mo") + b"\r\n")
                self.assertFiles({"h/u/c.mo": lines("N 1", "@3 up")})

    @linux_only("loop mounts and setpriv")
    def test_the_image_that_an_input_s_file_system_is_mounted_from_is_no_output(self):
        # Replaced, the image would take every file of the mounted file system with it, the inputs
        # included: read-only (squashfs) or read and written through its loop device (ext4), as
        # root and as a user who may write it (the loop device's writes, which a user's probe
        # cannot see, no help).
        for kind, user in (("squashfs", []), ("squashfs", UNPRIVILEGED), ("ext4", UNPRIVILEGED)):
            with self.subTest(kind=kind, user=user):
                name = "%s%d" % (kind, len(user))
                self.mount_mirror(kind, name, {"a.mo": FIRST, "b.mo": SECOND})
                for input_name, text in (("a.mo", FIRST), ("b.mo", SECOND)):
                    if kind == "ext4":
                        self.write(name + "/" + input_name, text)
                image = os.path.join(self.images, name + ".img")
                os.chmod(self.images, 0o777)
                os.chmod(image, 0o666)
                size = os.path.getsize(image)  # a mounted ext4 writes its image on its own
                result = self.run_tool(name + "/a.mo", name + "/b.mo", image, stdin=b"y\n",
                                       wrap=user)
                self.assertFailure(result, "I/O error 32", stdout=question(image) + b"\r\n")
                self.assertEqual(os.path.getsize(image), size)
                self.assertFiles({name + "/a.mo": FIRST, name + "/b.mo": SECOND})


    @contextlib.contextmanager
    def holding(self, name, how, breaks=False):
        """Holds the file `name` for the block as another process would: `how` is a flock(2)
        operation, "map" (mapped writable, the file closed), "append" (open to append to) or a
        "read lease" or "write lease" (skips where none can be had). A lease must then be as it
        was, no break begun; with `breaks`, it must be being broken."""
        if how == "map":
            with open(self.path(name), "r+b") as f:
                held = mmap.mmap(f.fileno(), 0)
        else:
            held = os.open(self.path(name), os.O_WRONLY | os.O_APPEND if how == "append" else
                           os.O_RDONLY)
        lease = {"read lease": fcntl.F_RDLCK, "write lease": fcntl.F_WRLCK}.get(how)
        broken = []  # break signals of the lease
        try:
            if lease is not None:
                signal.signal(signal.SIGIO, lambda *_: broken.append(1))
                try:
                    fcntl.fcntl(held, fcntl.F_SETLEASE, lease)
                except OSError as e:
                    self.skipTest("no lease on this file system: %s" % e)
            elif how not in ("map", "append"):
                fcntl.flock(held, how)
            yield
            if lease is not None and breaks:
                self.assertNotEqual(fcntl.fcntl(held, fcntl.F_GETLEASE), lease)
            elif lease is not None:
                self.assertEqual((fcntl.fcntl(held, fcntl.F_GETLEASE), broken), (lease, []))
        finally:
            signal.signal(signal.SIGIO, signal.SIG_DFL)
            held.close() if how == "map" else os.close(held)

    @linux_only("shell redirections, FIFOs and flock")
    def test_files_in_use_by_a_standard_stream_or_another_process_are_refused_untouched(self):
        os.mkfifo(self.path("fifo.mo"))
        asked = question() + b"\r\n"
        ab = ("a.mo", "b.mo")
        # A run that sees an empty table of locks and leases, and whether this machine gives one.
        self.write("no-locks", b"")
        no_table = ["unshare", "-m", "sh", "-c", 'mount --bind "$0" /proc/locks && exec "$@"',
                    self.path("no-locks")]
        hidden = subprocess.run(no_table + ["cat", "/proc/locks"], capture_output=True, text=True)
        cases = [  # (inputs, stdout ("2:" stderr) appends to, lock, c.mo before, expected, c.mo,
            #        the command to run it through (as another user, without a table of locks))
            (ab, "c.mo", None, OLD, "I/O error 32", OLD + asked),
            (ab, "2:c.mo", None, OLD, "I/O error 32", OLD),  # the report is appended to it
            (ab, "a.mo", None, None, "I/O error 32", None),
            # Where no lease can be had (another owner's file), the standard streams still count.
            (ab, "2:a.mo", None, None, "I/O error 32", None, UNPRIVILEGED),
            (ab, None, ("a.mo", fcntl.LOCK_EX), None, "I/O error 32", None),
            (ab, None, ("c.mo", fcntl.LOCK_SH), OLD, "I/O error 32", OLD),
            (ab, None, ("a.mo", fcntl.LOCK_SH), OLD, asked + created(), MERGED),  # readers share
            (ab, None, ("b.mo", "map"), None, "I/O error 32", None),  # mapped for writing
            (ab, None, ("c.mo", "append"), OLD, "I/O error 32", OLD),  # a logger appends to it
            # A lease that an open would break (a file server's, an indexer's): refused unopened,
            # so that its holder is not told to give it up.
            (ab, None, ("c.mo", "read lease"), OLD, "I/O error 32", OLD),
            (ab, None, ("a.mo", "write lease"), None, "I/O error 32", None),
            # Where the table cannot be read, the open itself, which waits for no lease, is
            # refused: still 32, but the holder is told to give its lease up.
            (ab, None, ("c.mo", "read lease"), OLD, "I/O error 32", OLD, no_table),
            (ab, None, ("a.mo", "write lease"), None, "I/O error 32", None, no_table),
            # The table's open interrupted by a signal (through the shim) is made again.
            (ab, None, ("a.mo", "write lease"), None, "I/O error 32", None, "interrupted"),
            # Inputs that cannot be read twice are no model files, and nothing waits on them.
            (("fifo.mo", "/dev/zero"), None, None, OLD,
             lines("Files <fifo.mo> and </dev/zero> do not exist in this directory.",
                   "Therefore K_Graft cannot proceed.") + PAUSE, OLD),
        ]
        for inputs, sink, lock, before, expected, after, *user in cases:
            with self.subTest(sink=sink, lock=lock, inputs=inputs, user=user):
                if user == ["interrupted"]:
                    user = [self.shim() + ["KG_INTERRUPT=/proc/locks"]]
                elif user and (os.geteuid() != 0 or shutil.which(user[0][0]) is None):
                    self.skipTest("needs root and %s to run the tool" % user[0][0])
                if user and user[0] is no_table and (hidden.returncode or hidden.stdout):
                    self.skipTest("no /proc/locks of its own here: %s" % hidden.stderr.strip())
                self.reset_output(before)
                os.chmod(self.path("a.mo"), 0o666 if user else 0o644)
                stream, _, name = (sink or "").rpartition(":")
                kept = self.read(name) if stream else b""
                with self.holding(*lock, breaks=bool(user) and user[0] is no_table) if lock else \
                        contextlib.nullcontext(), open(self.path(name) if sink else os.devnull,
                                                       "ab") as out:
                    into = {"stderr" if stream else "stdout": out} if sink else {}
                    result = self.run_tool(*inputs, "c.mo", stdin=b"y\n", timeout=10,
                                           wrap=user[0] if user else None, **into)
                if stream:  # the report follows the old text of the file standard error appends to
                    result.stderr = self.read(name)[len(kept):]
                    self.write(name, kept)
                if isinstance(expected, bytes):
                    self.assertRun(result, stdout=expected)
                else:
                    self.assertFailure(result, expected, stdout=None if sink and not stream
                                       else asked if before else b"")
                self.assertFiles({"a.mo": FIRST, "b.mo": SECOND, "c.mo": after})



    # Holds write leases as another program would, in a session of its own, with `how`:
    # "forked" leases the first file, forks (the child keeps the lease), closes its own descriptor
    # and leases the second; "dup'ed" dups the second's descriptor too; "passed" hands the first
    # to another process over a unix socket instead; "gone" forks and ends; "two" takes read leases
    # on both. Says "ready"; once its standard input ends, every process holding a lease says
    # whether each is as set, no break begun and no SIGIO got.
    HOLDER = """import fcntl, os, signal, socket, sys
how, first, second = sys.argv[1:]
kind, signals = fcntl.F_RDLCK if how == "two" else fcntl.F_WRLCK, []
ours, theirs = socket.socketpair()
signal.signal(signal.SIGIO, lambda *_: signals.append(1))
def lease(name):
    fcntl.fcntl(fd := os.open(name, os.O_RDONLY), fcntl.F_SETLEASE, kind)
    return fd
def hold(*fds):
    sys.stdin.buffer.read()
    now = [fcntl.fcntl(fd, fcntl.F_GETLEASE) for fd in fds]
    os.write(1, b"kept\\n" if now == [kind] * len(fds) and not signals else b"lost %r\\n" % now)
    os._exit(0)
if how == "passed" and os.fork() == 0:
    fd = socket.recv_fds(theirs, 1, 1)[1][0]
    theirs.send(b"k")
    hold(fd)
fd = lease(first)
if how == "passed":
    socket.send_fds(ours, [b"x"], [fd])
    ours.recv(1)
elif how != "two" and os.fork() == 0:
    hold(fd)
if how != "two":
    os.close(fd)
fds = () if how == "gone" else (fd, lease(second)) if how == "two" else (lease(second),)
if how == "dup'ed":
    os.dup(fds[0])
os.write(1, b"ready\\n")
if how == "gone":
    os._exit(0)
hold(*fds)
"""

    @contextlib.contextmanager
    def handed_on(self, how, first, second):
        """Holds leases on the files `first` and `second` for the block as HOLDER does; then every
        lease must be as set. Its processes are killed however the block ends."""
        holder = subprocess.Popen([sys.executable, "-c", self.HOLDER, how, self.path(first),
                                   self.path(second)], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, start_new_session=True)
        told = b""
        try:
            self.assertEqual(holder.stdout.readline(), b"ready\n")
            if how == "gone":
                holder.wait()
            yield
            holder.stdin.close()
            told = holder.stdout.read()  # to the end: every holder has ended
            self.assertEqual(told, b"kept\n" * (1 if how in ("gone", "two") else 2))
        finally:
            if not told:
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(holder.pid, signal.SIGKILL)
            holder.wait()
            holder.stdin.close()
            holder.stdout.close()

    @linux_only("btrfs, flock and leases")
    def test_a_lock_counts_only_for_its_own_file_of_btrfs_subvolumes(self):
        # Snapshots v1 and v2 of the subvolume p number their files as p does, and the table of
        # locks names all by the file system's device. A flock or a lease on p's file refuses
        # nothing of a run on v1's (the holder keeps its lease), nor do leases on p's and v2's
        # files both, or on two opens of p's where kcmp(2) tells them apart; on v1's own file it
        # refuses the run, the holder untouched, as does a lease whose holder's open files do not
        # account for every lease the table names by its pid (one handed on, or its holder gone),
        # cannot be read (root's, for a run as nobody), or where the run's mount table shows
        # nothing (the file's mount not found).
        self.mount_mirror("btrfs", "fs")
        subprocess.run(["btrfs", "-q", "subvolume", "create", self.path("fs/p")], check=True)
        for name, data in (("a.mo", FIRST), ("b.mo", SECOND), ("c.mo", OLD)):
            self.write("fs/p/" + name, data)
        for snapshot in ("fs/v1", "fs/v2"):
            subprocess.run(["btrfs", "-q", "subvolume", "snapshot", self.path("fs/p"),
                            self.path(snapshot)], check=True)
        self.write("no-mounts", b"")
        no_mounts = ["unshare", "-m", "sh", "-c",
                     'mount --bind "$0" /proc/$$/mountinfo && exec "$@"', self.path("no-mounts")]
        with open(os.devnull) as probe:  # whether kcmp(2) compares open files here
            number = {"x86_64": 312, "aarch64": 272, "riscv64": 272}.get(platform.machine(), -1)
            kcmp = ctypes.CDLL(None).syscall(number, os.getpid(), os.getpid(), 0, probe.fileno(),
                                             probe.fileno()) == 0
        asked = question("fs/v1/c.mo") + b"\r\n"
        handed = ("v1/a.mo", "p/a.mo")
        for held, how, code, after, *wrap in (
                ("p/c.mo", fcntl.LOCK_EX, 0, MERGED), ("p/c.mo", "read lease", 0, MERGED),
                ("p/a.mo", fcntl.LOCK_EX, 0, MERGED), ("p/a.mo", "write lease", 0, MERGED),
                (("p/c.mo", "v2/c.mo"), "two", 0, MERGED),
                (("p/c.mo",) * 2, "two", 0 if kcmp else "I/O error 32", MERGED if kcmp else OLD),
                ("v1/c.mo", fcntl.LOCK_SH, "I/O error 32", OLD),
                ("v1/c.mo", "read lease", "I/O error 32", OLD),
                ("v1/a.mo", "write lease", "I/O error 32", OLD),
                (handed, "forked", "I/O error 32", OLD), (handed, "dup'ed", "I/O error 32", OLD),
                (handed, "passed", "I/O error 32", OLD), (handed, "gone", "I/O error 32", OLD),
                ("v1/a.mo", "write lease", "I/O error 32", OLD, UNPRIVILEGED),
                ("v1/a.mo", "write lease", "I/O error 32", OLD, no_mounts),
                ("p/a.mo", "write lease", "I/O error 32", OLD, no_mounts)):
            with self.subTest(held=held, how=how, wrap=wrap):
                if wrap and shutil.which(wrap[0][0]) is None:
                    self.skipTest("needs %s to run the tool" % wrap[0][0])
                tried = subprocess.run(wrap[0] + ["true"], capture_output=True, text=True) \
                    if wrap else None
                if tried and tried.returncode:
                    self.skipTest("%s refused here: %s" % (wrap[0][0], tried.stderr.strip()))
                self.write("fs/v1/c.mo", OLD)
                os.chmod(self.path("fs/v1/c.mo"), 0o666)  # for nobody
                with self.holding("fs/" + held, how) if isinstance(held, str) else \
                        self.handed_on(how, *("fs/" + name for name in held)):
                    result = self.run_tool("fs/v1/a.mo", "fs/v1/b.mo", "fs/v1/c.mo", stdin=b"y\n",
                                           timeout=10, wrap=wrap[0] if wrap else None)
                if code:
                    self.assertFailure(result, code, stdout=asked)
                else:
                    self.assertRun(result, stdout=asked + created("fs/v1/c.mo"))
                self.assertFiles({"fs/p/a.mo": FIRST, "fs/p/c.mo": OLD, "fs/v1/a.mo": FIRST,
                                  "fs/v2/c.mo": OLD, "fs/v1/c.mo": after})


class OtherProcesses(FaultTestCase):
    """Other processes acting on the files while the tool runs. The scratch directory lies where
    inputs are held against writers (see ToolTestCase.lease_place)."""

    held_inputs = True

    # Shell commands that write "W" over the first byte of a file as a writer that waits for the
    # tool: at once, or (BEHIND) only after asking without waiting, in the background, keeping the
    # tool's standard output open until it is done, so that the run's output ends after it.
    WRITE = "printf W | dd of=%s conv=notrunc status=none"
    BEHIND = "truncate -s +0 %s 2>/dev/null; " + WRITE + " &"
    # A command that empties a file by an open for reading, which ends no lease.
    EMPTY = "python3 -c 'import os; os.open(\"%s\", os.O_RDONLY | os.O_TRUNC)'"
    # A command that rewrites a file in place as `cp -p` does, with "W" for its first byte: the
    # same size and modification time.
    SAME = ("cp {0} same && printf W | dd of=same conv=notrunc status=none && touch -r {0} same && "
            "cp -p same {0} && rm same")

    # Run in a session of its own by patience(), sharing its lock on the setting: puts the old
    # lease-break-time back once the test process has gone, however it ended, unless told "back".
    GUARDIAN = """import os, signal, sys
for number in (signal.SIGHUP, signal.SIGINT, signal.SIGTERM):
    signal.signal(number, signal.SIG_IGN)
setting, pipe, before = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
said = got = os.read(pipe, 16)
while got:
    got = os.read(pipe, 16)
    said += got
if said != b"back":
    os.pwrite(setting, before.encode(), 0)
"""

    @contextlib.contextmanager
    def patience(self, seconds=None):
        """Runs the block with the system's lease-break-time alone, other test runs kept from
        changing it meanwhile; with `seconds`, set to that (skipped where it cannot be set) and put
        back when the block ends, or by a guardian when the test process is killed."""
        try:
            setting = open("/proc/sys/fs/lease-break-time", "r+" if seconds else "r")
        except OSError as e:
            self.skipTest("cannot set the lease-break-time: %s" % e)
        with setting:
            fcntl.flock(setting, fcntl.LOCK_EX)
            before = setting.read()
            if not seconds:
                yield
                return
            told, tell = os.pipe()
            guardian = subprocess.Popen(
                [sys.executable, "-c", self.GUARDIAN, str(setting.fileno()), str(told), before],
                pass_fds=(setting.fileno(), told), start_new_session=True,
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            os.close(told)
            try:
                os.pwrite(setting.fileno(), b"%d" % seconds, 0)
                yield
            finally:
                os.pwrite(setting.fileno(), before.encode(), 0)
                os.write(tell, b"back")
                os.close(tell)
                guardian.wait()

    def test_a_writer_of_an_input_is_let_in_before_the_pause(self):
        # A writer asks for a.mo during its count and waits; after unequal counts every writer
        # gets in while the tool waits for Enter, long before the system's patience (45 s) ends:
        # also through a mount whose leases cannot be trusted (an overlay), where none is kept.
        wrap = self.shim()
        for where in (".", "ov"):
            with self.subTest(where=where):
                a = where + "/a.mo"
                behind = ["KG_AT_FIRST_END=" + self.BEHIND % (a, a)]
                if where != ".":  # a writer there gets in at once, and the run fails
                    self.mount_mirror("overlay", where)
                    behind = []
                self.write(a, FIRST)
                self.write(where + "/b.mo", SECOND + b"B 4\r\n")
                with self.patience():
                    tool = subprocess.Popen(
                        wrap + behind + self.command(a, where + "/b.mo", "c.mo"), cwd=self.dir,
                        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
                    said = tool.stdout.read(128)  # the first block goes out with the pause line
                    try:  # no lease is left to make a writer wait
                        os.close(os.open(self.path(a), os.O_WRONLY | os.O_NONBLOCK))
                        waits = False
                    except BlockingIOError:
                        waits = True
                    subprocess.run(self.WRITE % a, shell=True, cwd=self.dir, timeout=60, check=True)
                    said += tool.communicate(b"\n")[0]
                self.assertEqual((said.count(b"does not dare"), tool.returncode, waits),
                                 (1, 0, False))
                self.assertFiles({a: b"W" + FIRST[1:], "c.mo": None})

    def test_a_change_by_another_process_fails_the_run_or_leaves_the_counted_merge(self):
        wrap = self.shim()
        big = big_model(5000, 4000, b"first")  # sections over a block: copied inside the system
        big_second = big_model(5000, 1000, b"second")
        big_merged = big[:4000 * 60] + big_second[1000 * 60:]
        far = big_model(5000, 4500, b"second")  # its marker line lies past the first read block
        far_merged = big[:4000 * 60] + far[4500 * 60:]
        lf_big = big_model(5000, 4999, b"first").replace(b"\r\n", b"\n")  # read 2 cuts a line
        cut = lf_big[:256 * 1024].replace(b"\n", b"\r\n")
        lf_merged = big_model(5000, 4999, b"first")[:4999 * 60] + big_second[1000 * 60:]
        w = lambda data: b"W" + data[1:]
        # A second run names a.mo, which this run holds, as its output, twice, past the
        # lease-break-time: refused both times without troubling this run.
        again = "printf 'y\\n' | %s b.mo b.mo a.mo >/dev/null 2>>second.err" % " ".join(
            shlex.quote(word) for word in self.command())
        second_run = "%s; sleep 1.5; %s; grep -c 'I/O error 32' second.err >refused" % (again,
                                                                                         again)
        # So as a user who may write a.mo but not read it.
        again = again.replace("| ", "| %s " % " ".join(UNPRIVILEGED), 1)
        unprivileged_run = "%s; sleep 1.5; %s; grep -c 'I/O error 32' second.err >refused" % (
            again, again)
        cases = [  # (KG_ variables, a.mo, b.mo, exit code or message, files after)
            # The counted file is the one merged; an output that appeared meanwhile is kept.
            ({"AT_FIRST_END": r"printf 'N 0\r\n' | cat - a.mo >new.mo && mv new.mo a.mo"},
             FIRST, SECOND, 0, {"a.mo": b"N 0\r\n" + FIRST, "c.mo": MERGED}),
            ({"AT_FIRST_END": r"printf 'old output\r\n' >c.mo"}, FIRST, SECOND, "I/O error 80",
             {"c.mo": OLD}),
            # A writer of a.mo waits, and the merge is that of a.mo as counted.
            ({"AT_FIRST_END": self.BEHIND % ("a.mo", "a.mo")}, big, big_second, 0,
             {"a.mo": w(big), "c.mo": big_merged}),
            ({"COPY_ERRNO": "1"}, big, big_second, 0, {"c.mo": big_merged}),  # refused: EPERM
            ({"FAIL_READ": "2"}, lf_big, big_second, "I/O error 1117", {"c.mo": cut}),
            # A writer that the system lets in, out of patience, while a call of the merge is held
            # fails the run where that input is let go; the output keeps what was written.
            ({"AT_WRITE": self.WRITE % "a.mo"}, lf_big, big_second, "I/O error 32",
             {"a.mo": w(lf_big), "c.mo": big_model(5000, 4999, b"first")[:4999 * 60]}),
            ({"AT_WRITE": self.SAME.format("a.mo")}, lf_big, big_second, "I/O error 32",
             {"a.mo": w(lf_big), "c.mo": big_model(5000, 4999, b"first")[:4999 * 60]}),
            ({"AT_COPY": self.WRITE % "b.mo"}, big, big_second, "I/O error 32",
             {"b.mo": w(big_second), "c.mo": big_merged}),
            ({"AT_SEEK": self.WRITE % "b.mo"}, big, far, "I/O error 32",
             {"b.mo": w(far), "c.mo": far_merged}),
            # So does an input emptied by an open for reading, which no lease sees.
            ({"AT_WRITE": self.EMPTY % "a.mo"}, lf_big, big_second, "I/O error 32",
             {"a.mo": b"", "c.mo": cut + b"\r\n"}),
            ({"AT_COPY": self.EMPTY % "a.mo"}, big, big_second, "I/O error 32",
             {"a.mo": b"", "c.mo": b""}),
            ({"AT_SEEK": self.EMPTY % "b.mo"}, big, far, "I/O error 32",
             {"b.mo": b"", "c.mo": big[:4000 * 60]}),
            ({"AT_WRITE": second_run}, lf_big, big_second, 0,
             {"c.mo": lf_merged, "refused": b"2\n", "second.err": None}),
            ({"AT_WRITE": unprivileged_run}, lf_big, big_second, 0,
             {"c.mo": lf_merged, "refused": b"2\n", "second.err": None}, "chmod 602 a.mo"),
            # A symbolic link to another file put in place of the output after its checks: that
            # file was never checked, and is left alone.
            ({"SWAP_WRITE": "c.mo", "SWAP_TO": "other.mo"}, FIRST, SECOND, "I/O error 32",
             {"c.mo": b"other", "other.mo": b"other"}, "printf old >c.mo; printf other >other.mo"),
            # An input that became a device or a directory after the probe is never read.
            ({"SWAP": "b.mo"}, FIRST, SECOND, "File not found", {"b.mo": None, "c.mo": None}),
            ({"SWAP": "b.mo", "SWAP_TO": "."}, FIRST, SECOND, "File not found",
             {"b.mo": None, "c.mo": None}),
        ]
        def inputs(where, first, second):  # in place of whatever a row before left there
            for name in ("a.mo", "b.mo", "c.mo", "refused", "second.err", "other.mo"):
                if os.path.lexists(self.path(name)):
                    os.remove(self.path(name))
            self.write(where + "/a.mo", first)
            self.write(where + "/b.mo", second)

        for env, first, second, code, after, *setup in cases:
            with self.subTest(env=env):
                if "setpriv" in str(env) and subprocess.run(
                        UNPRIVILEGED + ["test", "-x", self.command()[0]]).returncode:
                    self.skipTest("the binary is not reachable for an unprivileged user")
                inputs(".", first, second)
                if setup:
                    subprocess.run(setup[0], shell=True, cwd=self.dir, check=True)
                asked = question() + b"\r\n" if os.path.exists(self.path("c.mo")) else b""
                with self.patience(1 if {"AT_WRITE", "AT_COPY", "AT_SEEK"} & env.keys() else None):
                    result = self.run_tool("a.mo", "b.mo", "c.mo", stdin=b"y\n", timeout=20,
                                           wrap=wrap + ["KG_%s=%s" % kv for kv in env.items()])
                if code:
                    self.assertFailure(result, code, stdout=asked)
                else:
                    self.assertRun(result, stdout=asked + created())
                if "SWAP" in env:  # b.mo is the link the shim made
                    self.assertEqual(os.readlink(self.path("b.mo")), env.get("SWAP_TO",
                                                                             "/dev/zero"))
                    os.remove(self.path("b.mo"))
                if "SWAP_WRITE" in env:  # so is c.mo
                    self.assertEqual(os.readlink(self.path("c.mo")), env["SWAP_TO"])
                if "second.err" in after:
                    os.remove(self.path("second.err"))
                self.assertFiles(dict({"a.mo": first, "b.mo": second, "new.mo": None}, **after))

        # Only an input held since its open (here, or on a ramfs) takes a shortcut past its
        # lines: one that another user may read but not lease, or one where writers may get in
        # unseen (an overlay or a FUSE mirror, written beneath), is read line by line, with no seek
        # and no copy. Beneath a mirror the text is still verified, and that file is no output.
        mirrors = {"ov": "overlay", "mnt": "bindfs", "ram": "ramfs"}
        for where, user, calls in [(".", [], ["copy", "seek"]), (".", UNPRIVILEGED, []),
                                   ("ram", [], ["copy", "seek"]), ("ov", [], []), ("mnt", [], [])]:
            with self.subTest(where=where, user=user):
                if user and subprocess.run(user + ["test", "-x", self.command()[0]]).returncode:
                    self.skipTest("the binary is not reachable for an unprivileged user")
                beneath = where
                if where != ".":
                    beneath = self.mount_mirror(mirrors[where], where)
                inputs(where, big, far)
                self.write("log", b"")
                os.chmod(self.path("log"), 0o666)
                result = self.run_tool(where + "/a.mo", where + "/b.mo", "c.mo", wrap=user + wrap +
                                       ["KG_CALL_LOG=" + self.path("log")])
                self.assertRun(result, stdout=created())
                self.assertFiles({"c.mo": far_merged})
                self.assertEqual(sorted(set(self.read("log").decode().split())), calls)
                if where in (".", "ram"):
                    continue
                grow = "printf 'B 5\\r\\nB 6\\r\\n' >>%s/b.mo" % beneath
                result = self.run_tool(where + "/a.mo", where + "/b.mo", "c.mo", stdin=b"y\n",
                                       wrap=wrap + ["KG_AT_WRITE=" + grow])
                self.assertFailure(result, "I/O error 32", stdout=None)
                self.write(beneath + "/b.mo", far)
                result = self.run_tool(where + "/a.mo", where + "/b.mo", beneath + "/a.mo",
                                       stdin=b"y\n")
                self.assertFailure(result, "I/O error 32",
                                   stdout=question(beneath + "/a.mo") + b"\r\n")
                self.assertFiles({beneath + "/a.mo": big, beneath + "/b.mo": far})
                # A second run names as its output, by its other name through or beneath the
                # overlay, a file that a running run holds: an input, the output. It is refused.
                names = (("ov/c.mo", "u/a.mo"), ("u/c.mo", "ov/c.mo")) if where == "ov" else ()
                for first, second in names:
                    for name in ("ov/c.mo", "second.err"):  # through the view, which sees it go
                        if os.path.exists(self.path(name)):
                            os.remove(self.path(name))
                    run = "printf 'y\\n' | %s ov/b.mo ov/b.mo %s >/dev/null 2>>second.err" % (
                        " ".join(shlex.quote(word) for word in self.command()), second)
                    result = self.run_tool(where + "/a.mo", where + "/b.mo", first,
                                           wrap=wrap + ["KG_AT_WRITE=" + run])
                    self.assertRun(result, stdout=created(first))
                    self.assertFiles({first: far_merged, "u/a.mo": big})
                    self.assertIn(b"I/O error 32", self.read("second.err"))


    def test_an_input_read_unheld_is_verified_by_its_bytes(self):
        # Read through an overlay, or by a user who may not lease it, an input is held by nothing.
        # Rewritten between its count and the merge by cp -p (the same size and time), it fails
        # the run; touched, or left alone, it gives the exact merge.
        wrap = self.shim()
        first = b"N 1\rx\r\nN 2\r\n@3 first\r\nB 1\x1a tail\r\n"
        second = b"N x\r\n@3 second\r\nB 2\rB\r\nB 3"
        merged = lines("N 1x", "N 2", "@3 second", "B 2B", "B 3")
        for where, user in (("ov", []), (".", UNPRIVILEGED)):
            if user and subprocess.run(user + ["test", "-x", self.command()[0]]).returncode:
                self.skipTest("the binary is not reachable for an unprivileged user")
            if where != ".":
                self.mount_mirror("overlay", where)
            for change, name, code, output in (
                    (None, "", 0, merged), ("touch -c %s", "a.mo", 0, merged),
                    (self.SAME, "a.mo", "I/O error 32", lines("W 1x", "N 2")),
                    (self.SAME, "b.mo", "I/O error 32", merged)):
                with self.subTest(where=where, user=user, change=change, name=name):
                    for input_name, text in (("a.mo", first), ("b.mo", second)):
                        self.write(where + "/" + input_name, text)
                    if os.path.exists(self.path("c.mo")):
                        os.remove(self.path("c.mo"))
                    # The tool, at its rewind, waits while this process (root) makes the change.
                    asked, tell = os.pipe()
                    told, go = os.pipe()
                    tool = subprocess.Popen(
                        user + wrap + ["KG_AT_REWIND=echo >&%d; read x <&%d" % (tell, told)] +
                        self.command(where + "/a.mo", where + "/b.mo", "c.mo"), cwd=self.dir,
                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                        pass_fds=(tell, told))
                    os.close(tell)
                    os.close(told)
                    if os.read(asked, 1) and change:
                        subprocess.run(change.format(where + "/" + name) if "{" in change else
                                       change % (where + "/" + name), shell=True, cwd=self.dir,
                                       check=True)
                    os.close(go)
                    os.close(asked)
                    stdout, stderr = tool.communicate(timeout=60)
                    result = Result(stdout, stderr, tool.returncode)
                    if code:
                        self.assertFailure(result, code)
                    else:
                        self.assertRun(result, stdout=created())
                    self.assertEqual(self.read("c.mo"), output)
                    changed = {name: b"W" + dict(a=first, b=second)[name[0]][1:]} if code else {}
                    self.assertFiles(dict({where + "/a.mo": first, where + "/b.mo": second},
                                          **{where + "/" + k: v for k, v in changed.items()}))

    def test_an_input_read_unheld_cut_and_put_back_during_the_merge_fails(self):
        # Cut while the merge reads it, then put back as it was before its let-go (a tool that
        # rewrites the file in place), an input read unheld holds the counted bytes again, but the
        # merge met its end early: 32, no completion line, no warning of a missing marker. Each
        # input ends in a byte 26, so that only a read of the merge meets an end. Left alone, the
        # inputs (without the byte 26) merge.
        wrap = self.shim()
        for where, user in (("ov", []), (".", UNPRIVILEGED)):
            if user and subprocess.run(user + ["test", "-x", self.command()[0]]).returncode:
                self.skipTest("the binary is not reachable for an unprivileged user")
            if where != ".":
                self.mount_mirror("overlay", where)
            for cut, a_marker, tail in (("b.mo", 1, b"\x1a"), ("a.mo", 19000, b"\x1a"),
                                        (None, 1, b"")):
                with self.subTest(where=where, user=user, cut=cut):
                    a = big_model(20000, a_marker, b"first") + tail
                    b = big_model(20000, 1, b"second") + tail
                    merged = a[:a_marker * 60] + b[60:20000 * 60]
                    for name, text in (("a.mo", a), ("b.mo", b)):
                        for suffix in (".mo", ".save"):
                            self.write(where + "/" + name[0] + suffix, text)
                            os.chmod(self.path(where + "/" + name[0] + suffix), 0o666)
                    if os.path.exists(self.path("c.mo")):
                        os.remove(self.path("c.mo"))
                    env = ["KG_AT_REWIND=truncate -s 300000 %s/%s" % (where, cut),
                           "KG_AT_FIRST_END=cp %s/%s.save %s/%s" % (where, cut[0], where, cut)
                           ] if cut else []
                    result = self.run_tool(where + "/a.mo", where + "/b.mo", "c.mo",
                                           wrap=user + wrap + env)
                    if cut:
                        self.assertFailure(result, "I/O error 32")
                        output = self.read("c.mo")
                        self.assertTrue(merged.startswith(output) and len(output) < len(merged))
                    else:
                        self.assertRun(result, stdout=created())
                        self.assertEqual(self.read("c.mo"), merged)
                    self.assertFiles({where + "/a.mo": a, where + "/b.mo": b})

    def test_twins_on_two_devices_are_two_files(self):
        # cp -p of the inputs onto another tmpfs, which numbers its inodes as the first did, gives
        # files with the inputs' inode numbers, sizes and times: named as the output, such a twin
        # is replaced by the merge. So is a file on another device with an input's inode number
        # and time but not its size, the input seen through an overlay.
        for t in ("t1", "t2"):
            self.mount_mirror("tmpfs", t)
        self.write("t1/a.mo", FIRST)
        self.write("t1/b.mo", SECOND)
        subprocess.run("cp -p t1/a.mo t1/b.mo t2/", shell=True, cwd=self.dir, check=True)
        if os.stat(self.path("t1/a.mo")).st_ino != os.stat(self.path("t2/a.mo")).st_ino:
            self.skipTest("this system numbers the inodes of two tmpfs mounts apart")
        self.mount_mirror("overlay", "t1/ov")
        self.write("t1/ov/a.mo", FIRST)
        self.write("t1/ov/b.mo", SECOND)
        target = os.stat(self.path("t1/ov/a.mo"))
        for n in range(64):  # a file of t2 takes the next inode number: find a.mo's
            self.write("t2/n%d" % n, b"other")
            if os.stat(self.path("t2/n%d" % n)).st_ino == target.st_ino:
                os.utime(self.path("t2/n%d" % n), ns=(target.st_atime_ns, target.st_mtime_ns))
                os.rename(self.path("t2/n%d" % n), self.path("t2/c.mo"))
                break
        else:
            self.skipTest("no file of the second tmpfs took the inode number %d" % target.st_ino)
        for inputs, output in ((("t1/a.mo", "t1/b.mo"), "t2/a.mo"),
                               (("t1/ov/a.mo", "t1/ov/b.mo"), "t2/c.mo")):
            with self.subTest(inputs=inputs, output=output):
                result = self.run_tool(*inputs, output, stdin=b"y\n")
                self.assertRun(result, stdout=question(output) + b"\r\n" + created(output))
                self.assertFiles({"t1/a.mo": FIRST, "t1/b.mo": SECOND, "t1/ov/a.mo": FIRST,
                                  output: MERGED})

    def test_each_local_file_system_type_that_this_kernel_mounts(self):
        # Each type a test can make is local, as the table must say: an input there is held (the
        # shim sees the shortcuts only a held input takes) where a lease can be had, and a file
        # with an input's inode number, size and time on a second mount of the type (of a
        # read-only type, on a tmpfs), named as the output, is another file: the question, then
        # the merge.
        wrap = self.shim()
        big, far = big_model(5000, 4000, b"first"), big_model(5000, 4500, b"second")
        with open("/proc/filesystems") as known:
            kernel = known.read().split()
        tested = []
        for kind in list(IMAGE_MAKERS) + list(READ_ONLY_IMAGE_MAKERS) + ["tmpfs", "ramfs"]:
            with self.subTest(type=kind):
                if kind not in kernel:
                    self.skipTest("this kernel mounts no %s" % kind)
                one, two = "fs-%s/1" % kind, "fs-%s/2" % kind
                self.mount_mirror(kind, one, {"a.mo": big, "b.mo": far})
                inputs = (one + "/a.mo", one + "/b.mo")
                with open(self.path(inputs[0])) as input_file:
                    try:
                        fcntl.fcntl(input_file, fcntl.F_SETLEASE, fcntl.F_RDLCK)
                        leased = True
                    except OSError:
                        leased = False
                self.write("log", b"")
                result = self.run_tool(*inputs, kind + ".mo",
                                       wrap=wrap + ["KG_CALL_LOG=" + self.path("log")])
                self.assertRun(result, stdout=created(kind + ".mo"))
                self.assertEqual(sorted(set(self.read("log").decode().split())),
                                 ["copy", "seek"] if leased else [])
                tested.append(kind)
                self.mount_mirror("tmpfs" if kind in READ_ONLY_IMAGE_MAKERS else kind, two)
                for input_name, n in [(i, n) for i in inputs for n in range(128)]:
                    input_status, output = os.stat(self.path(input_name)), two + "/n%d" % n
                    self.write(output, b"")  # a new file takes the next inode number
                    if os.stat(self.path(output)).st_ino == input_status.st_ino:
                        self.write(output, self.read(input_name))
                        os.utime(self.path(output), ns=(input_status.st_atime_ns,
                                                        input_status.st_mtime_ns))
                        break
                else:
                    self.skipTest("no file of a second %s took an input's inode number" % kind)
                result = self.run_tool(*inputs, output, stdin=b"y\n")
                self.assertRun(result, stdout=question(output) + b"\r\n" + created(output))
                self.assertFiles({inputs[0]: big, inputs[1]: far,
                                  output: big[:4000 * 60] + far[4500 * 60:]})
                tested[-1] += " (its twins too)"
        untested = [name for name, _ in LOCAL_FILE_SYSTEMS.values()
                    if not any(kind.split()[0] in name.split("/") for kind in tested)]
        print("\nLocal file system types tested: %s; not here: %s." % (
            ", ".join(tested) or "none", ", ".join(untested)), file=sys.stderr)

class UnusualInputs(FaultTestCase):
    def test_bytes_0_255_26_and_lone_carriage_returns(self):
        warning = lines("Warning: the string <@3> is not found in file {}.", "This is an error.")
        cases = [  # (first, second, merged, warned about)
            (b"\x00\xff\x00\r\n@3\x00\r\n", b"\xff\xfe\n@3\xff\x00\n",
             b"\x00\xff\x00\r\n@3\xff\x00\r\n", ()),
            # A byte 26 ends the text, also in the middle of a line.
            (b"N\r\n@3\r\n\x1aGARBAGE\r\nmore\r\n", b"x\n@3 b\x1a tail\nignored\n",
             b"N\r\n@3 b\r\n", ()),
            # A lone CR is no line end and is dropped, also between the marker's two characters.
            (b"A\rB\r\n@3\r\n", b"C\r\n@\r3 z\r", b"AB\r\n@3 z\r\n", ()),
            (b"\x1a@3\r\n", b"\x1a", b"", ("a.mo", "b.mo")),
            (b"\x00\r\n\xff", b"\x1a\n@3\n", None, ()),  # 2 lines against none: refused
        ]
        for first, second, merged, warned in cases:
            with self.subTest(first=first, second=second):
                self.reset_output(None)
                self.write("a.mo", first)
                self.write("b.mo", second)
                result = self.run_tool("a.mo", "b.mo", "c.mo")
                if merged is None:
                    stdout = lines("The number of lines in file <a.mo> is 2,",
                                   "but the number of lines in file <b.mo> is 0,",
                                   "K_Graft does not dare to go on.") + PAUSE
                else:
                    stdout = b"".join(warning.replace(b"{}", n.encode()) for n in warned)
                    stdout += created()
                self.assertRun(result, stdout=stdout)
                self.assertFiles({"a.mo": first, "b.mo": second, "c.mo": merged})

    def test_a_100_megabyte_line_is_copied_whole(self):
        pattern = bytes(range(32, 127))
        line = (pattern * (100 * 2**20 // len(pattern) + 1))[:100 * 2**20]
        first = line + b"\r\n@3 first\r\n"
        second = b"dropped\n@3 second"
        self.write("a.mo", first)
        self.write("b.mo", second)
        result = self.run_tool("a.mo", "b.mo", "c.mo")
        self.assertRun(result, stdout=created())
        self.assertFiles({"a.mo": first, "b.mo": second, "c.mo": line + b"\r\n@3 second\r\n"})


if __name__ == "__main__":
    unittest.main()
