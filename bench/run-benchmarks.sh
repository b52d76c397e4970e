#!/usr/bin/env bash
# Runs every benchmark executable of a build directory.
#
#   bench/run-benchmarks.sh BUILD_DIR [name filter...]
#
# Filters are joined with "|" into --benchmark_filter (a regular expression).
set -euo pipefail

dir="${1:?usage: run-benchmarks.sh BUILD_DIR [name filter...]}"
shift
args=()
if [ $# -gt 0 ]; then
  filter="$(IFS='|'; echo "$*")"
  args+=("--benchmark_filter=$filter")
fi

found=0
for exe in "$dir"/bench/bench_*; do
  [ -f "$exe" ] && [ -x "$exe" ] || continue
  found=1
  echo "== $(basename "$exe")"
  "$exe" "${args[@]}"
done
if [ "$found" -eq 0 ]; then
  echo "no bench_* executables in $dir/bench" >&2
  exit 1
fi
