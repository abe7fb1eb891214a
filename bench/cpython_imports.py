#!/usr/bin/env python3.13
"""CPython's side of bench/imports_figures.sh: `pelmora imports FILE...` as ast.parse plus
the import walk, one line per file in the same form ("PATH ok|invalid NAME...").

Usage: python3.13 bench/cpython_imports.py FILE...
"""
import ast
import sys
import warnings


def report(path):
    with open(path, "rb") as f:
        text = f.read().decode("utf-8", errors="replace")
    try:
        tree = ast.parse(text)
    except BaseException:
        return path + " invalid"
    names = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            for alias in node.names:
                names.add(alias.name.split(".")[0])
        elif isinstance(node, ast.ImportFrom) and node.module:
            names.add(node.module.split(".")[0])
    return " ".join([path, "ok", *sorted(names)])


def main():
    warnings.simplefilter("ignore")
    sys.stdout.write("".join(report(p) + "\n" for p in sys.argv[1:]))


if __name__ == "__main__":
    main()
