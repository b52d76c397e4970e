#!/usr/bin/env bash
# The performance suite: starts one private redis-server on a free loopback port (no
# persistence), runs every figure and its anchor against it, and prints one Markdown table.
#
#   bench/run-benchmarks.sh BUILD_DIR [FIGURE...]          the suite, or only the figures named
#   bench/run-benchmarks.sh BUILD_DIR --micro [FILTER...]  the Google Benchmark micro-benchmarks
#                                                          (each starts a server of its own)
#
# Figures, in order: change pass publish-10k publish-100k memory latency sets registration
# registration-1m idle; publish-cluster (on a private cluster of six nodes) only when named. Each runs in a process of its own (BUILD_DIR/bench/tul-bench FIGURE
# --redis ...), bounded in time; the table is also written to
# BUILD_DIR/bench/performance-table.md. Progress goes to stderr. registration-1m builds a test
# model of 1,000,000 elements (about 5 GB resident at its peak); with less memory available it
# is skipped and says so. TUL_BENCH_IDLE_SECONDS sets the idle figure's window (default 21),
# TUL_BENCH_BUDGET the suite's time budget in seconds (default 300).
set -euo pipefail

dir="${1:?usage: run-benchmarks.sh BUILD_DIR [FIGURE...] | --micro [FILTER...]}"
shift

if [ "${1:-}" = "--micro" ]; then
  shift
  args=()
  [ $# -eq 0 ] || args+=("--benchmark_filter=$(IFS='|'; echo "$*")")
  for name in bench_redis_xadd bench_registration bench_commands; do
    exe="$dir/bench/$name"
    [ -x "$exe" ] || { echo "no $exe: build the target tul-benchmarks first" >&2; exit 1; }
    echo "== $name"
    "$exe" "${args[@]}"
  done
  exit 0
fi

# Figure and its time limit in seconds, in the order they run (each takes 1 to 35 s on two
# shared cores). The suite as a whole stops after TUL_BENCH_BUDGET seconds (default 300):
# figures that would start later are listed as skipped.
declare -A limits=([change]=30 [pass]=45 [publish-10k]=45 [publish-100k]=60 [memory]=45 [latency]=60
                   [sets]=45 [registration]=45 [registration-1m]=90 [idle]=45
                   [publish-cluster]=90)
budget="${TUL_BENCH_BUDGET:-300}"
order=(change pass publish-10k publish-100k memory latency sets registration registration-1m idle)
figures=()
for arg in "$@"; do
  [ -n "${limits[$arg]:-}" ] || { echo "unknown figure: $arg (known: ${order[*]} publish-cluster)" >&2; exit 2; }
  figures+=("$arg")
done
[ ${#figures[@]} -gt 0 ] || figures=("${order[@]}")
# What registration-1m needs at its peak, in kB, with some room.
needed_kb=$((6 * 1024 * 1024))

bench="$dir/bench/tul-bench"
[ -x "$bench" ] || { echo "no $bench: build the target tul-benchmarks first" >&2; exit 1; }
for tool in redis-server redis-cli redis-benchmark timeout; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
done

work="$(mktemp -d "${TMPDIR:-/tmp}/tul-bench-XXXXXX")"
pid=""
cleanup() {
  if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A random high port; a port someone else holds makes the server exit, so try another. The
# server must answer as our process, not as another one on the same port.
for _ in 1 2 3 4 5 6 7 8; do
  port=$((20000 + RANDOM % 40000))
  redis-server --port "$port" --bind 127.0.0.1 --save "" --appendonly no --daemonize no --dir "$work" \
               >"$work/redis.log" 2>&1 </dev/null &
  pid=$!
  for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || break
    if redis-cli -h 127.0.0.1 -p "$port" INFO server 2>/dev/null | tr -d '\r' | grep -qx "process_id:$pid"; then
      break 2
    fi
    sleep 0.05
  done
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  pid=""
done
[ -n "$pid" ] || { echo "redis-server did not start:" >&2; cat "$work/redis.log" >&2; exit 1; }

version="$(redis-server --version | sed -n 's/.*v=\([^ ]*\).*/\1/p')"
echo "Suite against redis-server $version on 127.0.0.1:$port (pid $pid, no persistence)" >&2
rows="$work/rows"
: >"$rows"
started=$SECONDS
for figure in "${figures[@]}"; do
  available_kb="$(sed -n 's/^MemAvailable: *\([0-9]*\) kB/\1/p' /proc/meminfo)"
  if [ "$figure" = registration-1m ] && [ "${available_kb:-0}" -lt "$needed_kb" ]; then
    echo "== $figure skipped: $((available_kb / 1024)) MB available, $((needed_kb / 1024)) MB needed" >&2
    echo "| 6b. Registration, 1,000,000 elements | skipped: $((available_kb / 1024)) MB of memory available, 6 GB needed | | | ≤ 700 MB |" >>"$rows"
    continue
  fi
  limit=${limits[$figure]}
  left=$((budget - (SECONDS - started)))
  [ "$left" -ge "$limit" ] || limit=$left
  if [ "$limit" -lt 5 ]; then
    echo "== $figure skipped: the suite's budget of $budget s is spent" >&2
    echo "| $figure | skipped: the suite's budget of $budget s was spent | | | |" >>"$rows"
    continue
  fi
  echo "== $figure (at most $limit s)" >&2
  began=$SECONDS
  status=0
  timeout -k 5 "$limit" "$bench" "$figure" --redis "127.0.0.1:$port" \
    --idle-seconds "${TUL_BENCH_IDLE_SECONDS:-21}" >"$work/out" || status=$?
  cat "$work/out" >>"$rows"
  if [ "$status" -ne 0 ]; then
    reason="failed (exit $status)"
    [ "$status" -ne 124 ] && [ "$status" -ne 137 ] || reason="did not finish within $limit s"
    echo "| $figure | $reason | | | |" >>"$rows"
    echo "!missed $figure" >>"$rows"
  fi
  echo "   $((SECONDS - began)) s" >&2
done

table="$dir/bench/performance-table.md"
{
  echo "| figure | ours | anchor | ratio | target |"
  echo "|---|---|---|---|---|"
  grep '^|' "$rows" || true
  echo
  if grep -q '^!missed ' "$rows"; then
    echo "Missed targets:"
    sed -n 's/^!missed /- /p' "$rows"
  else
    echo "Every target met."
  fi
  echo
  echo "redis-server $version, $(nproc) cores, $(uname -sr); suite took $((SECONDS - started)) s."
} | tee "$table"
