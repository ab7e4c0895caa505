#!/usr/bin/env python3
"""Checks that every C excerpt the guide quotes is still in the example module.

usage: check_guide_excerpts.py <guide.md> <example.c>

Each ```c block of the guide must be a run of consecutive lines of the example, line for line
(leading and trailing blanks aside: an excerpt may be indented less than its source). Prints
each excerpt that is not found, with its line in the guide, and exits 1; exits 0 when every
excerpt is found.
"""
import re
import sys


def excerpts(text):
    """(line number, [lines]) of every ```c block."""
    found = []
    lines = text.split("\n")
    i = 0
    while i < len(lines):
        if re.fullmatch(r"\s*```c\s*", lines[i]):
            start = i + 1
            j = start
            while j < len(lines) and not re.fullmatch(r"\s*```\s*", lines[j]):
                j += 1
            if j == len(lines):
                found.append((start, None))  # an unterminated block
                break
            found.append((start, lines[start:j]))
            i = j
        i += 1
    return found


def appears(block, source):
    want = [line.strip() for line in block]
    have = [line.strip() for line in source]
    if not want:
        return False
    return any(have[k:k + len(want)] == want for k in range(len(have) - len(want) + 1))


def main(argv):
    if len(argv) != 3:
        print(__doc__.strip().split("\n\n")[1], file=sys.stderr)
        return 2
    with open(argv[1], encoding="utf-8") as f:
        guide = f.read()
    with open(argv[2], encoding="utf-8") as f:
        source = f.read().split("\n")
    blocks = excerpts(guide)
    if not blocks:
        print(f"{argv[1]}: no ```c excerpt found", file=sys.stderr)
        return 1
    missing = 0
    for line, block in blocks:
        if block is None:
            print(f"{argv[1]}:{line}: a ```c block is not closed", file=sys.stderr)
            missing += 1
        elif not appears(block, source):
            print(f"{argv[1]}:{line}: excerpt not in {argv[2]}:", file=sys.stderr)
            for text in block:
                print(f"    {text}", file=sys.stderr)
            missing += 1
    if missing:
        return 1
    print(f"{len(blocks)} excerpts of {argv[1]} found in {argv[2]}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
