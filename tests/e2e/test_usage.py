"""End-to-end: too few arguments give the usage text and the pause, exit code 0."""
import unittest

from kgtest import PAUSE, ToolTestCase, lines

USAGE = lines(
    "The program K_Graft must be called with 3 parameters.",
    "The first and second must be existing .mo files,",
    "and they will be merged in the third .mo file",
    "with the network specification taken from the first,",
    "and the behavior specification taken from the second file.",
    "You have not given three parameters, so the program now stops.",
)


class Usage(ToolTestCase):
    def test_fewer_than_three_arguments_show_usage_and_pause(self):
        for args in ([], ["a.mo"], ["a.mo", "b.mo"], ["a.mo", "", "b.mo"]):
            with self.subTest(args=args):
                self.assertRun(self.run_tool(*args), stdout=USAGE + PAUSE)
                self.assertEqual(sorted(__import__("os").listdir(self.dir)), [])


if __name__ == "__main__":
    unittest.main()
