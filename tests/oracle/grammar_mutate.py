#!/usr/bin/env python3.13
"""Mutation fuzzer for the grammar recognizer: mutants of real code with CPython's verdict.

Seeds are the snippets of extract_snippets.py (JSON lines {"code"} on stdin or in --seeds)
and windows of lines from the files listed in --files. Each mutant applies one to three
mutations: character deletion, insertion or swap; token deletion, duplication, insertion
or swap; indentation changes; truncation; insertion of a keyword or an operator.

Usage: grammar_mutate.py [--seed S] [--count N] [--seeds snippets.jsonl] [--files paths.txt]
Prints N lines {"code", "valid", "msg", "line", "seed"}; the seed is new on every run unless
given, and is printed to stderr so a run can be repeated.
"""
import argparse
import json
import os
import random
import re
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from grammar_oracle import read_module_text, verdict  # noqa: E402

KEYWORDS = ["False", "None", "True", "and", "as", "assert", "async", "await", "break",
            "class", "continue", "def", "del", "elif", "else", "except", "finally", "for",
            "from", "global", "if", "import", "in", "is", "lambda", "nonlocal", "not", "or",
            "pass", "raise", "return", "try", "while", "with", "yield", "match", "case",
            "type", "_", "print", "x"]
OPERATORS = ["(", ")", "[", "]", "{", "}", ":", ",", ";", "+", "-", "*", "/", "|", "&", "<",
             ">", "=", ".", "%", "==", "!=", "<=", ">=", "~", "^", "<<", ">>", "**", "+=",
             "-=", "*=", "/=", "//", "@", "->", "...", ":=", "!", "\\\n", "\n", " ", "    ",
             "\t", "'", '"', "f'", "f\"", "b'", "rb'", "'''", '"""', "{x}", "{x!r}", "{x:>3}",
             "\\N{DASH}", "\\x4", "\\u12", "*a", "**k", "0x", "1_0", "1j", "1e5", "0o7", "#"]
TOKEN_RE = re.compile(r"[A-Za-z_][A-Za-z0-9_]*|\d+[\w.]*|'''|\"\"\"|\*\*=?|//=?|<<=?|>>=?|"
                      r"[-+*/%&|^@=<>!:]=|->|\.\.\.|\n[ \t]*|\s+|.", re.S)


def mutate_once(text, rng):
    n = len(text)
    op = rng.randrange(12)
    pos = rng.randrange(n + 1) if n else 0
    if op == 0 and n:  # delete a character
        return text[:pos] + text[pos + 1:]
    if op == 1:  # insert a character from the text or an operator
        ins = text[rng.randrange(n)] if n and rng.random() < 0.5 else rng.choice(OPERATORS)
        return text[:pos] + ins + text[pos:]
    if op == 2 and n > 1:  # swap two characters
        i, j = sorted(rng.sample(range(n), 2))
        return text[:i] + text[j] + text[i + 1:j] + text[i] + text[j + 1:]
    if op == 3:  # truncate
        return text[:pos]
    if op == 4:  # insert a keyword with spaces
        return text[:pos] + " " + rng.choice(KEYWORDS) + " " + text[pos:]
    toks = TOKEN_RE.findall(text)
    if not toks:
        return text + rng.choice(KEYWORDS)
    k = rng.randrange(len(toks))
    if op == 5:  # delete a token
        del toks[k]
    elif op == 6:  # duplicate a token
        toks.insert(k, toks[k])
    elif op == 7 and len(toks) > 1:  # swap two tokens
        j = rng.randrange(len(toks))
        toks[k], toks[j] = toks[j], toks[k]
    elif op == 8:  # insert an operator or keyword between tokens
        toks.insert(k, rng.choice(OPERATORS + KEYWORDS))
    elif op == 9:  # move a token elsewhere
        t = toks.pop(k)
        toks.insert(rng.randrange(len(toks) + 1), t)
    elif op == 10:  # indentation: change the indent of one line
        lines = text.split("\n")
        i = rng.randrange(len(lines))
        change = rng.choice(["", " ", "  ", "    ", "\t", "        "])
        stripped = lines[i].lstrip(" \t")
        if rng.random() < 0.5:
            lines[i] = change + stripped
        else:
            lines[i] = change + lines[i]
        return "\n".join(lines)
    else:  # replace a token with a keyword
        toks[k] = rng.choice(KEYWORDS)
    return "".join(toks)


def seeds_from(args, rng):
    seeds = []
    if args.seeds:
        with open(args.seeds, encoding="utf-8") as f:
            for line in f:
                code = json.loads(line)["code"]
                if len(code) <= 4000:
                    seeds.append(code)
    files = []
    if args.files:
        with open(args.files, encoding="utf-8") as f:
            files = [l.rstrip("\n") for l in f if l.strip()]
    return seeds, files


def window(files, rng):
    path = rng.choice(files)
    try:
        lines = read_module_text(path).split("\n")
    except OSError:
        return ""
    if not lines:
        return ""
    i = rng.randrange(len(lines))
    # Start at a line without indentation more often than not, so that the window parses.
    for _ in range(40):
        if i < len(lines) and lines[i] and not lines[i][0].isspace():
            break
        i = rng.randrange(len(lines))
    k = rng.randint(1, 40)
    return "\n".join(lines[i:i + k]) + "\n"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--count", type=int, default=1000)
    ap.add_argument("--seeds")
    ap.add_argument("--files")
    args = ap.parse_args()
    seed = args.seed if args.seed is not None else int(time.time() * 1000) % (1 << 31)
    print("grammar_mutate.py seed %d" % seed, file=sys.stderr)
    rng = random.Random(seed)
    seeds, files = seeds_from(args, rng)
    if not seeds and not files:
        sys.exit("no seeds: give --seeds and/or --files")
    sys.setrecursionlimit(10000)
    for _ in range(args.count):
        if files and (not seeds or rng.random() < 0.5):
            text = window(files, rng)
        else:
            text = rng.choice(seeds)
        for _ in range(rng.choice([1, 1, 1, 2, 3])):
            text = mutate_once(text, rng)
        try:
            text.encode("utf-8")
        except UnicodeEncodeError:
            continue
        out = {"code": text, "seed": seed}
        out.update(verdict(text))
        print(json.dumps(out))


if __name__ == "__main__":
    main()
