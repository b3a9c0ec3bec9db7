"""Shared helpers for the end-to-end tests: run the built k_graft in a scratch directory.

The binary comes from the K_GRAFT environment variable (set by CTest). K_GRAFT_RUNNER, when set, is
a command put before it (for example "wine" for a Windows build). Every run gets a standard input
of its own, so the tests never read the terminal or the CI's missing input.
"""
import os
import shlex
import shutil
import subprocess
import tempfile
import unittest
from dataclasses import dataclass

BINARY = os.path.abspath(os.environ.get("K_GRAFT", "build/k_graft"))
RUNNER = shlex.split(os.environ.get("K_GRAFT_RUNNER", ""))
CRLF = b"\r\n"
PAUSE = CRLF + b"   ... press <Enter> to continue ..." + CRLF


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
    """A test case with a fresh scratch directory as the tool's working directory."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kg-e2e-")
        os.chmod(self.dir, 0o777)  # unprivileged runs must be able to work here
        self.addCleanup(shutil.rmtree, self.dir, True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        """Creates a file in the scratch directory from bytes or text."""
        with open(self.path(name), "wb") as f:
            f.write(data.encode() if isinstance(data, str) else data)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def command(self, *args):
        return RUNNER + [BINARY, *args]

    def run_tool(self, *args, stdin=b"", stdout=subprocess.PIPE, preexec_fn=None, pass_fds=(),
                 wrap=None, timeout=60):
        """Runs k_graft with `args` in the scratch directory.

        `stdin` is bytes fed to it (default: an empty standard input), or a file object or
        descriptor. `wrap` is a command put in front (for example setpriv). Returns a Result.
        """
        feed = stdin if isinstance(stdin, (bytes, bytearray)) else None
        proc = subprocess.run(
            (wrap or []) + self.command(*args),
            input=feed,
            stdin=None if feed is not None else stdin,
            stdout=stdout,
            stderr=subprocess.PIPE,
            cwd=self.dir,
            preexec_fn=preexec_fn,
            pass_fds=pass_fds,
            timeout=timeout,
        )
        return Result(proc.stdout if stdout == subprocess.PIPE else b"", proc.stderr,
                      proc.returncode)

    def assertRun(self, result, stdout=None, stderr=b"", code=0):
        """Compares a run's exact bytes and exit code."""
        if stdout is not None:
            self.assertEqual(result.stdout, stdout)
        if stderr is not None:
            self.assertEqual(result.stderr, stderr)
        self.assertEqual(result.code, code)
