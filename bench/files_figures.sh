#!/bin/bash
# Download throughput of a job's file on loopback: `pelmora get` beside curl fetching the
# same file from the same service, in the same run (each run twice, alternating; the
# second fetch of each finds the file in the page cache, as a service that just wrote it
# would). The file is SIZE_MIB MiB of random bytes written by a job.
#
#   bench/files_figures.sh [SIZE_MIB]            (default: 1024)
#   PELMORA=path/to/pelmora bench/files_figures.sh   (default: build/release/pelmora)
set -euo pipefail
cd "$(dirname "$0")/.."
size=${1:-1024}
pelmora=$(realpath "${PELMORA:-build/release/pelmora}")
work=$(mktemp -d)
service=""
cleanup() {
  [ -n "$service" ] && kill "$service" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$pelmora" serve --data-dir "$work/data" --port "$port" >/dev/null 2>"$work/serve.log" &
service=$!
for _ in $(seq 100); do [ -s "$work/data/state/local_key.json" ] && break; sleep 0.1; done
export PELMORA_API_URL="http://127.0.0.1:$port"
PELMORA_API_KEY=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["keys"][0]["key"])' "$work/data/state/local_key.json")
export PELMORA_API_KEY
# The key reaches curl from a file, not its command line.
(umask 077; printf 'Authorization: Bearer %s\n' "$PELMORA_API_KEY" > "$work/auth")
cat > "$work/write.py" <<PY
import os
with open('big.bin', 'wb') as f:
    for _ in range($size):
        f.write(os.urandom(1 << 20))
PY
job=$("$pelmora" submit "$work/write.py" --follow | sed -n 's/.*job_id=//p')
bytes=$((size * 1024 * 1024))

rate() {  # label, seconds
  python3 -c 'import sys; b, s = int(sys.argv[2]), float(sys.argv[3]); print("%-14s %6.2f s  %7.1f MiB/s" % (sys.argv[1], s, b / s / 2**20))' "$1" "$bytes" "$2"
}
timed() {  # seconds taken by the command
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1
  end=$(date +%s.%N)
  python3 -c 'import sys; print(float(sys.argv[2]) - float(sys.argv[1]))' "$start" "$end"
}
echo "file: $size MiB, service and clients on loopback, target $work"
for round in 1 2; do
  rm -rf "$work/get" "$work/curl.bin"
  rate "pelmora get" "$(timed "$pelmora" get "$job" big.bin --to "$work/get")"
  rate "curl" "$(timed curl -sf -H @"$work/auth" -o "$work/curl.bin" "$PELMORA_API_URL/v1/jobs/$job/files/big.bin")"
  cmp "$work/get/big.bin" "$work/curl.bin"
done
