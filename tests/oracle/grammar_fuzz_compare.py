#!/usr/bin/env python3.13
"""Compares the verdicts a fuzz_grammar run recorded with CPython's.

Run the target over the inputs it kept with PELMORA_GRAMMAR_VERDICTS set, then:
  PELMORA_GRAMMAR_VERDICTS=/tmp/v.jsonl ./fuzz_grammar -runs=0 CORPUS_DIR
  grammar_fuzz_compare.py /tmp/v.jsonl [--write-goldens tests/data/grammar/fuzz.jsonl]
Prints each disagreement and a count; exits 1 when there is one.
"""
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from grammar_oracle import verdict  # noqa: E402


def main():
    args = sys.argv[1:]
    out = None
    if "--write-goldens" in args:
        i = args.index("--write-goldens")
        out = args[i + 1]
        del args[i:i + 2]
    sys.setrecursionlimit(10000)
    seen = set()
    n = bad = 0
    rows = []
    with open(args[0], encoding="utf-8", errors="surrogateescape") as f:
        for line in f:
            row = json.loads(line)
            code = row["code"]
            if code in seen:
                continue
            seen.add(code)
            n += 1
            want = verdict(code)
            if want["valid"] != row["valid"]:
                bad += 1
                print(json.dumps({"code": code, "cpython": want, "recognizer": row["valid"]}))
                rows.append(dict(code=code, **want))
    print("%d inputs, %d disagreements" % (n, bad), file=sys.stderr)
    if out and rows:
        with open(out, "a", encoding="utf-8") as f:
            for r in rows:
                f.write(json.dumps(r, ensure_ascii=False) + "\n")
    sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
