#!/usr/bin/env python3
"""Times k_graft against cat, an awk merge and a Python merge on generated model files.

Run through bench/run.sh, which builds k_graft first. For each case it makes two model files,
runs every command once to warm the cache, then times several rounds (the commands in turn, with
a sync and a removed output before each run), checks that the merges (k_graft, awk, Python) wrote
the same bytes, and prints the median wall times with each one's ratio to k_graft's, and k_graft's peak resident
memory as /usr/bin/time -v reports it. The long-line case leaves awk out unless asked: mawk grows
its record buffer for a 100 MiB line so slowly that one run takes minutes.
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


def commands(k_graft, a, b, with_awk):
    """Returns [(label, output path, shell command)] of the timed commands, k_graft first.

    Besides the floor the issue names (`cat a b > c`, which GNU cat may do inside the kernel with
    copy_file_range), `cat a b | cat > c` shows the floor for a program whose bytes pass through
    its own memory, as k_graft's do.
    """
    d = os.path.dirname(a)
    q = shlex.quote
    out = {name: os.path.join(d, f"out-{name}.mo") for name in ("k_graft", "cat", "pipe", "awk",
                                                                "py")}
    result = [
        ("k_graft", out["k_graft"], f"{q(k_graft)} {q(a)} {q(b)} {q(out['k_graft'])}"),
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


def run_once(command, output):
    """Runs `command` with /dev/null as standard input and returns its wall time in seconds.

    The output is removed and the written data synced first, so that no run pays for another's
    write-back. Stops the benchmark when the command fails.
    """
    if os.path.exists(output):
        os.remove(output)
    os.sync()
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


def run_case(title, k_graft, work_dir, size_mib, long_line_mib, runs, with_awk=True):
    """Generates the files of one case, times it, checks the outputs and prints its table.

    Returns (median seconds by label, k_graft's peak resident memory in KiB).
    """
    print(f"\n== {title} ==", flush=True)
    start = time.perf_counter()
    a, b, lines = gen_models.generate(work_dir, size_mib, long_line_mib=long_line_mib)
    print(f"made {os.path.getsize(a):,} + {os.path.getsize(b):,} bytes, {lines:,} lines each "
          f"({time.perf_counter() - start:.1f} s), in {work_dir}", flush=True)
    cmds = commands(k_graft, a, b, with_awk)
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
            times[label].append(run_once(command, output))
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
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--k-graft", required=True, help="the k_graft binary to time")
    parser.add_argument("--size-mib", type=int, default=100, help="size of each model file (100)")
    parser.add_argument("--runs", type=int, default=5, help="timed rounds per case (5)")
    parser.add_argument("--long-line-mib", type=int, default=100,
                        help="length of the long line of the long-line case (100)")
    parser.add_argument("--awk-long-line", action="store_true",
                        help="time awk in the long-line case too (mawk takes minutes there)")
    parser.add_argument("--case", choices=["both", "normal", "long-line"], default="both",
                        help="which cases to run (both)")
    parser.add_argument("--tmpdir", default=os.environ.get("TMPDIR", "/tmp"),
                        help="where the files are made ($TMPDIR or /tmp)")
    args = parser.parse_args()
    k_graft = os.path.abspath(args.k_graft)

    print(f"k_graft: {k_graft}; {os.cpu_count()} CPUs; {args.runs} timed rounds per case")
    verdicts = []
    with tempfile.TemporaryDirectory(prefix="kg-bench-", dir=args.tmpdir) as work_dir:
        if args.case in ("both", "normal"):
            medians, rss = run_case(f"{args.size_mib} MiB + {args.size_mib} MiB merge", k_graft,
                                    work_dir, args.size_mib, 0, args.runs)
            awk_ratio = medians["k_graft"] / medians[AWK]
            cat_ratio = medians["k_graft"] / medians[CAT]
            verdicts += [
                (f"k_graft / awk = {awk_ratio:.2f} (target <= 0.5)", awk_ratio <= 0.5),
                (f"k_graft / cat = {cat_ratio:.2f} (target <= 2.5)", cat_ratio <= 2.5),
                (f"peak memory {rss / 1024:.1f} MiB (target < 8)", rss < 8 * 1024),
            ]
            pipe_ratio = medians["k_graft"] / medians[PIPE]
            print(f"\nk_graft / `{PIPE}` = {pipe_ratio:.2f} (the floor through user space)")
        if args.case in ("both", "long-line"):
            _, rss = run_case(
                f"{args.size_mib} MiB + {args.size_mib} MiB merge, one "
                f"{args.long_line_mib} MiB line in the first file's network section", k_graft,
                work_dir, args.size_mib, args.long_line_mib, max(1, min(args.runs, 3)),
                with_awk=args.awk_long_line)
            verdicts.append((f"long-line peak memory {rss / 1024:.1f} MiB (target < 8)",
                             rss < 8 * 1024))
    print("\n== Targets ==")
    for text, met in verdicts:
        print(f"{'met   ' if met else 'MISSED'} {text}")
    return 0 if all(met for _, met in verdicts) else 2


if __name__ == "__main__":
    sys.exit(main())
