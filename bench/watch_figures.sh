#!/bin/bash
# The agent's own cost over a long watch: CPU use and peak resident memory of
# `pelmora watch` at the default interval, beside bench/psutil_watch.py doing the same scan
# in the same run, on a machine filled up to about PROCESSES processes with idle sleepers.
#
#   bench/watch_figures.sh [SECONDS] [PROCESSES]     (defaults: 600 and 600)
#   PELMORA=path/to/pelmora bench/watch_figures.sh   (default: build/release/pelmora)
#   WATCH_ARGS="--auto --for 5 --mine --stop-local" bench/watch_figures.sh   (more options)
set -euo pipefail
cd "$(dirname "$0")/.."
duration=${1:-600}
target=${2:-600}
pelmora=${PELMORA:-build/release/pelmora}
# Debian's python3-psutil belongs to the system interpreter.
python=${PSUTIL_PYTHON:-/usr/bin/python3}
tick=$(getconf CLK_TCK)
work=$(mktemp -d)

sleepers=()
agent=""
python_loop=""
cleanup() {
  for pid in $agent $python_loop "${sleepers[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

count_processes() { ls /proc | grep -c '^[0-9]*$'; }
need=$(( target - $(count_processes) - 2 ))
for (( i = 0; i < need; i++ )); do
  sleep 1000000 &
  sleepers+=($!)
done

# CPU seconds (user + system) of a live process.
cpu_seconds() {
  awk -v tick="$tick" '{ sub(/^.*\) /, ""); print ($12 + $13) / tick }' "/proc/$1/stat"
}
peak_kb() { awk '/^VmHWM:/ { print $2 }' "/proc/$1/status"; }
anon_kb() { awk '/^RssAnon:/ { print $2 }' "/proc/$1/status"; }
pss_kb() { awk '/^Pss:/ { print $2 }' "/proc/$1/smaps_rollup"; }

# No key and closed input: nothing is ever offloaded, whatever the machine runs.
env -u PELMORA_API_KEY -u GATEWAY_API_KEY PELMORA_API_URL=http://127.0.0.1:9 \
  "$pelmora" watch --interval 2 ${WATCH_ARGS:-} </dev/null >"$work/agent.out" 2>&1 &
agent=$!
"$python" bench/psutil_watch.py --interval 2 </dev/null >"$work/psutil.out" 2>&1 &
python_loop=$!
start=$(date +%s.%N)
echo "processes: $(count_processes); measuring for ${duration} s ..."
sleep "$duration"
end=$(date +%s.%N)
processes=$(count_processes)

report() {
  local label=$1 pid=$2
  local cpu peak anon pss
  if [ ! -e "/proc/$pid/stat" ]; then
    echo "$label: not running any more:"; cat "$work"/*.out; return
  fi
  cpu=$(cpu_seconds "$pid")
  peak=$(peak_kb "$pid")
  anon=$(anon_kb "$pid")
  pss=$(pss_kb "$pid")
  awk -v l="$label" -v c="$cpu" -v s="$start" -v e="$end" -v p="$peak" -v a="$anon" -v q="$pss" 'BEGIN {
    printf "%-16s CPU %6.3f%% of one core (%.2f s in %.0f s)  peak RSS %5.2f MB (now: anonymous %5.2f MB, PSS %5.2f MB)\n",
      l, 100 * c / (e - s), c, e - s, p / 1024, a / 1024, q / 1024 }'
}
echo "processes at the end: $processes"
report "pelmora watch" "$agent"
report "psutil_watch.py" "$python_loop"
