"""End-to-end: the checks before the merge, with the messages, answers and files they leave."""
import os
import unittest

from kgtest import PAUSE, ToolTestCase, lines

FIRST = lines("N 1", "N 2", "@3 first", "B 1")
SECOND = lines("N x", "@3 second", "B 2", "B 3")
MERGED = lines("N 1", "N 2", "@3 second", "B 2", "B 3")
OLD = b"old output\r\n"


def created(name):
    return lines(f"K_Graft has created file {name}, and now is ready.") + PAUSE


def question(name):
    return (lines(f"A file named <{name}> already exists in this directory.",
                  "If you proceed, it will be overwritten.") +
            b"Do you wish to proceed? (Y/N): \r\n")


def absent(*names):
    named = " and ".join(f"<{n}>" for n in names)
    verb = "do" if len(names) > 1 else "does"
    return lines(f"File{'s' if len(names) > 1 else ''} {named} {verb} not exist in this directory.",
                 "Therefore K_Graft cannot proceed.") + PAUSE


class Dialogue(ToolTestCase):
    def setUp(self):
        super().setUp()
        self.write("a.mo", FIRST)
        self.write("b.mo", SECOND)

    def test_absent_inputs_are_reported_in_the_singular_or_plural(self):
        long_dir = "d" * 200
        os.mkdir(self.path(long_dir))
        self.write(long_dir + "/" + "f" * 54, FIRST)  # the first 255 characters of the long name
        long_name = long_dir + "/" + "f" * 54 + "/" + "g" * 41 + ".mo"
        os.mkdir(self.path("dir.mo"))
        os.symlink("nowhere.mo", self.path("dangling.mo"))
        cases = [
            (["x.mo", "b.mo", "c.mo"], absent("x.mo")),
            (["a.mo", "y.mo", "c.mo"], absent("y.mo")),
            (["x.mo", "y.mo", "c.mo"], absent("x.mo", "y.mo")),
            (["dir.mo", "b.mo", "c.mo"], absent("dir.mo")),
            (["a.mo", "dangling.mo", "c.mo"], absent("dangling.mo")),
            (["*.mo", "?.mo", "c.mo"], absent("*.mo", "?.mo")),
            (["a.mo", long_name, "c.mo"], absent(long_name)),
        ]
        before = self.files()
        for args, stdout in cases:
            with self.subTest(args=args[:2]):
                self.assertRun(self.run_tool(*args), stdout=stdout)
                self.assertEqual(self.files(), before)

    def test_overwrite_question_goes_on_only_for_y(self):
        for answer, goes_on in [(b"y\n", True), (b"Y\r\n", True), (b"yes\n", True),
                                (b"Yno\nmore\n", True), (b"n\n", False), (b" y\n", False),
                                (b"\r\n", False), (b"\n", False), (b"\n y\n", False),
                                (b"", False), (b"\x1ay\n", False)]:
            with self.subTest(answer=answer):
                self.write("c.mo", OLD)
                result = self.run_tool("a.mo", "b.mo", "c.mo", stdin=answer)
                self.assertRun(result, stdout=question("c.mo") + (created("c.mo") if goes_on
                                                                  else PAUSE))
                self.assertEqual(self.files(), {"a.mo": FIRST, "b.mo": SECOND,
                                                "c.mo": MERGED if goes_on else OLD})

    def test_odd_time_stamps_and_wildcards_do_not_change_presence(self):
        for stamp in (0, 7258118400):  # 1970-01-01 and 2200-01-01
            with self.subTest(stamp=stamp):
                self.write("c.mo", OLD)
                for name in ("a.mo", "b.mo", "c.mo"):
                    os.utime(self.path(name), (stamp, stamp))
                self.assertRun(self.run_tool("a.mo", "b.mo", "c.mo", stdin=b"n\n"),
                               stdout=question("c.mo") + PAUSE)
                self.assertEqual(self.read("c.mo"), OLD)
        # No file is literally named "?.mo", so it is created without a question.
        self.assertRun(self.run_tool("a.mo", "b.mo", "?.mo"), stdout=created("?.mo"))
        self.assertEqual(self.files(), {"a.mo": FIRST, "b.mo": SECOND, "c.mo": OLD,
                                        "?.mo": MERGED})

    def test_arguments_after_the_third_are_ignored(self):
        self.write("d.mo", OLD)
        self.assertRun(self.run_tool("a.mo", "b.mo", "c.mo", "d.mo", "e.mo", "x"),
                       stdout=created("c.mo"))
        self.assertEqual(self.files(), {"a.mo": FIRST, "b.mo": SECOND, "c.mo": MERGED,
                                        "d.mo": OLD})

    def test_unequal_line_counts_leave_the_output_alone(self):
        self.write("a.mo", b"".join(b"N %d\r\n" % i for i in range(10)))
        self.write("b.mo", b"@3\n" + b"".join(b"B %d\n" % i for i in range(10)))
        refusal = lines("The number of lines in file <a.mo> is 10,",
                        "but the number of lines in file <b.mo> is 11,",
                        "K_Graft does not dare to go on.") + PAUSE
        before = self.files()
        self.assertRun(self.run_tool("a.mo", "b.mo", "c.mo"), stdout=refusal)
        self.assertEqual(self.files(), before)
        self.write("c.mo", OLD)
        self.assertRun(self.run_tool("a.mo", "b.mo", "c.mo", stdin=b"y\n"),
                       stdout=question("c.mo") + refusal)
        self.assertEqual(self.files(), dict(before, **{"c.mo": OLD}))


if __name__ == "__main__":
    unittest.main()
