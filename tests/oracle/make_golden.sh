#!/bin/sh
# Regenerates the golden files of tests/data/imports from CPython 3.13.
set -e
cd "$(dirname "$0")/../.."
PY="env PYENV_VERSION=3.13.0 python3.13"
STDLIB=$($PY -c 'import sysconfig; print(sysconfig.get_paths()["stdlib"])')
ORACLE=tests/oracle/imports_oracle.py
OUT=tests/data/imports
$PY tests/oracle/edge_cases.py > $OUT/edge_cases.jsonl
$PY $ORACLE verdicts "$STDLIB" > $OUT/stdlib_verdicts.jsonl
# Mutations of small windows of standard-library files, with their answers.
$PY $ORACLE stdlib "$STDLIB" | $PY -c '
import json, sys
for line in sys.stdin:
    sys.stdout.write(json.dumps({"code": json.loads(line)["code"]}, ensure_ascii=False) + "\n")
' | $PY $ORACLE mutate 7 800 500 > /tmp/pelmora-mutations.in
$PY $ORACLE answer < /tmp/pelmora-mutations.in | $PY -c '
import json, sys
codes = [json.loads(l)["code"] for l in open("/tmp/pelmora-mutations.in")]
for code, line in zip(codes, sys.stdin):
    rec = {"code": code}
    rec.update(json.loads(line))
    sys.stdout.write(json.dumps(rec, ensure_ascii=False) + "\n")
' > $OUT/mutations.jsonl
rm -f /tmp/pelmora-mutations.in
