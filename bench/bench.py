#!/usr/bin/env python3
"""Times k_graft against cat, an awk merge and a Python merge on generated model files.

Run through bench/run.sh, which builds k_graft first. For each case it makes two model files,
runs every command once to warm the cache, then times several rounds (the commands in turn, with
a sync and a removed output before each run), checks that the merges (k_graft, awk, Python) wrote
the same bytes, and prints the median wall times with each one's ratio to k_graft's, and k_graft's
peak resident memory as /usr/bin/time -v reports it. The cases: CR LF lines with a warm cache;
the same with the page cache dropped before every run (root only); LF-only lines, which k_graft
must rewrite; and one long line. The long-line case leaves awk out unless asked: mawk grows its
record buffer for a 100 MiB line so slowly that one run takes minutes.
"""

import argparse
import filecmp
import os
import shlex
import statistics
import subprocess
import sys
import tempfile
import time

import gen_models

HERE = os.path.dirname(os.path.abspath(__file__))


CAT = "cat a b > c"
PIPE = "cat a b | cat > c"
AWK = "awk merge"
BEFORE = "k_graft before"


def commands(k_graft, a, b, with_awk, before=None):
    """Returns [(label, output path, shell command)] of the timed commands, k_graft first.

    Besides the floor the issue names (`cat a b > c`, which GNU cat may do inside the kernel with
    copy_file_range), `cat a b | cat > c` shows the floor for a program whose bytes pass through
    its own memory, as k_graft's do.
    """
    d = os.path.dirname(a)
    q = shlex.quote
    out = {name: os.path.join(d, f"out-{name}.mo") for name in ("k_graft", "cat", "pipe", "awk",
                                                                "py")}
    result = [("k_graft", out["k_graft"], f"{q(k_graft)} {q(a)} {q(b)} {q(out['k_graft'])}")]
    if before:
        out_before = os.path.join(d, "out-before.mo")
        result.append((BEFORE, out_before, f"{q(before)} {q(a)} {q(b)} {q(out_before)}"))
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


def run_once(command, output, cold=False):
    """Runs `command` with /dev/null as standard input and returns its wall time in seconds.

    The output is removed and the written data synced first, so that no run pays for another's
    write-back; when `cold`, the page cache is dropped too. Stops the benchmark when the command
    fails.
    """
    if os.path.exists(output):
        os.remove(output)
    os.sync()
    if cold:
        with open("/proc/sys/vm/drop_caches", "w") as f:
            f.write("3\n")
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
    subprocess.run(["/usr/bin/time", "-v", "-o", report, "bash", "-c", "exec " + command],
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, check=True)
    with open(report) as f:
        for line in f:
            if "Maximum resident set size" in line:
                return int(line.rsplit(":", 1)[1])
    sys.exit("bench: /usr/bin/time -v gave no peak resident memory")


def run_case(title, k_graft, work_dir, size_mib, long_line_mib, runs, with_awk=True, before=None,
             cold=False, line_end=b"\r\n"):
    """Generates the files of one case, times it, checks the outputs and prints its table.

    `before`, when given, is an earlier k_graft timed too; `cold` drops the page cache before
    every timed run. Returns (median seconds by label, k_graft's peak resident memory in KiB).
    """
    print(f"\n== {title} ==", flush=True)
    start = time.perf_counter()
    a, b, lines = gen_models.generate(work_dir, size_mib, long_line_mib=long_line_mib,
                                      line_end=line_end)
    print(f"made {os.path.getsize(a):,} + {os.path.getsize(b):,} bytes, {lines:,} lines each "
          f"({time.perf_counter() - start:.1f} s), in {work_dir}", flush=True)
    cmds = commands(k_graft, a, b, with_awk, before)
    for _, output, command in cmds:  # warm-up: files in the cache, binaries loaded
        run_once(command, output)
    merges = [output for label, output, _ in cmds if not label.startswith("cat")]
    count = len(merges)
    for other in merges[1:]:
        if not filecmp.cmp(merges[0], other, shallow=False):
            sys.exit(f"bench: {other} differs from k_graft's output {merges[0]}")
    print(f"the {count} merges wrote the same {os.path.getsize(merges[0]):,} bytes", flush=True)
    times = {label: [] for label, _, _ in cmds}
    for round_number in range(runs):
        for label, output, command in cmds:
            times[label].append(run_once(command, output, cold))
        print(f"round {round_number + 1}/{runs} done", flush=True)
    rss = max(peak_rss_kib(cmds[0][2], cmds[0][1], work_dir) for _ in range(3))
    for _, output, _ in cmds:
        os.remove(output)
    os.remove(a)
    os.remove(b)

    medians = {label: statistics.median(values) for label, values in times.items()}
    base = medians["k_graft"]
    print(f"\n| command | median wall time (s) | runs (s) | ratio to k_graft |")
    print("|---|---:|---|---:|")
    for label, median in medians.items():
        runs_text = " ".join(f"{t:.2f}" for t in times[label])
        cell = label.replace("|", "\\|")  # a pipe inside a Markdown cell
        print(f"| {cell} | {median:.3f} | {runs_text} | {median / base:.2f} |")
    print(f"\nk_graft peak resident memory: {rss:,} KiB ({rss / 1024:.1f} MiB)")
    return medians, rss


def main():
    parser = argparse.ArgumentParser(
        description=__doc__.splitlines()[0],
        epilog="The 1 GiB + 1 GiB case: bench/run.sh --case normal --size-mib 1024 --runs 3 "
               "(about 6 GiB free under --tmpdir).")
    parser.add_argument("--k-graft", required=True, help="the k_graft binary to time")
    parser.add_argument("--k-graft-before", metavar="PATH",
                        help="an earlier k_graft (e.g. a build of main) to time as well; the "
                             "LF-only target compares against it")
    parser.add_argument("--size-mib", type=int, default=100, help="size of each model file (100)")
    parser.add_argument("--runs", type=int, default=5, help="timed rounds per case (5)")
    parser.add_argument("--long-line-mib", type=int, default=100,
                        help="length of the long line of the long-line case (100)")
    parser.add_argument("--awk-long-line", action="store_true",
                        help="time awk in the long-line case too (mawk takes minutes there)")
    parser.add_argument("--case", choices=["all", "normal", "cold", "lf-only", "long-line", "both"],
                        default="all",
                        help="which cases to run (all: normal, cold when root, lf-only, long-line; "
                             "both: normal and long-line)")
    parser.add_argument("--tmpdir", default=os.environ.get("TMPDIR", "/tmp"),
                        help="where the files are made ($TMPDIR or /tmp)")
    args = parser.parse_args()
    k_graft = os.path.abspath(args.k_graft)
    before = os.path.abspath(args.k_graft_before) if args.k_graft_before else None
    wanted = {"all": ["normal", "cold", "lf-only", "long-line"],
              "both": ["normal", "long-line"]}.get(args.case, [args.case])
    if "cold" in wanted and os.geteuid() != 0:
        if args.case == "cold":
            sys.exit("bench: dropping the page cache needs root")
        wanted.remove("cold")
        print("the cold-cache case is left out: dropping the page cache needs root")

    print(f"k_graft: {k_graft}; {os.cpu_count()} CPUs; {args.runs} timed rounds per case")
    verdicts = []
    size = f"{args.size_mib} MiB + {args.size_mib} MiB"
    with tempfile.TemporaryDirectory(prefix="kg-bench-", dir=args.tmpdir) as work_dir:
        if "normal" in wanted:
            medians, rss = run_case(f"{size} merge, CR LF lines, warm cache", k_graft, work_dir,
                                    args.size_mib, 0, args.runs, before=before)
            awk_ratio = medians["k_graft"] / medians[AWK]
            cat_ratio = medians["k_graft"] / medians[CAT]
            verdicts += [
                (f"k_graft / awk = {awk_ratio:.2f} (target <= 0.5)", awk_ratio <= 0.5),
                (f"k_graft / cat = {cat_ratio:.2f}, warm (target <= 1.0)", cat_ratio <= 1.0),
                (f"peak memory {rss / 1024:.1f} MiB (target < 8)", rss < 8 * 1024),
            ]
            pipe_ratio = medians["k_graft"] / medians[PIPE]
            print(f"\nk_graft / `{PIPE}` = {pipe_ratio:.2f} (the floor through user space)")
        if "cold" in wanted:
            medians, _ = run_case(f"{size} merge, CR LF lines, page cache dropped before each run",
                                  k_graft, work_dir, args.size_mib, 0, args.runs, with_awk=False,
                                  before=before, cold=True)
            cat_ratio = medians["k_graft"] / medians[CAT]
            verdicts.append((f"k_graft / cat = {cat_ratio:.2f}, cold (target <= 1.15)",
                             cat_ratio <= 1.15))
        if "lf-only" in wanted:
            medians, rss = run_case(f"{size} merge, LF-only lines", k_graft, work_dir,
                                    args.size_mib, 0, args.runs, before=before, line_end=b"\n")
            pipe_ratio = medians["k_graft"] / medians[PIPE]
            print(f"\nk_graft / `{PIPE}` = {pipe_ratio:.2f} (the floor: every line is rewritten)")
            if before:
                ratio = medians["k_graft"] / medians[BEFORE]
                verdicts.append((f"LF-only k_graft / k_graft before = {ratio:.2f} "
                                 f"(target <= 0.75)", ratio <= 0.75))
            verdicts.append((f"LF-only peak memory {rss / 1024:.1f} MiB (target < 8)",
                             rss < 8 * 1024))
        if "long-line" in wanted:
            _, rss = run_case(
                f"{size} merge, one {args.long_line_mib} MiB line in the first file's network "
                f"section", k_graft, work_dir, args.size_mib, args.long_line_mib,
                max(1, min(args.runs, 3)), with_awk=args.awk_long_line)
            verdicts.append((f"long-line peak memory {rss / 1024:.1f} MiB (target < 8)",
                             rss < 8 * 1024))
    print("\n== Targets ==")
    for text, met in verdicts:
        print(f"{'met   ' if met else 'MISSED'} {text}")
    return 0 if all(met for _, met in verdicts) else 2


if __name__ == "__main__":
    sys.exit(main())
