#!/usr/bin/env python3.13
"""Reference answers for import discovery, computed by CPython 3.13's own parser.

Modes:
  answer            stdin: lines {"code": ...}; stdout: lines {"valid": bool, "imports": [...]}
  files FILE...     one line per file: {"path", "code", "valid", "imports"}; files are read
                    the way module files are read (UTF-8 with replacement, LF newlines)
  stdlib DIR        like files, for every .py file under DIR
  mutate SEED N [W] stdin: lines {"code": ...}; stdout: N mutated {"code": ...} lines, each
                    cut from a window of at most W characters (default 1500)
  verdicts DIR      like stdlib, but {"path" (relative to DIR), "valid", "imports"} only

Valid means ast.parse(text) raises nothing; the import names are the first components of
every Import alias and of every ImportFrom module, sorted by code point.
"""
import ast
import json
import os
import random
import sys
import warnings


def read_module_text(path):
    with open(path, "rb") as f:
        data = f.read()
    text = data.decode("utf-8", errors="replace")
    return text.replace("\r\n", "\n").replace("\r", "\n")


def answer(code):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            tree = ast.parse(code)
    except BaseException:  # SyntaxError, ValueError, RecursionError, MemoryError, ...
        return {"valid": False, "imports": []}
    names = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            for alias in node.names:
                names.add(alias.name.split(".")[0])
        elif isinstance(node, ast.ImportFrom) and node.module:
            names.add(node.module.split(".")[0])
    return {"valid": True, "imports": sorted(names)}


TOKENS = ["import ", "from ", " as ", ".", ",", "(", ")", "[", "]", "{", "}", ":", ";",
          "\\\n", "\n", "    ", "\t", "'", '"', '"""', "'''", "#", "f'", "rb'", "{x}", "0x",
          "1_0", "lambda", "if ", "else", "def ", "class ", "return", "yield from ", "*",
          "**", "=", "==", ":=", "->", "@", "async ", "await ", "\x00", "\r", "\u00b5",
          "\ufb01", "pass", "try:", "except", "match ", "case ", "type ", "global x", "...",
          "\\", "!", "$", "?", "`", "not ", "in ", "del ", "with "]


def mutate(text, rng):
    n = len(text)
    op = rng.randrange(9)
    pos = rng.randrange(n + 1) if n else 0
    if op == 0 and n:  # delete a character
        return text[:pos] + text[pos + 1:]
    if op == 1:  # insert a character from the text itself or a token
        piece = rng.choice(TOKENS) if rng.random() < 0.6 or not n else text[rng.randrange(n)]
        return text[:pos] + piece + text[pos:]
    if op == 2 and n > 1:  # swap two neighbouring characters
        pos = min(pos, n - 2)
        return text[:pos] + text[pos + 1] + text[pos] + text[pos + 2:]
    if op == 3:  # truncate
        return text[:pos]
    if op == 4:  # change the indentation of one line
        lines = text.split("\n")
        i = rng.randrange(len(lines))
        stripped = lines[i].lstrip(" \t")
        lines[i] = rng.choice(["", " ", "  ", "    ", "\t", " \t", "\t ", "        "]) + stripped
        return "\n".join(lines)
    if op == 5 and n:  # delete a range of characters
        end = min(n, pos + rng.randrange(1, 12))
        return text[:pos] + text[end:]
    if op == 6:  # swap two lines
        lines = text.split("\n")
        if len(lines) > 1:
            i = rng.randrange(len(lines) - 1)
            lines[i], lines[i + 1] = lines[i + 1], lines[i]
        return "\n".join(lines)
    if op == 7:  # replace a word-ish token
        words = ["import", "from", "as", "(", ")", "x", "1", "'s'", ":", ",", "lambda"]
        return text[:pos] + rng.choice(words) + text[pos + rng.randrange(0, 4):]
    # duplicate a line
    lines = text.split("\n")
    i = rng.randrange(len(lines))
    lines.insert(i, lines[i])
    return "\n".join(lines)


def main(argv):
    mode = argv[1] if len(argv) > 1 else "answer"
    out = sys.stdout
    if mode == "answer":
        for line in sys.stdin:
            try:
                code = json.loads(line)["code"]
            except Exception as e:
                out.write(json.dumps({"error": str(e)}) + "\n")
                continue
            out.write(json.dumps(answer(code), ensure_ascii=False) + "\n")
            out.flush()
    elif mode in ("files", "stdlib", "verdicts"):
        paths = argv[2:]
        if mode in ("stdlib", "verdicts"):
            paths = []
            for root, dirs, files in os.walk(argv[2]):
                dirs.sort()
                paths += [os.path.join(root, f) for f in sorted(files) if f.endswith(".py")]
        for p in paths:
            code = read_module_text(p)
            if mode == "verdicts":
                rec = {"path": os.path.relpath(p, argv[2])}
            else:
                rec = {"path": p, "code": code}
            rec.update(answer(code))
            out.write(json.dumps(rec, ensure_ascii=False) + "\n")
    elif mode == "mutate":
        rng = random.Random(int(argv[2]))
        count = int(argv[3])
        window = int(argv[4]) if len(argv) > 4 else 1500
        sources = [json.loads(l)["code"] for l in sys.stdin]
        sources = [s for s in sources if len(s) < 20000] or sources
        for _ in range(count):
            text = rng.choice(sources)
            # Work on a window so that each case stays small and the mutation matters.
            if len(text) > window:
                start = rng.randrange(len(text) - window)
                start = text.rfind("\n", 0, start) + 1
                text = text[start:start + window]
                text = text[:text.rfind("\n") + 1] if "\n" in text else text
            for _ in range(rng.choice([1, 1, 1, 2, 3])):
                text = mutate(text, rng)
            out.write(json.dumps({"code": text}, ensure_ascii=False) + "\n")
    else:
        sys.stderr.write("unknown mode\n")
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
