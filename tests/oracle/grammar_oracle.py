#!/usr/bin/env python3.13
"""CPython 3.13's verdicts for the grammar recognizer: whether ast.parse accepts a text.

Modes:
  files             stdin: one path per line; stdout: one JSON line per file
                    {"path", "valid", "msg", "line"}; files are read the way module files
                    are read (UTF-8 with replacement, LF newlines)
  codes             stdin: JSON lines {"code": ...}; stdout: {"code", "valid", "msg", "line"}
  corpus            prints the paths of the differential corpus: every .py file of the
                    CPython 3.13 library and test suite, and of the other Pythons'
                    site-packages and /usr/lib/python3/dist-packages

Valid means ast.parse(text) raises nothing (warnings ignored); any exception (SyntaxError,
ValueError, MemoryError, RecursionError, ...) makes the text invalid.
"""
import ast
import glob
import json
import os
import sys
import warnings


def read_module_text(path):
    with open(path, "rb") as f:
        data = f.read()
    text = data.decode("utf-8", errors="replace")
    return text.replace("\r\n", "\n").replace("\r", "\n")


def verdict(code):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            ast.parse(code)
    except SyntaxError as e:
        return {"valid": False, "msg": str(e.msg), "line": e.lineno or 0}
    except BaseException as e:  # ValueError, MemoryError, RecursionError, ...
        return {"valid": False, "msg": "%s: %s" % (type(e).__name__, e), "line": 0}
    return {"valid": True, "msg": "", "line": 0}


def corpus():
    roots = ["/root/.pyenv/versions/3.13.0/lib/python3.13"]
    roots += sorted(glob.glob("/root/.pyenv/versions/*/lib/python*/site-packages"))
    roots += ["/usr/lib/python3/dist-packages"]
    seen = set()
    for root in roots:
        for dirpath, dirnames, filenames in os.walk(root):
            dirnames.sort()
            for name in sorted(filenames):
                if name.endswith(".py"):
                    path = os.path.join(dirpath, name)
                    real = os.path.realpath(path)
                    if real in seen or not os.path.isfile(real):
                        continue
                    seen.add(real)
                    print(path)


def main():
    mode = sys.argv[1] if len(sys.argv) > 1 else "codes"
    sys.setrecursionlimit(10000)
    if mode == "corpus":
        corpus()
    elif mode == "files":
        for line in sys.stdin:
            path = line.rstrip("\n")
            if not path:
                continue
            out = {"path": path}
            out.update(verdict(read_module_text(path)))
            print(json.dumps(out), flush=False)
    else:
        for line in sys.stdin:
            code = json.loads(line)["code"]
            out = {"code": code}
            out.update(verdict(code))
            print(json.dumps(out))


if __name__ == "__main__":
    main()
