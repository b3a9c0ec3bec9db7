"""End-to-end: what the merged model file holds, for the line syntax and section-marker cases."""
import os
import unittest

from kgtest import PAUSE, ToolTestCase, lines

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "examples")
DONE = lines("K_Graft has created file c.mo, and now is ready.") + PAUSE


def warning(name):
    return lines(f"Warning: the string <@3> is not found in file {name}.", "This is an error.")


def numbered(prefix, count, marker_at=()):
    """Lines "<prefix> 1".."<prefix> count"; the lines at `marker_at` (1-based) start with @3."""
    return [("@3 " if i in marker_at else "") + f"{prefix} {i}" for i in range(1, count + 1)]


N10 = numbered("N", 10, marker_at=(4,))
B10 = numbered("B", 10, marker_at=(7,))
LONG = "x" * 300
WIDE = "@3" + "y" * 998
# (name, first input, second input, warnings for, expected output)
CASES = [
    ("empty inputs", b"", b"", ("a.mo", "b.mo"), b""),
    ("marker at line 4 and 7 of 10", lines(*N10), lines(*B10), (), lines(*N10[:3], *B10[6:])),
    ("no marker in first", lines("N 1", "N 2", "N 3"), lines("N z", "@3", "B 1"), ("a.mo",),
     lines("N 1", "N 2", "N 3", "@3", "B 1")),
    ("no marker in second", lines("N 1", "@3", "B 0"), lines("N z", "@ 3", " @3"), ("b.mo",),
     lines("N 1")),
    ("later marker lines", lines("N 1", "@3 a", "N 2", "@3 b", "N 3"),
     lines("@", "@4", "@3 c", "B 1", "@3 d"), (), lines("N 1", "@3 c", "B 1", "@3 d")),
    ("marker alone on its line", lines("@", "@3", "N"), lines("3@", "@3", "B"), (),
     lines("@", "@3", "B")),
    ("LF line ends become CR LF", b"N 1\nN 2\n@3\n", b"X\n@3 b\nB 1\n", (),
     lines("N 1", "N 2", "@3 b", "B 1")),
    ("last line without line end", b"N 1\r\n@3", b"@3\r\nB", (), lines("N 1", "@3", "B")),
    ("lone CR dropped", b"A\rB\r\nC\r\r\n@3\r", b"@3\r\nD\rE\r\nF\r", (),
     lines("AB", "C", "@3", "DE", "F")),
    ("bytes 0 and 255 pass through", b"\x00N\xff\r\n@3\r\n", b"@3\x00\xff\r\n\xff\x00\r\n", (),
     lines(b"\x00N\xff", b"@3\x00\xff", b"\xff\x00")),
    ("26 ends the text", b"N 1\r\nN 2\r\n\x1a@3\r\nN 3\r\n", b"@3\r\nB\x1a1\r\nB 2\r\n", ("a.mo",),
     lines("N 1", "N 2", "@3", "B")),
    ("26 at the start", b"\x1aN 1\r\n", b"\x1a@3\r\n", ("a.mo", "b.mo"), b""),
    ("26 after the first block", b"N" * 200 + b"\x1aN\r\n@3\r\n", b"@3 " + b"B" * 140 + b"\x1a\r\nC\r\n",
     ("a.mo",), lines(b"N" * 200, b"@3 " + b"B" * 140)),
    ("long lines whole", lines("N 1", LONG, "@3", "N 2"), lines("B 0", "B 1", WIDE, LONG), (),
     lines("N 1", LONG, WIDE, LONG)),
    ("CR LF across a block end", lines("N" * 127, "@3"), lines("@3" + "B" * 125, "C" * 126), (),
     lines("N" * 127, "@3" + "B" * 125, "C" * 126)),
]


class Merge(ToolTestCase):
    def test_each_case_merges_to_its_exact_bytes_and_warnings(self):
        for name, first, second, warned, expected in CASES:
            with self.subTest(name):
                self.write("a.mo", first)
                self.write("b.mo", second)
                self.write("c.mo", b"old")
                stdout = b"".join(warning(w) for w in warned) + DONE
                self.assertRun(self.run_tool("a.mo", "b.mo", "c.mo", stdin=b"y\n"),
                               stdout=lines("A file named <c.mo> already exists in this directory.",
                                            "If you proceed, it will be overwritten.") +
                               b"Do you wish to proceed? (Y/N): \r\n" + stdout)
                self.assertEqual(self.files(), {"a.mo": first, "b.mo": second, "c.mo": expected})
                os.remove(self.path("c.mo"))
                self.assertRun(self.run_tool("a.mo", "b.mo", "c.mo"), stdout=stdout)
                self.assertEqual(self.read("c.mo"), expected)

    def test_the_bundled_examples_merge_to_their_known_output(self):
        with open(os.path.join(EXAMPLES, "first.mo"), "rb") as f:
            self.write("a.mo", f.read())
        with open(os.path.join(EXAMPLES, "second.mo"), "rb") as f:
            self.write("b.mo", f.read())
        self.assertRun(self.run_tool("a.mo", "b.mo", "c.mo"), stdout=DONE)
        self.assertEqual(self.read("c.mo"), lines(
            "; network of a small pump model", "N 1 inlet  0.0 0.0", "N 2 pump   1.0 0.0",
            "N 3 valve  2.0 0.0", "N 4 outlet 3.0 0.0", "L 1 2 0.15", "L 2 3 0.15", "L 3 4 0.10",
            "@3 behaviour", "B pump on  t=0", "B valve open t=5", "B pump off t=60",
            "B valve closed t=65", "E end"))


if __name__ == "__main__":
    unittest.main()
