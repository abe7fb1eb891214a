#!/usr/bin/env python3.13
"""Golden data for the string-literal form (python_repr), computed by CPython 3.13's repr().

Usage: PYENV_VERSION=3.13.0 python3.13 tests/oracle/gen_repr_golden.py [OUT_DIR]
       (OUT_DIR defaults to tests/data/repr)

Writes:
  cases.txt        one case a line: the code points of the text in hex, separated by
                   spaces (an empty text is an empty field), a tab, then repr(text) as UTF-8.
                   Fixed cases first, then random texts drawn from every plane with a fixed
                   seed.
  nonprintable.txt the code points from U+0080 up, surrogates left out, that repr() escapes
                   (str.isprintable() is False), as ranges "FIRST LAST" in hex, one a line.

Modes for the live tests:
  repr             stdin: lines of hex code points as in cases.txt; stdout: repr of each.
  all              stdout: repr(chr(c)) of every code point but the surrogates, one a line.
"""
import os
import random
import sys

SPECIALS = (
    [0x27, 0x22, 0x5C, 0x09, 0x0A, 0x0D, 0x0C, 0x0B, 0x00, 0x1B, 0x1F, 0x7F, 0x20, 0x7E]
    + list(range(0x80, 0xA0))  # C1 controls
    + [0xA0, 0xAD, 0xE9, 0xFF, 0x100, 0x200B, 0x200C, 0x200D, 0x2028, 0x2029, 0x202F,
       0x3000, 0xFEFF, 0xFFFD, 0xFFFE, 0xFFFF, 0xE000, 0xF8FF, 0x1F600, 0x10FFFF,
       0xF0000, 0x100000, 0xE0001, 0xE007F, 0x1D173, 0x2EBF0, 0x2FFC, 0x31EF, 0x378,
       0x30000, 0x3134A, 0x20000, 0x1F1E6]
)


def random_code_point(rng):
    kind = rng.random()
    if kind < 0.25:
        return rng.choice(SPECIALS)
    if kind < 0.45:
        return rng.randrange(0x20, 0x7F)
    if kind < 0.55:
        return rng.randrange(0x00, 0x100)
    if kind < 0.80:
        while True:
            c = rng.randrange(0x100, 0x10000)
            if not 0xD800 <= c <= 0xDFFF:
                return c
    return rng.randrange(0x10000, 0x110000)


def fixed_cases():
    return [
        "",
        "'",
        '"',
        "'\"",
        "it's",
        'say "hi"',
        "both ' and \"",
        "back\\slash",
        "\t\n\r\x0b\x0c",
        "".join(chr(c) for c in range(0x80)),
        "".join(chr(c) for c in range(0x80, 0x100)),
        "caf\u00e9 \ufffd \u00a0 \u200b \u2028 \u2029",
        "GREETING = \"hi\"\n",
        "NAME = 'pkg'\nfrom common import GREETING\n",
        "\U0001f600\U000e0001\U0010ffff",
        "\U0002ebf0\U0002ee5d\u2ffc\u2fff\u31ef",
    ]


def hex_of(text):
    return " ".join("%x" % ord(c) for c in text)


def nonprintable_ranges():
    ranges = []
    for c in range(0x80, 0x110000):
        if 0xD800 <= c <= 0xDFFF or chr(c).isprintable():
            continue
        if ranges and ranges[-1][1] == c - 1:
            ranges[-1][1] = c
        else:
            ranges.append([c, c])
    return ranges


def write_golden(out_dir):
    rng = random.Random(20261208)
    texts = fixed_cases()
    for _ in range(400):
        texts.append("".join(chr(random_code_point(rng)) for _ in range(rng.randrange(0, 24))))
    with open(os.path.join(out_dir, "cases.txt"), "w", encoding="utf-8", newline="\n") as f:
        for text in texts:
            f.write(hex_of(text) + "\t" + repr(text) + "\n")
    with open(os.path.join(out_dir, "nonprintable.txt"), "w", encoding="ascii", newline="\n") as f:
        for first, last in nonprintable_ranges():
            f.write("%x %x\n" % (first, last))


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "repr":
        lines = sys.stdin.buffer.read().decode("ascii").split("\n")
        if lines and lines[-1] == "":
            lines.pop()
        for line in lines:
            text = "".join(chr(int(h, 16)) for h in line.split())
            sys.stdout.buffer.write((repr(text) + "\n").encode("utf-8"))
        return
    if len(sys.argv) > 1 and sys.argv[1] == "all":
        parts = []
        for c in range(0x110000):
            if not 0xD800 <= c <= 0xDFFF:
                parts.append(repr(chr(c)))
        sys.stdout.buffer.write(("\n".join(parts) + "\n").encode("utf-8"))
        return
    if sys.version_info[:2] != (3, 13):
        sys.exit("CPython 3.13 is needed, this is %s" % sys.version.split()[0])
    here = os.path.dirname(os.path.abspath(__file__))
    write_golden(sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "data", "repr"))


if __name__ == "__main__":
    main()
