#!/usr/bin/env bash
# Runs redis-benchmark against a private redis-server on a free loopback port, as the
# reference figure beside a benchmark of ours.
#
#   bench/redis-reference.sh [redis-benchmark options...] COMMAND ARGS...
#
# Prints redis-benchmark's final "requests per second" line. The server is stopped by its pid
# and its directory removed on exit.
set -euo pipefail

dir="$(mktemp -d "${TMPDIR:-/tmp}/tul-redis-bench-XXXXXX")"
pid=""
cleanup() {
  if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$dir"
}
trap cleanup EXIT

# A random high port; a port someone else holds makes the server exit, so try again.
for _ in 1 2 3 4 5 6 7 8; do
  port=$((20000 + RANDOM % 40000))
  redis-server --port "$port" --bind 127.0.0.1 --save "" --appendonly no --daemonize no \
               --dir "$dir" >"$dir/redis.log" 2>&1 &
  pid=$!
  for _ in $(seq 100); do
    if ! kill -0 "$pid" 2>/dev/null; then break; fi
    if [ "$(redis-cli -h 127.0.0.1 -p "$port" ping 2>/dev/null)" = "PONG" ]; then break 2; fi
    sleep 0.05
  done
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  pid=""
done
if [ -z "$pid" ]; then
  echo "redis-server did not start:" >&2
  cat "$dir/redis.log" >&2
  exit 1
fi

# -q still draws a progress line with carriage returns; keep the final figure only.
redis-benchmark -h 127.0.0.1 -p "$port" -q "$@" | tr '\r' '\n' | grep 'requests per second' | tail -1
