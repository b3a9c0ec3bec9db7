#!/usr/bin/env python3
"""Makes two model files for the benchmark: equal line counts, CR LF (or LF) lines, one "@3" each.

Lines hold 20 to 120 printable characters (never CR, LF or byte 26, and only the marker line starts
with "@3"), so that simple awk and Python merges give the same bytes as k_graft. With a long line,
the first file's network section also holds one line of that many characters.
"""

import argparse
import os
import random

MIB = 1024 * 1024
MIN_LINE = 20
MAX_LINE = 120
# Printable ASCII without '@', so that no line but the marker line can start with "@3".
ALPHABET = bytes(c for c in range(32, 127) if c != ord("@"))
POOL_SIZE = 1 << 20


def make_pool(rng):
    """Returns POOL_SIZE random bytes of ALPHABET, from which lines are cut."""
    table = bytes(ALPHABET[i % len(ALPHABET)] for i in range(256))
    return rng.randbytes(POOL_SIZE).translate(table)


def write_lines(path, rng, pool, line_count, marker_line, min_bytes=0, long_line=None,
                line_end=b"\r\n"):
    """Writes model lines to `path` and returns how many it wrote.

    Writes `line_count` lines, or when `line_count` is None as many ordinary lines as make at least
    `min_bytes`. The line at index `marker_line` starts with "@3". `long_line`, when given, is
    (index, length): that line is `length` characters long, written in pieces, never held whole,
    and not counted towards `min_bytes`. Every line ends with `line_end`.
    """
    chunk = []
    chunk_bytes = 0
    written = 0
    index = 0
    with open(path, "wb", buffering=0) as out:
        while True:
            if line_count is not None and index == line_count:
                break
            if line_count is None and written + chunk_bytes >= min_bytes:
                break
            if long_line is not None and index == long_line[0]:
                out.write(b"".join(chunk))
                written += chunk_bytes
                chunk, chunk_bytes = [], 0
                left = long_line[1]
                while left > 0:
                    part = min(left, POOL_SIZE)
                    out.write(pool[:part])
                    left -= part
                out.write(line_end)  # not counted towards `min_bytes`
            else:
                length = rng.randint(MIN_LINE, MAX_LINE)
                start = rng.randrange(POOL_SIZE - length)
                text = pool[start : start + length]
                if index == marker_line:
                    text = b"@3" + text[2:]
                chunk.append(text + line_end)
                chunk_bytes += length + len(line_end)
            index += 1
            if chunk_bytes >= MIB:
                out.write(b"".join(chunk))
                written += chunk_bytes
                chunk, chunk_bytes = [], 0
        out.write(b"".join(chunk))
    return index


def generate(directory, size_mib, marker_at=0.5, long_line_mib=0, seed=1, line_end=b"\r\n"):
    """Makes `directory`/a.mo and b.mo and returns (first path, second path, line count).

    a.mo is at least `size_mib` MiB of ordinary lines (plus the long line when `long_line_mib` is
    above 0, placed at a quarter of the network section); b.mo has as many lines. Each file's marker
    line stands at the fraction `marker_at` of its lines. Lines end with `line_end`.
    """
    rng = random.Random(seed)
    pool = make_pool(rng)
    first = os.path.join(directory, "a.mo")
    second = os.path.join(directory, "b.mo")
    min_bytes = size_mib * MIB
    planned = min_bytes // ((MIN_LINE + MAX_LINE) // 2 + 2)
    marker_line = int(planned * marker_at)
    long_line = (marker_line // 4, long_line_mib * MIB) if long_line_mib > 0 else None
    count = write_lines(first, rng, pool, None, marker_line, min_bytes, long_line, line_end)
    if marker_line >= count:
        raise SystemExit("gen_models: the marker would fall outside the file; lower --marker-at")
    write_lines(second, rng, pool, count, int(count * marker_at), line_end=line_end)
    return first, second, count


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("directory", help="where a.mo and b.mo are made")
    parser.add_argument("--size-mib", type=int, default=100, help="size of each file (100)")
    parser.add_argument("--marker-at", type=float, default=0.5,
                        help="fraction of the lines before the marker line (0.5)")
    parser.add_argument("--long-line-mib", type=int, default=0,
                        help="add one line this long to the first file's network section")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--lf-only", action="store_true", help="end lines with LF alone")
    args = parser.parse_args()
    first, second, count = generate(args.directory, args.size_mib, args.marker_at,
                                    args.long_line_mib, args.seed,
                                    b"\n" if args.lf_only else b"\r\n")
    print(f"{first} {os.path.getsize(first)} bytes, {second} {os.path.getsize(second)} bytes, "
          f"{count} lines each")


if __name__ == "__main__":
    main()
