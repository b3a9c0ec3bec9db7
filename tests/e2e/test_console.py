"""End-to-end: how console text reaches a file, a pipe or a terminal, and how Enter is read."""
import os
import select
import subprocess
import termios
import time
import unittest

from kgtest import PAUSE, ToolTestCase, lines
from test_dialogue import FIRST, MERGED, OLD, SECOND, absent, created, question
from test_usage import USAGE

PROMPT = question("c.mo")[:-2]  # the question as shown before the answer: no line end yet


def blocks(data, size=128):
    return [data[i:i + size] for i in range(0, len(data), size)]


class Redirected(ToolTestCase):
    def test_text_goes_out_in_whole_blocks_and_the_rest_at_exit(self):
        report = absent("x" * 40 + ".mo", "y.mo")
        models = {"a.mo": FIRST, "b.mo": SECOND, "c.mo": OLD}
        # Standard input a pipe or /dev/null (a character device, but no terminal: the question
        # is not written out before the answer is read).
        for args, stdout, stdin, files in [
                ((), USAGE + PAUSE, b"", {}),
                (("x" * 40 + ".mo", "y.mo", "c.mo"), report, b"", {}),
                (("a.mo", "b.mo", "c.mo"), question("c.mo") + PAUSE, subprocess.DEVNULL,
                 models)]:
            for target in ("file", "pipe"):
                with self.subTest(args=args[:1], target=target, stdin=stdin):
                    for name, data in files.items():
                        self.write(name, data)
                    if target == "file":
                        with open(self.path("out.txt"), "wb") as sink:
                            result, writes = self.run_traced(*args, stdout=sink, stdin=stdin)
                        self.assertEqual(self.read("out.txt"), stdout)
                        os.remove(self.path("out.txt"))
                    else:
                        result, writes = self.run_traced(*args, stdin=stdin)
                        self.assertEqual(result.stdout, stdout)
                    self.assertRun(result, stdout=None)
                    self.assertEqual([data for fd, data in writes if fd == 1], blocks(stdout))
                    self.assertEqual(self.files(), files)


class Terminal(ToolTestCase):
    """Runs k_graft with standard input and output on a pseudo-terminal, as a user would."""

    def start(self, *args, piped=False):
        """Starts k_graft reading the terminal; its standard output is the terminal too, or with
        `piped` a pipe. `self.shown` is where its output is read."""
        try:
            master, slave = os.openpty()
        except OSError as error:
            self.skipTest("no pseudo-terminal can be made here: %s" % error)
        attributes = termios.tcgetattr(slave)
        attributes[1] &= ~termios.OPOST  # show the bytes as written, without LF to CR LF
        attributes[3] &= ~termios.ECHO  # and without the typed answers
        termios.tcsetattr(slave, termios.TCSANOW, attributes)
        proc = subprocess.Popen(self.command(*args), stdin=slave,
                                stdout=subprocess.PIPE if piped else slave,
                                stderr=subprocess.PIPE, cwd=self.dir)
        os.close(slave)
        self.proc, self.master = proc, master
        self.shown = proc.stdout.fileno() if piped else master
        self.addCleanup(os.close, master)
        self.addCleanup(proc.stderr.close)
        if piped:
            self.addCleanup(proc.stdout.close)
        self.addCleanup(lambda: proc.poll() is None and proc.kill())

    def expect(self, shown, timeout=20):
        """Waits until k_graft's output shows exactly `shown` while k_graft still runs, waiting;
        the timeout only guards against a run that never shows it."""
        got, deadline = b"", time.monotonic() + timeout
        while len(got) < len(shown) and time.monotonic() < deadline:
            if select.select([self.shown], [], [], 0.1)[0]:
                got += os.read(self.shown, 4096)
        time.sleep(0.2)  # anything more would be shown by now
        if select.select([self.shown], [], [], 0)[0]:
            got += os.read(self.shown, 4096)
        self.assertEqual(got, shown)
        self.assertIsNone(self.proc.poll(), "k_graft should wait for a line")

    def press(self, keys):
        os.write(self.master, keys)

    def finish(self):
        """Presses Enter once for the pause; k_graft must end with code 0 and no more text."""
        self.press(b"\r")
        self.assertEqual(self.proc.wait(timeout=20), 0)
        self.assertEqual(self.proc.stderr.read(), b"")
        try:
            rest = os.read(self.shown, 4096)
        except OSError:  # the terminal is gone once k_graft has ended
            rest = b""
        self.assertEqual(rest, b"")

    def test_usage_waits_for_one_enter(self):
        self.start()
        self.expect(USAGE + PAUSE)
        self.finish()

    def test_overwrite_question_is_shown_before_the_answer(self):
        # Piped (k_graft a.mo b.mo c.mo | tee log): question and pause line reach the pipe too.
        for keys, goes_on, piped in [(b"y\r", True, False), (b"Yes\r", True, False),
                                     (b"\r", False, False), (b"n\r", False, False),
                                     (b"y\r", True, True)]:
            with self.subTest(keys=keys, piped=piped):
                self.write("a.mo", FIRST)
                self.write("b.mo", SECOND)
                self.write("c.mo", OLD)
                self.start("a.mo", "b.mo", "c.mo", piped=piped)
                self.expect(PROMPT)
                self.assertEqual(self.read("c.mo"), OLD)
                self.press(keys)
                self.expect(b"\r\n" + (created("c.mo") if goes_on else PAUSE))
                self.assertEqual(self.read("c.mo"), MERGED if goes_on else OLD)
                self.finish()

    def test_every_statement_is_written_through(self):
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        os.write(master, b"\r")  # typed ahead, for the pause
        try:
            result, writes = self.run_traced("x.mo", "y.mo", "c.mo", stdin=slave, stdout=slave)
        finally:
            os.close(slave)
        self.assertRun(result, stdout=None)
        self.assertEqual([data for fd, data in writes if fd == 1],
                         [b"File", b"s ", b"<x.mo> ", b"and ", b"<y.mo> ", b"do ",
                          b"not exist in this directory.\r\n",
                          b"Therefore K_Graft cannot proceed.\r\n", b"\r\n",
                          b"   ... press <Enter> to continue ...\r\n"])


if __name__ == "__main__":
    unittest.main()
