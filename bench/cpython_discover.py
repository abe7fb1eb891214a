#!/usr/bin/env python3.13
"""CPython's side of BM_Discover: ast.parse plus the import walk over the same files.

Usage: python3.13 bench/cpython_discover.py [STDLIB_DIR] [REPEAT]
Prints one line: "<bytes> <CPU seconds> <MB/s>" for the best of REPEAT passes (default 1), where
bytes is the UTF-8 size of the decoded texts (as the C++ side measures them).
"""
import ast
import os
import sys
import sysconfig
import time
import warnings


def texts(root):
    out = []
    for dirpath, dirs, files in os.walk(root):
        dirs.sort()
        for name in sorted(files):
            if name.endswith(".py"):
                with open(os.path.join(dirpath, name), "rb") as f:
                    text = f.read().decode("utf-8", errors="replace")
                out.append(text.replace("\r\n", "\n").replace("\r", "\n"))
    return out


def scan(text):
    try:
        tree = ast.parse(text)
    except BaseException:
        return False, set()
    names = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            for alias in node.names:
                names.add(alias.name.split(".")[0])
        elif isinstance(node, ast.ImportFrom) and node.module:
            names.add(node.module.split(".")[0])
    return True, names


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else sysconfig.get_paths()["stdlib"]
    repeat = int(sys.argv[2]) if len(sys.argv) > 2 else 1
    all_texts = texts(root)
    size = sum(len(t.encode("utf-8", errors="surrogatepass")) for t in all_texts)
    best = None
    warnings.simplefilter("ignore")
    for _ in range(repeat):
        start = time.process_time()
        for t in all_texts:
            scan(t)
        elapsed = time.process_time() - start
        best = elapsed if best is None else min(best, elapsed)
    print(f"{size} {best:.4f} {size / best / 1e6:.2f}")


if __name__ == "__main__":
    main()
