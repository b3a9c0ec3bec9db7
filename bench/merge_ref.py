#!/usr/bin/env python3
"""A streaming Python merge of two model files, the reference k_graft is timed against.

Usage: merge_ref.py FIRST SECOND OUTPUT. Refuses (exit 1) inputs of unequal line counts; else
writes FIRST's lines before its first line starting "@3", then SECOND's lines from its first such
line on, each ended CR LF. Handles LF and CR LF line ends; it assumes no lone CR and no byte 26,
which the benchmark's generated files never hold.
"""

import sys

BLOCK = 1 << 20


def count_lines(path):
    """Returns the number of lines of `path`; a last line without a line end counts too."""
    count = 0
    last = b"\n"
    with open(path, "rb") as f:
        while block := f.read(BLOCK):
            count += block.count(b"\n")
            last = block[-1:]
    return count + (last != b"\n")


def body(line):
    """Returns `line` without its LF or CR LF line end."""
    if line.endswith(b"\n"):
        line = line[:-2] if line.endswith(b"\r\n") else line[:-1]
    return line


def main():
    first, second, output = sys.argv[1:4]
    if count_lines(first) != count_lines(second):
        sys.exit("merge_ref: the line counts differ")
    with open(first, "rb") as a, open(second, "rb") as b, open(output, "wb") as out:
        for line in a:
            if line.startswith(b"@3"):
                break
            out.write(body(line) + b"\r\n")
        copying = False
        for line in b:
            copying = copying or line.startswith(b"@3")
            if copying:
                out.write(body(line) + b"\r\n")


if __name__ == "__main__":
    main()
