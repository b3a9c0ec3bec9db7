"""End-to-end: the checks before the merge, with the messages, answers and files they leave, and
the recipes for scripts that the README and the manual page show."""
import os
import re
import resource
import shlex
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from kgtest import PAUSE, ToolTestCase, lines, linux_only

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


ROOT = os.path.join(os.path.dirname(__file__), "..", "..")
# The recipes for scripts, as the README and the manual page show them.
YES = "yes | k_graft a.mo b.mo c.mo"
KEEP = "k_graft a.mo b.mo c.mo </dev/null"
PRINTF = "printf 'y\\n' | k_graft a.mo b.mo c.mo"
GLOB = "k_graft *.mo merged.mo"
CHECK = """\
# k_graft_merge FIRST SECOND OUTPUT merges unattended, keeping an existing
# OUTPUT. It returns 0 when it merged; else it shows K_Graft's messages on
# standard error and returns 1 (not merged) or 2 (merged, but an input has
# no @3 line: OUTPUT removed, so that the next run tries the pair again).
k_graft_merge() (
  # A failure returns 1 too, its report on standard error.
  out=$(k_graft "$1" "$2" "$3" </dev/null) || exit 1
  case "$out" in
    *'Warning: the string <@3>'*) code=2 ;;
    *"K_Graft has created file $3, and now is ready."*) exit 0 ;;
    *) code=1 ;;
  esac
  printf '%s\\n' "$out" | tr -d '\\r' | sed '/^$/d; /press <Enter>/d' >&2
  if [ "$code" = 2 ]; then rm -f -- "$3"; fi
  exit "$code"
)
k_graft_merge a.mo b.mo c.mo
"""
RERUN = """out=$(printf 'y\\n' | k_graft "$1" "$2" "$3")"""
MAKEFILE = """\
.DELETE_ON_ERROR:
MERGED := $(patsubst net/%,merged/%,$(wildcard net/*.mo))
all: $(MERGED)
$(MERGED): merged/%.mo: net/%.mo behaviour/%.mo
\t@mkdir -p merged
\t@out=$$(yes | k_graft $^ $@) && case "$$out" in \\
\t  *'Warning: the string <@3>'*) false ;; \\
\t  *'K_Graft has created file $@, and now is ready.'*) ;; \\
\t  *) false ;; esac || \\
\t  { printf '%s\\n' "$$out" | tr -d '\\r' | sed '/^$$/d; /press <Enter>/d; s|^|$@: |' >&2; exit 1; }
"""
MAKE_K, NIGHTLY = "make -k", "mkdir -p merged && flock merged/.lock make -k -j4"
FAILURE = "k_graft examples/first.mo examples/second.mo examples"  # the README's failure example
SH, PIPEFAIL = ["sh", "-c"], ["bash", "-o", "pipefail", "-c"]
DIR = object()  # in the files before a row: a directory of that name
UNMARKED = lines("N 1", "N 2", "N 3", "N 4")
KEEP_LINE = 'out=$(k_graft "$1" "$2" "$3" </dev/null)'  # the line of CHECK that RERUN replaces
# (command, shell, files before the run besides a.mo and b.mo (None: removed), exit code, c.mo
# afterwards (None: no regular file))
RECIPE_ROWS = [
    (YES, SH, {"c.mo": OLD}, 0, MERGED),
    (YES, PIPEFAIL, {"c.mo": OLD}, 141, MERGED),  # yes ends by SIGPIPE
    (PRINTF, PIPEFAIL, {"c.mo": OLD}, 0, MERGED),
    (KEEP, SH, {"c.mo": OLD}, 0, OLD),
    (KEEP, SH, {}, 0, MERGED),
    ("yes | " + GLOB, SH, {"c.mo": OLD}, 0, MERGED),  # the third match is the output
    (CHECK, SH, {}, 0, MERGED),
    (CHECK, SH, {"c.mo": OLD}, 1, OLD),
    (CHECK, SH, {"b.mo": SECOND + b"B 4\r\n"}, 1, None),
    (CHECK, SH, {"b.mo": None}, 1, None),
    (CHECK, SH, {"a.mo": UNMARKED}, 2, None),  # the warned output removed, as make removes it
    (CHECK, SH, {"c.mo": DIR}, 1, None),
    (CHECK.replace(KEEP_LINE, RERUN), SH, {"c.mo": OLD}, 0, MERGED),  # its own line replaces c.mo
    (CHECK.replace(KEEP_LINE, RERUN), PIPEFAIL, {"c.mo": OLD}, 0, MERGED),
]


def shown(name):
    """The text of a document of the repository as its reader sees it (roff escapes resolved), and
    the commands it shows alone: code spans, bold macro arguments and lines, without a comment."""
    with open(os.path.join(ROOT, name), encoding="utf-8") as f:
        text = f.read()
    for escape, char in ((r"\(aq", "'"), (r"\-", "-"), (r"\&", ""), (r"\e", "\\")):
        text = text.replace(escape, char)
    alone = {a or b for a, b in re.findall(r'`([^`\n]+)`|^\.B "([^"\n]+)"$', text, re.M)}
    return text, alone | {line.split("  #")[0].rstrip() for line in text.splitlines()}


@linux_only("runs the recipes with sh, yes and make")
class Recipes(ToolTestCase):
    """Runs each recipe as shown, with k_graft on PATH. The script's own standard input answers
    the other way, so that only the recipe's own answer can give the outcome."""

    def setUp(self):
        super().setUp()
        bin_dir = tempfile.mkdtemp(prefix="kg-bin-")
        self.addCleanup(shutil.rmtree, bin_dir, True)
        with open(os.path.join(bin_dir, "k_graft"), "w") as f:
            f.write('#!/bin/sh\nexec %s "$@"\n' % shlex.join(self.command()))
        os.chmod(os.path.join(bin_dir, "k_graft"), 0o755)
        self.env = {k: v for k, v in os.environ.items() if k not in ("MAKEFLAGS", "MAKELEVEL")}
        self.env["PATH"] = bin_dir + os.pathsep + os.environ.get("PATH", "")

    def run_shell(self, shell, command, stdin, **kwargs):
        return subprocess.run(shell + [command], input=stdin, cwd=self.dir, env=self.env,
                              capture_output=True, timeout=60, **kwargs)

    def test_the_documents_show_these_recipes(self):
        for document in ("README.md", "man/k_graft.1"):
            text, alone = shown(document)
            for recipe in (YES, KEEP, PRINTF, GLOB, CHECK, RERUN, MAKEFILE, MAKE_K, NIGHTLY):
                with self.subTest(document=document, recipe=recipe.splitlines()[0]):
                    self.assertIn(recipe, text if "\n" in recipe else alone)
        text, alone = shown("README.md")  # the failure example, with a report of its shape
        self.assertIn(FAILURE, alone)
        self.assertRegex(text, r"\nApplication Error\nException EInOutError in module k_graft at "
                               r"[0-9A-F]{8}\.\nFile access denied\.\n")

    def test_shell_recipes(self):
        for command, shell, before, code, after in RECIPE_ROWS:
            with self.subTest(command=command.splitlines()[0], shell=shell[0], before=before):
                if shutil.which(shell[0]) is None:
                    self.skipTest("needs " + shell[0])
                shutil.rmtree(self.path("c.mo"), True)  # the directory of an earlier row
                for name, data in dict({"a.mo": FIRST, "b.mo": SECOND, "c.mo": None},
                                       **before).items():
                    if os.path.isfile(self.path(name)):
                        os.remove(self.path(name))
                    if data is DIR:
                        os.mkdir(self.path(name))
                    elif data is not None:
                        self.write(name, data)
                done = self.run_shell(shell, command, b"n\n" if after == MERGED else b"y\n")
                self.assertEqual(done.returncode, code, done.stderr)
                self.assertNotIn(b"press <Enter>", done.stderr)  # messages shown without the pause
                if after is None:
                    self.assertFalse(os.path.isfile(self.path("c.mo")))
                else:
                    self.assertEqual(self.read("c.mo"), after)
                self.assertFalse(os.path.exists(self.path("merged.mo")))

    def test_makefile_recipe(self):
        if shutil.which("make") is None:
            self.skipTest("needs make (.ci/install_deps.sh installs it)")
        self.write("Makefile", MAKEFILE)
        os.mkdir(self.path("net"))
        os.mkdir(self.path("behaviour"))
        past = time.time() - 10000
        for n in (1, 2, 3, 4):
            for name, text in ((f"net/p{n}.mo", FIRST), (f"behaviour/p{n}.mo", SECOND)):
                self.write(name, text)
                os.utime(self.path(name), (past, past))
        other, unequal = lines("N 9", "@3 x", "B", "B"), FIRST + b"B 2\r\n"
        redone = lines("N 9", "@3 second", "B 2", "B 3")
        bad1 = "merged/p1.mo: K_Graft does not dare to go on."
        outputs = {}
        # (inputs changed and made newer than their output (None: removed), command, the
        # file-size limit, make's exit code, outputs changed (None: not there), what stderr names)
        for step, (changed, command, limit, code, made, named) in enumerate([
                ({}, NIGHTLY, None, 0, {n: MERGED for n in (1, 2, 3, 4)}, []),
                ({"net/p1.mo": other}, MAKE_K, None, 0, {1: redone}, []),
                ({"net/p1.mo": unequal}, MAKE_K, None, 2, {}, [bad1]),  # p1.mo left alone
                ({"net/p1.mo": FIRST}, MAKE_K, 0, 2, {1: None}, ["I/O error 223."]),  # its prefix
                ({}, MAKE_K, None, 0, {1: MERGED}, []),
                # A bad pair first, good ones after it; then a missing input; then a missing @3.
                (dict({"net/p1.mo": unequal}, **{f"net/p{n}.mo": other for n in (2, 3, 4)}),
                 MAKE_K, None, 2, {2: redone, 3: redone, 4: redone}, [bad1]),
                ({"behaviour/p2.mo": None, "net/p3.mo": FIRST}, MAKE_K, None, 2, {3: MERGED},
                 [bad1, "No rule to make target 'behaviour/p2.mo', needed by 'merged/p2.mo'"]),
                ({"behaviour/p3.mo": UNMARKED, "net/p4.mo": FIRST}, MAKE_K, None, 2,
                 {3: None, 4: MERGED}, [bad1, "'behaviour/p2.mo'", "merged/p3.mo: Warning: "])]):
            with self.subTest(step=step):
                for name, text in changed.items():
                    pair = "merged/" + os.path.basename(name)
                    if os.path.exists(self.path(pair)):
                        os.utime(self.path(pair), (past + step, past + step))
                    if text is None:
                        os.remove(self.path(name))
                    else:
                        self.write(name, text)
                        os.utime(self.path(name), (past + step + 1, past + step + 1))
                done = self.run_shell(SH, command, b"n\n", preexec_fn=None if limit is None else
                                      lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (0, 0)))
                self.assertEqual(done.returncode, code, done.stderr)
                self.assertEqual(done.stdout, b"")  # no recipe echoed
                self.assertNotIn(b"press <Enter>", done.stderr)
                outputs.update({f"merged/p{n}.mo": text for n, text in made.items()})
                self.assertEqual({k: v for k, v in self.files().items() if k.startswith("merged/")
                                  and not k.endswith(".lock")},
                                 {k: v for k, v in outputs.items() if v is not None})
                for text in named:
                    self.assertIn(text, done.stderr.decode())

    def test_overlapping_nightly_makes_keep_every_output(self):
        """The first make's first merge waits, once under way, until the second make waits for the
        lock (or, with no lock, merges on its own), so that the two makes overlap in every run."""
        if shutil.which("make") is None or shutil.which("flock") is None:
            self.skipTest("needs make and flock")
        if not os.path.exists("/proc/locks"):
            self.skipTest("needs /proc/locks to see the second make wait for the lock")
        self.write("Makefile", MAKEFILE)
        os.mkdir(self.path("net"))
        os.mkdir(self.path("behaviour"))
        for n in (1, 2):
            self.write(f"net/p{n}.mo", FIRST)
            self.write(f"behaviour/p{n}.mo", SECOND)
        wrapper = shutil.which("k_graft", path=self.env["PATH"])
        with open(wrapper) as f:
            run = f.read().split("exec ", 1)[1].strip()
        with open(wrapper, "w") as f:  # an output merged twice at once leaves a file "overlapped"
            f.write('#!/bin/sh\nmkdir "$3.busy" 2>/dev/null || : >overlapped\nif mkdir first '
                    '2>/dev/null; then : >paused; until [ -e go ]; do sleep 0.01; done; fi\n'
                    f'{run}; code=$?; rmdir "$3.busy"; exit $code\n')

        def start_make_then(ready, unseen=None):
            make = subprocess.Popen(SH + [NIGHTLY], stdin=subprocess.DEVNULL, cwd=self.dir,
                                    env=self.env, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.PIPE, start_new_session=True)
            self.addCleanup(make.stderr.close)
            self.addCleanup(lambda: make.poll() is None and os.killpg(make.pid, signal.SIGKILL))
            deadline = time.monotonic() + 60
            while not ready(make):
                if time.monotonic() > deadline:
                    self.skipTest(unseen) if unseen else self.fail("the first merge never began")
                time.sleep(0.01)
            return make

        def waits_for_the_lock(make):
            if os.path.exists(self.path("overlapped")) or make.poll() is not None:
                return True
            with open("/proc/locks") as f:
                waiting = [int(words[5]) for words in map(str.split, f) if words[1] == "->"]
            for pid in waiting:
                try:
                    if os.getpgid(pid) == make.pid:
                        return True
                except ProcessLookupError:
                    pass
            return False

        makes = [start_make_then(lambda _: os.path.exists(self.path("paused"))),
                 start_make_then(waits_for_the_lock, "/proc/locks shows no make waiting here")]
        self.write("go", "")
        for make in makes:
            _, err = make.communicate(timeout=60)
            self.assertEqual(make.returncode, 0, err)
        self.assertFalse(os.path.exists(self.path("overlapped")))
        self.assertEqual({n: self.read(f"merged/p{n}.mo") for n in (1, 2)}, {1: MERGED, 2: MERGED})


if __name__ == "__main__":
    unittest.main()
