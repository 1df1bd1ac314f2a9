#!/usr/bin/env python3
"""Prints the size of the test suite against the code it tests, in non-blank
lines (tests/ against src/ and python/), and fails when the suite passes
LIMIT times the code: tests that restate the code cost more than they catch."""

import subprocess
import sys
from pathlib import Path

LIMIT = 0.40
ROOT = Path(__file__).resolve().parents[1]


def non_blank_lines(folder):
    """Per file, the non-blank lines of every tracked or new text file under folder."""
    listed = subprocess.run(
        ["git", "ls-files", "--cached", "--others", "--exclude-standard", folder],
        cwd=ROOT,
        capture_output=True,
        text=True,
        check=True,
    ).stdout.split()
    counts = {}
    for name in listed:
        try:
            text = (ROOT / name).read_text(encoding="utf-8")
        except (UnicodeDecodeError, FileNotFoundError):
            continue  # binary files and deleted ones
        counts[name] = sum(1 for line in text.splitlines() if line.strip())
    return counts


def main():
    tests = non_blank_lines("tests")
    code = {**non_blank_lines("src"), **non_blank_lines("python")}
    by_folder = {}
    for name, lines in tests.items():
        folder = "/".join(name.split("/")[:2])
        by_folder[folder] = by_folder.get(folder, 0) + lines
    for folder, lines in sorted(by_folder.items()):
        print(f"{folder:24} {lines:6}")
    ratio = sum(tests.values()) / max(1, sum(code.values()))
    print(f"tests {sum(tests.values())} / code {sum(code.values())} = {ratio:.2f} (limit {LIMIT:.2f})")
    return 0 if ratio <= LIMIT else 1


if __name__ == "__main__":
    sys.exit(main())
