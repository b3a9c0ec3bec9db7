#!/usr/bin/env python3
"""Times k_graft against cat, an awk merge and a Python merge on generated model files.

Run through bench/run.sh, which builds k_graft first. Its heading names the scan kernels k_graft
runs (from kg_scan_kernels, built beside it), the processor and the kernel: what a read costs
depends on all three. For each case it makes two model files,
runs every command once to warm the cache, then times several rounds (the commands in turn, with
a sync and a removed output before each run), checks that the merges (k_graft, awk, Python) wrote
the same bytes, and prints the median wall times with their spread and each one's ratio to
k_graft's, the file system the inputs lie on and whether k_graft holds them against writers there,
and k_graft's peak resident memory as /usr/bin/time -v reports it. The cases: CR LF lines with a
warm cache; the same with the page cache dropped before every run (root only); LF-only lines,
which k_graft must rewrite; one long line; inputs read through an overlay, where they are not held
but verified by their bytes (root only); an existing output replaced after a yes; and the count
alone, on inputs whose line counts differ, where k_graft writes no output: it is timed against
`wc -l a b`, its report checked against wc's counts and, with an earlier build, against that
build's. The long-line case leaves awk out unless asked: mawk grows its record buffer for a 100 MiB
line so slowly that one run takes minutes.
"""

import argparse
import filecmp
import os
import re
import shlex
import statistics
import subprocess
import sys
import tempfile
import time

import gen_models

HERE = os.path.dirname(os.path.abspath(__file__))
# The file systems where k_graft holds an input against writers, as the build's own table lists
# them (statfs magic number: name): those whose entry says kHeld.
with open(os.path.join(HERE, "..", "runtime", "platform", "posix_local_file_systems.h")) as header:
    HELD = {int(magic, 16): name for magic, name, properties in
            re.findall(r'\{(0x[0-9A-Fa-f]+),\s*"([^"]+)",\s*([\w |]+)\}', header.read())
            if "kHeld" in properties.replace(" ", "").split("|")}


CAT = "cat a b > c"
PIPE = "cat a b | cat > c"
AWK = "awk merge"
WC = "wc -l a b"
BEFORE = "k_graft before"
# How long the machine idles before each timed run, so that every run starts as one by hand does,
# whatever ran before it. Some costs are paid only after a pause: on Linux, a read of /proc/locks
# (k_graft's sharing check before an open) took 5-20 ms after 50 ms or more without one, on a
# 2-core KVM guest, and 0.01 ms right after another. Without the pause, the command that runs right
# after a k_graft (the build before) skips that cost, and k_graft, first in every round, pays it.
IDLE_BEFORE_RUN = 0.1


def commands(k_graft, a, b, with_awk, before=None, answer=""):
    """Returns [(label, output path, shell command)] of the timed commands, k_graft first;
    `answer`, when given, is put before each k_graft as the pipe that answers its question.

    Besides the floor the issue names (`cat a b > c`, which GNU cat may do inside the kernel with
    copy_file_range), `cat a b | cat > c` shows the floor for a program whose bytes pass through
    its own memory, as k_graft's do.
    """
    d = os.path.dirname(a)
    q = shlex.quote
    out = {name: os.path.join(d, f"out-{name}.mo") for name in ("k_graft", "cat", "pipe", "awk",
                                                                "py")}
    result = [("k_graft", out["k_graft"],
               f"{answer}{q(k_graft)} {q(a)} {q(b)} {q(out['k_graft'])}")]
    if before:
        out_before = os.path.join(d, "out-before.mo")
        result.append((BEFORE, out_before, f"{answer}{q(before)} {q(a)} {q(b)} {q(out_before)}"))
    result += [
        (CAT, out["cat"], f"cat {q(a)} {q(b)} > {q(out['cat'])}"),
        (PIPE, out["pipe"], f"cat {q(a)} {q(b)} | cat > {q(out['pipe'])}"),
    ]
    if with_awk:
        result.append((AWK, out["awk"],
                       f"bash {q(os.path.join(HERE, 'merge_ref.sh'))} {q(a)} {q(b)} "
                       f"{q(out['awk'])}"))
    result.append(("python merge", out["py"],
                   f"{q(sys.executable)} {q(os.path.join(HERE, 'merge_ref.py'))} {q(a)} {q(b)} "
                   f"{q(out['py'])}"))
    return result


def run_once(command, output, cold=False, existing=False):
    """Runs `command` with /dev/null as standard input and returns its wall time in seconds.

    The output is removed (when `existing`, put back as a one-line file) and the written data
    synced first, so that no run pays for another's write-back; when `cold`, the page cache is
    dropped too; then the machine idles for IDLE_BEFORE_RUN. Stops the benchmark when the command
    fails.
    """
    if os.path.exists(output):
        os.remove(output)
    if existing:
        with open(output, "wb") as f:
            f.write(b"old output\r\n")
    os.sync()
    if cold:
        with open("/proc/sys/vm/drop_caches", "w") as f:
            f.write("3\n")
    time.sleep(IDLE_BEFORE_RUN)
    start = time.perf_counter()
    result = subprocess.run(["bash", "-c", command], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - start
    if result.returncode != 0:
        sys.exit(f"bench: `{command}` failed ({result.returncode}): {result.stderr.decode()}")
    return elapsed


def peak_rss_kib(command, output, work_dir):
    """Runs `command` under /usr/bin/time -v and returns its peak resident memory in KiB."""
    if os.path.exists(output):
        os.remove(output)
    report = os.path.join(work_dir, "time-v.txt")
    command = command.rsplit("| ", 1)[-1]  # k_graft alone: the output is new, nothing is asked
    subprocess.run(["/usr/bin/time", "-v", "-o", report, "bash", "-c", "exec " + command],
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, check=True)
    with open(report) as f:
        for line in f:
            if "Maximum resident set size" in line:
                return int(line.rsplit(":", 1)[1])
    sys.exit("bench: /usr/bin/time -v gave no peak resident memory")


def file_system(path):
    """The name of the file system holding `path`, and whether k_graft holds inputs there."""
    found = subprocess.run(["stat", "-f", "-c", "%t %T", path], capture_output=True, text=True)
    magic, _, name = found.stdout.strip().partition(" ")
    held = found.returncode == 0 and int(magic, 16) in HELD
    return name or "unknown", held


def quartiles(values):
    """The first and third quartiles of `values` (at least two)."""
    q = statistics.quantiles(values, n=4)
    return q[0], q[2]


def run_case(title, k_graft, work_dir, size_mib, long_line_mib, runs, with_awk=True, before=None,
             cold=False, line_end=b"\r\n", existing=False):
    """Generates the files of one case in `work_dir`, times it, checks the outputs and prints its
    table.

    `before`, when given, is an earlier k_graft timed too; `cold` drops the page cache before
    every timed run; `existing` puts an output in place before each run, which k_graft replaces
    after a yes. Returns (run times by label, peak resident memory in KiB by k_graft label, "held"
    or "unheld": whether k_graft holds the inputs against writers there).
    """
    print(f"\n== {title} ==", flush=True)
    start = time.perf_counter()
    a, b, lines = gen_models.generate(work_dir, size_mib, long_line_mib=long_line_mib,
                                      line_end=line_end)
    system, held = file_system(a)
    print(f"made {os.path.getsize(a):,} + {os.path.getsize(b):,} bytes, {lines:,} lines each "
          f"({time.perf_counter() - start:.1f} s), in {work_dir}: file system {system}, inputs "
          f"{'held against writers' if held else 'read unheld, verified by their bytes'}",
          flush=True)
    cmds = commands(k_graft, a, b, with_awk, before, "printf 'y\\n' | " if existing else "")
    for label, output, command in cmds:  # warm-up: files in the cache, binaries loaded
        run_once(command, output, existing=existing and "k_graft" in label)
    merges = [output for label, output, _ in cmds if not label.startswith("cat")]
    count = len(merges)
    for other in merges[1:]:
        if not filecmp.cmp(merges[0], other, shallow=False):
            sys.exit(f"bench: {other} differs from k_graft's output {merges[0]}")
    print(f"the {count} merges wrote the same {os.path.getsize(merges[0]):,} bytes", flush=True)
    times, rss = time_rounds(cmds, work_dir, runs, cold, existing)
    for _, output, _ in cmds:
        os.remove(output)
    os.remove(a)
    os.remove(b)
    return times, rss, "held" if held else "unheld"


def time_rounds(cmds, work_dir, runs, cold=False, existing=False):
    """Times `runs` rounds of `cmds` ([(label, output path, shell command)], k_graft first; see
    run_once for `cold` and `existing`), measures the peak memory of each k_graft, and prints the
    table. Every other round runs the commands in the reverse order, so that no command gains or
    loses by its place in a round (the first after the last round's writes ran a quarter slower
    with the page cache dropped, the same binary in both places). Returns (run times by label,
    peak resident memory in KiB by k_graft label)."""
    times = {label: [] for label, _, _ in cmds}
    for round_number in range(runs):
        for label, output, command in cmds if round_number % 2 == 0 else reversed(cmds):
            times[label].append(run_once(command, output, cold, existing and "k_graft" in label))
        print(f"round {round_number + 1}/{runs} done", flush=True)
    rss = {label: max(peak_rss_kib(command, output, work_dir) for _ in range(3))
           for label, output, command in cmds if "k_graft" in label}
    medians = {label: statistics.median(values) for label, values in times.items()}
    base = medians["k_graft"]
    print(f"\n| command | median wall time (s) | quartiles (s) | min-max (s) | ratio to k_graft |")
    print("|---|---:|---:|---:|---:|")
    for label, median in medians.items():
        low, high = quartiles(times[label])
        cell = label.replace("|", "\\|")  # a pipe inside a Markdown cell
        print(f"| {cell} | {median:.3f} | {low:.3f}-{high:.3f} | {min(times[label]):.3f}-"
              f"{max(times[label]):.3f} | {median / base:.2f} |")
    for label, kib in rss.items():
        print(f"\n{label} peak resident memory: {kib:,} KiB ({kib / 1024:.1f} MiB)")
    return times, rss


def run_count_case(title, k_graft, work_dir, size_mib, runs, before=None):
    """Times the count alone: two model files whose line counts differ by one, which k_graft
    counts in whole, reports and leaves without writing an output, against `wc -l` of both.

    Checks that k_graft creates no output, that the counts it reports are wc's and that `before`,
    when given, reports the same text. Returns (run times by label, peak resident memory in KiB by
    k_graft label, "held" or "unheld").
    """
    print(f"\n== {title} ==", flush=True)
    start = time.perf_counter()
    a, b, lines = gen_models.generate(work_dir, size_mib)
    with open(b, "ab") as f:
        f.write(b"one line more\r\n")
    system, held = file_system(a)
    print(f"made {os.path.getsize(a):,} + {os.path.getsize(b):,} bytes, {lines:,} and "
          f"{lines + 1:,} lines ({time.perf_counter() - start:.1f} s), in {work_dir}: file system "
          f"{system}, inputs {'held against writers' if held else 'read unheld'}", flush=True)
    full = commands(k_graft, a, b, False, before)
    cmds = [(label, output, command) for label, output, command in full if "k_graft" in label]
    q = shlex.quote
    cmds.append((WC, os.path.join(work_dir, "out-wc.mo"), f"wc -l {q(a)} {q(b)}"))
    reports = {}
    for label, output, command in cmds:  # warm-up, and what each says
        if os.path.exists(output):
            os.remove(output)
        said = subprocess.run(["bash", "-c", command], stdin=subprocess.DEVNULL,
                              capture_output=True)
        if said.returncode != 0:
            sys.exit(f"bench: `{command}` failed ({said.returncode}): {said.stderr.decode()}")
        if os.path.exists(output):
            sys.exit(f"bench: `{command}` wrote {output}, with line counts that differ")
        reports[label] = said.stdout
    counted = [int(n) for n in re.findall(rb"> is (\d+),", reports["k_graft"])]
    wc = [int(line.split()[0]) for line in reports[WC].splitlines()[:2]]
    if counted != wc or wc != [lines, lines + 1]:
        sys.exit(f"bench: k_graft counted {counted}, wc -l {wc}, of {lines} and {lines + 1} lines")
    if before and reports[BEFORE] != reports["k_graft"]:
        sys.exit("bench: k_graft's report differs from the build before's")
    print(f"k_graft reports the counts wc gives, {wc[0]:,} and {wc[1]:,}, and writes no output"
          f"{'; the build before reports the same text' if before else ''}", flush=True)
    times, rss = time_rounds(cmds, work_dir, runs)
    os.remove(a)
    os.remove(b)
    return times, rss, "held" if held else "unheld"


def against_before(times, what, target=None, standing=False):
    """The verdict on k_graft's median against the earlier build's, as (text, met): at most
    `target` times it, or by default within its noise (at most its third quartile, or 5 % more
    than its median, whichever is more). `standing` marks a target of earlier work."""
    new, old = statistics.median(times["k_graft"]), statistics.median(times[BEFORE])
    ratio = new / old
    kind = "standing target" if standing else "target"
    if target is None:
        target = max(1.05, quartiles(times[BEFORE])[1] / old)
        return (f"{what}: k_graft / before = {ratio:.2f} ({kind}: within the noise, "
                f"<= {target:.2f})", ratio <= target)
    return f"{what}: k_graft / before = {ratio:.2f} ({kind} <= {target})", ratio <= target


def against(times, what, other, target):
    """The verdict on k_graft's median against `other`'s (a label of `times`): at most `target`
    times it, as (text, met)."""
    ratio = statistics.median(times["k_graft"]) / statistics.median(times[other])
    return f"{what}: k_graft / `{other}` = {ratio:.2f} (target <= {target:.2f})", ratio <= target


def memory(rss, what):
    """The verdict on k_graft's peak memory of a case, as (text, met): under 8 MiB."""
    kib = rss["k_graft"]
    return f"{what}: peak memory {kib / 1024:.1f} MiB (target < 8)", kib < 8 * 1024


def kernels(k_graft):
    """The scan kernel set `k_graft` runs here, as kg_scan_kernels built beside it names it."""
    helper = os.path.join(os.path.dirname(k_graft), "kg_scan_kernels")
    if not os.access(helper, os.X_OK):
        return "unknown (no kg_scan_kernels beside it)"
    named = subprocess.run([helper], capture_output=True, text=True)
    return named.stdout.strip() if named.returncode == 0 else "unknown (kg_scan_kernels failed)"


def processor():
    """The processor's model as /proc/cpuinfo names it ("model name"), or the machine's type."""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return os.uname().machine


def overlay(work_dir):
    """Mounts an overlay under `work_dir` (its layers beside it) and returns where it shows its
    files, or None with the reason printed when it cannot be mounted."""
    layers = [os.path.join(work_dir, d) for d in ("lower", "upper", "work", "view")]
    for d in layers:
        os.makedirs(d)
    mounted = subprocess.run(["mount", "-t", "overlay", "overlay", "-o",
                              "lowerdir=%s,upperdir=%s,workdir=%s" % tuple(layers[:3]), layers[3]],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        print(f"\nthe overlay case is left out: the mount was refused: {mounted.stderr.strip()}")
        return None
    return layers[3]


def main():
    parser = argparse.ArgumentParser(
        description=__doc__.splitlines()[0],
        epilog="The 1 GiB + 1 GiB case: bench/run.sh --case normal --size-mib 1024 --runs 3 "
               "(about 6 GiB free under --tmpdir).")
    parser.add_argument("--k-graft", required=True, help="the k_graft binary to time")
    parser.add_argument("--k-graft-before", metavar="PATH",
                        help="an earlier k_graft (e.g. a build of main) to time as well; the "
                             "targets against it are judged only then")
    parser.add_argument("--size-mib", type=int, default=100, help="size of each model file (100)")
    parser.add_argument("--runs", type=int, default=15, help="timed rounds per case (15)")
    parser.add_argument("--long-line-mib", type=int, default=100,
                        help="length of the long line of the long-line case (100)")
    parser.add_argument("--awk-long-line", action="store_true",
                        help="time awk in the long-line case too (mawk takes minutes there)")
    cases = ["normal", "cold", "lf-only", "long-line", "overlay", "replace", "count"]
    parser.add_argument("--case", choices=["all", "both"] + cases, default="all",
                        help="which cases to run (all: every one, cold and overlay when root; "
                             "both: normal and long-line)")
    parser.add_argument("--tmpdir", default=os.environ.get("TMPDIR", "/tmp"),
                        help="where the files are made ($TMPDIR or /tmp)")
    args = parser.parse_args()
    k_graft = os.path.abspath(args.k_graft)
    before = os.path.abspath(args.k_graft_before) if args.k_graft_before else None
    wanted = {"all": list(cases), "both": ["normal", "long-line"]}.get(args.case, [args.case])
    for case, needs in (("cold", "dropping the page cache"), ("overlay", "mounting an overlay")):
        if case in wanted and os.geteuid() != 0:
            if args.case == case:
                sys.exit(f"bench: {needs} needs root")
            wanted.remove(case)
            print(f"the {case} case is left out: {needs} needs root")

    # The word and byte kernels (processors without vector kernels, or a KG_PORTABLE_KERNELS
    # build) have targets of their own.
    scan_kernels = kernels(k_graft)
    portable = scan_kernels.startswith(("word", "plain"))
    targets = ({"held": 1.5, "overlay": 2.0, "count": 3.0} if portable else
               {"held": 0.90, "overlay": 1.25, "count": 1.30})
    print(f"k_graft: {k_graft}; scan kernels {scan_kernels}"
          f"{f' (before: {kernels(before)})' if before else ''}; processor {processor()}; "
          f"kernel {os.uname().release}; "
          f"{os.cpu_count()} CPUs; {args.runs} timed rounds per case")
    verdicts = []
    unjudged = "not judged: needs --k-graft-before"

    def judge(times, what, target=None, standing=False):
        if before:
            verdicts.append(against_before(times, what, target, standing))
        elif not standing:
            verdicts.append((f"{what}: {unjudged}", True))

    size = f"{args.size_mib} MiB + {args.size_mib} MiB"
    with tempfile.TemporaryDirectory(prefix="kg-bench-", dir=args.tmpdir) as work_dir:
        if "normal" in wanted:
            times, rss, held = run_case(f"{size} merge, CR LF lines, warm cache", k_graft,
                                        work_dir, args.size_mib, 0, args.runs, before=before)
            medians = {label: statistics.median(values) for label, values in times.items()}
            awk_ratio = medians["k_graft"] / medians[AWK]
            cat_ratio = medians["k_graft"] / medians[CAT]
            if held == "held":
                verdicts.append(against(times, "held inputs, warm", CAT, targets["held"]))
            else:
                verdicts.append((f"held inputs, warm: not judged: the inputs are {held} here",
                                 True))
            verdicts.append(memory(rss, f"{held} inputs, warm"))
            judge(times, f"{held} inputs, warm", standing=True)
            if before:
                verdicts.append((f"{held} inputs, peak memory {rss['k_graft']:,} KiB, before "
                                 f"{rss[BEFORE]:,} KiB (standing target: unchanged, within 64 "
                                 f"KiB)", rss["k_graft"] <= rss[BEFORE] + 64))
            verdicts += [
                (f"k_graft / awk = {awk_ratio:.2f} (standing target <= 0.5)", awk_ratio <= 0.5),
                (f"k_graft / cat = {cat_ratio:.2f}, warm (standing target <= 1.0)",
                 cat_ratio <= 1.0),
            ]
            pipe_ratio = medians["k_graft"] / medians[PIPE]
            print(f"\nk_graft / `{PIPE}` = {pipe_ratio:.2f} (the floor through user space)")
        if "cold" in wanted:
            times, _, _ = run_case(f"{size} merge, CR LF lines, page cache dropped before each run",
                                k_graft, work_dir, args.size_mib, 0, args.runs, with_awk=False,
                                before=before, cold=True)
            cat_ratio = statistics.median(times["k_graft"]) / statistics.median(times[CAT])
            verdicts.append((f"k_graft / cat = {cat_ratio:.2f}, cold (standing target <= 1.15)",
                             cat_ratio <= 1.15))
        if "lf-only" in wanted:
            times, rss, held = run_case(f"{size} merge, LF-only lines", k_graft, work_dir,
                                        args.size_mib, 0, args.runs, before=before,
                                        line_end=b"\n")
            pipe_ratio = statistics.median(times["k_graft"]) / statistics.median(times[PIPE])
            print(f"\nk_graft / `{PIPE}` = {pipe_ratio:.2f} (the floor: every line is rewritten)")
            judge(times, f"{held} inputs, LF-only")
            verdicts.append(memory(rss, f"{held} inputs, LF-only"))
        if "long-line" in wanted:
            _, rss, _ = run_case(
                f"{size} merge, one {args.long_line_mib} MiB line in the first file's network "
                f"section", k_graft, work_dir, args.size_mib, args.long_line_mib,
                max(1, min(args.runs, 3)), with_awk=args.awk_long_line)
            verdicts.append(memory(rss, "one long line"))
        if "overlay" in wanted:
            view = overlay(os.path.join(work_dir, "overlay"))
            if view:
                try:
                    times, rss, _ = run_case(f"{size} merge, CR LF lines, warm cache, inputs "
                                          f"read through an overlay", k_graft, view,
                                          args.size_mib, 0, args.runs, with_awk=False,
                                          before=before)
                finally:
                    subprocess.run(["umount", view])
                verdicts.append(against(times, "inputs read unheld (overlay), warm", CAT,
                                          targets["overlay"]))
                verdicts.append(memory(rss, "inputs read unheld (overlay)"))
                judge(times, "inputs read unheld (overlay), warm", 1.4, standing=True)
            else:
                verdicts.append(("inputs read unheld (overlay): not judged: no overlay here",
                                 True))
        if "replace" in wanted:
            times, _, held = run_case(f"{size} merge, CR LF lines, warm cache, an existing "
                                      f"output replaced after a yes", k_graft, work_dir,
                                      args.size_mib, 0, args.runs, with_awk=False, before=before,
                                      existing=True)
            judge(times, f"{held} inputs, existing output replaced")
        if "count" in wanted:
            times, rss, held = run_count_case(f"{size} count alone: line counts that differ, "
                                              f"CR LF lines, warm cache", k_graft, work_dir,
                                              args.size_mib, args.runs, before)
            verdicts.append(against(times, f"{held} inputs, the count alone", WC,
                                   targets["count"]))
            verdicts.append(memory(rss, f"{held} inputs, the count alone"))
    if before:
        # Reached only when they were: a case whose outputs differ stops the benchmark.
        verdicts.append(("outputs byte-identical to the build before's in every case timed "
                         "against it (the count alone: the same report)", True))
    print("\n== Targets (the exit status judges these) ==")
    for text, met in verdicts:
        if "standing target" not in text:
            print(f"{'met   ' if met else 'MISSED'} {text}")
    standing = [(text, met) for text, met in verdicts if "standing target" in text]
    if standing:
        print("\n== Standing targets of earlier work (for reference: warm and cold runs a few "
              "milliseconds apart swing them on a shared machine) ==")
    for text, met in standing:
        print(f"{'met   ' if met else 'missed'} {text}")
    return 0 if all(met for text, met in verdicts if "standing target" not in text) else 2


if __name__ == "__main__":
    sys.exit(main())
