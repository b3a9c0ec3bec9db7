"""End-to-end: failures end with the report on standard error, exit code 1 and the files as left."""
import os
import re
import resource
import shutil
import subprocess
import unittest

from kgtest import BINARY, ON_WINDOWS, RUNNER, ToolTestCase, lines
from test_dialogue import FAILURE, FIRST, MERGED, ROOT, SECOND, question
from test_usage import USAGE

UNPRIVILEGED = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
STDOUT_CLOSED = ["sh", "-c", 'exec "$@" >&-', "sh"]
BIG_FIRST = b"".join(b"N %d %s\r\n" % (i, b"n" * 40) for i in range(8)) + b"@3\r\n"
BIG_SECOND = b"@3 big\r\n" + b"".join(b"B %d\r\n" % i for i in range(8))


class Failures(ToolTestCase):
    def setUp(self):
        super().setUp()
        self.write("a.mo", FIRST)
        self.write("b.mo", SECOND)

    def check(self, args, message, stdout=b"", changed=None, stdout_target=subprocess.PIPE,
              **kwargs):
        """Runs a failing case with standard output to `stdout_target`; the files afterwards are
        those before, updated by `changed`. Returns the offset digits."""
        expected = dict(self.files(), **(changed or {}))
        result = self.run_tool(*args, stdout=stdout_target, **kwargs)
        offset = self.assertFailure(result, message, stdout)
        self.assertEqual(self.files(), expected)
        return offset

    def test_output_cannot_be_created(self):
        os.mkdir(self.path("dir.mo"))
        os.link(self.path("a.mo"), self.path("hard.mo"))
        os.symlink("b.mo", self.path("soft.mo"))
        rows = [] if ON_WINDOWS else [("fifo.mo", "I/O error 21", False),  # with no reader
                                      ("loop/c.mo", "Invalid filename", False),  # a link to itself
                                      ("loop", "I/O error 80", False)]
        if rows:
            os.mkfifo(self.path("fifo.mo"))
            os.symlink("loop", self.path("loop"))
        for output, message, asked in rows + [("dir.mo", "File access denied", False),
                                       ("missing/c.mo", "Invalid filename", False),
                                       ("a.mo/c.mo", "Invalid filename", False),
                                       ("a.mo", "I/O error 32", True),
                                       ("./a.mo", "I/O error 32", True),
                                       ("b.mo", "I/O error 32", True),
                                       ("hard.mo", "I/O error 32", True),
                                       ("soft.mo", "I/O error 32", True)]:
            with self.subTest(output=output):
                # No open waits: for a reader, or 45 s for the input's own lease to break.
                self.check(["a.mo", "b.mo", output], message, stdin=b"y\n", timeout=10,
                           stdout=question(output) if asked else b"")
        self.assertEqual(os.listdir(self.path("dir.mo")), [])

    def test_access_denied_without_privileges(self):
        if os.geteuid() != 0 or shutil.which("setpriv") is None:
            self.skipTest("needs root and setpriv to run the tool unprivileged")
        os.mkdir(self.path("ro"), 0o755)
        self.write("c.mo", b"root's\r\n")
        os.chmod(self.path("c.mo"), 0o644)
        self.write("locked.mo", FIRST)
        os.chmod(self.path("locked.mo"), 0o000)
        for args, stdout in [(["a.mo", "b.mo", "ro/c.mo"], b""),
                             (["a.mo", "b.mo", "c.mo"], question("c.mo")),
                             (["locked.mo", "b.mo", "new.mo"], b"")]:
            with self.subTest(args=args):
                self.check(args, "File access denied", stdout, stdin=b"y\n", wrap=UNPRIVILEGED)

    def test_closed_or_full_standard_output_fails_at_the_first_message(self):
        # A closed standard output fails at the first message; the merged file is still written
        # out whole, and no model file takes the closed descriptor.
        self.check([], "I/O error 105", wrap=STDOUT_CLOSED)
        self.check(["a.mo", "b.mo", "c.mo"], "I/O error 105", wrap=STDOUT_CLOSED,
                   changed={"c.mo": MERGED})
        with open("/dev/full", "wb") as full:
            self.check([], "Disk full", stdout=None, stdout_target=full)
        reader, writer = os.pipe()
        os.close(reader)
        try:  # a reader that has gone is a failure, not a silent end by a signal
            self.check([], "I/O error 232", stdout=None, stdout_target=writer)
        finally:
            os.close(writer)

    def test_write_failure_during_the_merge(self):
        if ON_WINDOWS:
            self.skipTest("/dev/full as a model file name needs a native binary")
        self.write("a.mo", BIG_FIRST)
        self.write("b.mo", BIG_SECOND)
        # A device is no file to be replaced: no question is asked.
        self.check(["a.mo", "b.mo", "/dev/full"], "Disk full")

    def test_pending_console_text_follows_the_report(self):
        name = "h" * 150 + ".mo"
        os.link(self.path("a.mo"), self.path(name))
        shown = question(name)
        with open(self.path("out.txt"), "wb") as sink:
            result, writes = self.run_traced("a.mo", "b.mo", name, stdin=b"y\n", stdout=sink)
        self.assertFailure(result, "I/O error 32", stdout=None)
        self.assertEqual(self.read("out.txt"), shown)
        whole = len(shown) // 128 * 128
        expected = [(1, shown[i:i + 128]) for i in range(0, whole, 128)]
        expected += [(2, result.stderr), (1, shown[whole:])]
        # Only the standard descriptors: a sanitizer runtime may write to pipes of its own.
        self.assertEqual([w for w in writes if w[0] in (1, 2)], expected)

    def test_offset_is_fixed_and_names_the_failing_statement(self):
        self.write("a.mo", BIG_FIRST)
        self.write("b.mo", BIG_SECOND)
        self.write("long.mo", BIG_SECOND.replace(b"B 0", b"B" * 140000))  # over one block
        shutil.copytree(os.path.join(ROOT, "examples"), self.path("examples"))
        no_room = {"stdin": b"y\n", "changed": {"c.mo": b""},
                   "preexec_fn": lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (0, 0))}
        with open("/dev/full", "wb") as full:  # (..., the statement whose check must be named)
            cases = [(FAILURE.split()[1:], "File access denied", {},  # the README's example
                      ("main_sequence.cpp", "files.output.OpenForWriting(creation);")),
                     ([], "Disk full", {"stdout_target": full}, None)]
            if not ON_WINDOWS:  # a write of the merge itself; one in the behaviour copy
                cases.append((["a.mo", "b.mo", "/dev/full"], "Disk full", {}, None))
                cases.append((["a.mo", "long.mo", "c.mo"], "I/O error 223", no_room,
                              ("merge.cpp", "second.CopyLinesUntil(output, {});")))
            offsets = []
            for args, message, kwargs, _ in cases:
                found = {self.check(args, message, stdout=None, **kwargs) for _ in range(2)}
                self.assertEqual(len(found), 1, args)
                offsets += found
        self.assertEqual(len(set(offsets)), len(offsets), "distinct statements, distinct offsets")
        with open(BINARY, "rb") as f:
            has_lines = b".debug_line" in f.read()
        if RUNNER or shutil.which("addr2line") is None or not has_lines:
            self.skipTest("needs addr2line and a native binary with line information")
        for offset, (*_, statement) in zip(offsets, cases):
            where = subprocess.run(["addr2line", "-e", BINARY, "0x%X" % (int(offset, 16) - 1)],
                                   check=True, capture_output=True, text=True).stdout.strip()
            line = r"(main_sequence|merge)\.cpp:\d+"
            if statement:  # exactly the line of the check right after the statement
                with open(os.path.join(os.path.dirname(__file__), "../../app", statement[0])) as f:
                    number = [t.strip() for t in f].index(statement[1]) + 2
                line = re.escape(statement[0]) + ":%d" % number
            self.assertRegex(where, r"(^|/)app/" + line + r"( \(discriminator \d+\))?$")


if __name__ == "__main__":
    unittest.main()
