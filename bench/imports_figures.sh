#!/bin/bash
# `pelmora imports` over the first FILES .py files (sorted by path) of CPython 3.13's
# standard library, whole process against whole process: bench/cpython_imports.py
# (ast.parse plus the import walk, the same report) on the same files in the same run.
# Prints the best of REPEAT runs, wall clock and CPU seconds, for CPython, pelmora on one
# core (taskset) and pelmora on every core, with the ratios; checks that the reports agree.
#
#   bench/imports_figures.sh [FILES] [REPEAT]        (defaults: 700 and 5)
#   PELMORA=path/to/pelmora bench/imports_figures.sh (default: build/release/pelmora)
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-700}
repeat=${2:-5}
pelmora=${PELMORA:-build/release/pelmora}
python=(env PYENV_VERSION=3.13.0 python3.13)
stdlib=$("${python[@]}" -c 'import sysconfig; print(sysconfig.get_path("stdlib"))') || {
  echo "imports_figures: CPython 3.13 (PYENV_VERSION=3.13.0 python3.13) not found" >&2
  exit 1
}
mapfile -t files < <(find "$stdlib" -name '*.py' -type f | LC_ALL=C sort | head -n "$count")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# best NAME COMMAND...: runs COMMAND REPEAT times (output to $work/NAME.out) and sets
# best_real and best_cpu to the smallest wall-clock and user+system seconds.
best() {
  local name=$1; shift
  best_real=""; best_cpu=""
  local TIMEFORMAT="%R %U %S" t real user sys
  for (( i = 0; i < repeat; i++ )); do
    t=$( { time "$@" > "$work/$name.out" 2>/dev/null; } 2>&1 )
    read -r real user sys <<< "$t"
    best_real=$(awk -v a="$real" -v b="${best_real:-$real}" 'BEGIN { print (a < b ? a : b) }')
    best_cpu=$(awk -v a="$user" -v b="$sys" -v c="${best_cpu:-1e9}" \
      'BEGIN { print (a + b < c ? a + b : c) }')
  done
}

bytes=$(cat "${files[@]}" | wc -c)
echo "files: ${#files[@]} ($bytes bytes) from $stdlib; best of $repeat runs"
best cpython "${python[@]}" bench/cpython_imports.py "${files[@]}"
py_real=$best_real; py_cpu=$best_cpu
best one_core taskset -c 0 "$pelmora" imports "${files[@]}"
one_real=$best_real; one_cpu=$best_cpu
best all_cores "$pelmora" imports "${files[@]}"
all_real=$best_real; all_cpu=$best_cpu
cmp -s "$work/cpython.out" "$work/all_cores.out" && agree=yes || agree=NO
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1fx", a / b }'; }
printf '%-22s %8s %8s %10s\n' "" "wall s" "cpu s" "speed-up"
printf '%-22s %8.3f %8.3f %10s\n' "CPython ast.parse" "$py_real" "$py_cpu" "1x"
printf '%-22s %8.3f %8.3f %10s\n' "pelmora, one core" "$one_real" "$one_cpu" \
  "$(ratio "$py_real" "$one_real")"
printf '%-22s %8.3f %8.3f %10s\n' "pelmora, $(nproc) cores" "$all_real" "$all_cpu" \
  "$(ratio "$py_real" "$all_real")"
echo "reports agree: $agree"
