#!/usr/bin/env bash
# The reference figure for bench_redis_xadd: redis-benchmark pipelining 10,000 XADD requests
# (MAXLEN ~ 100, one field) against a private redis-server on loopback.
#
#   bench/redis-benchmark-compare.sh [requests]    (default 100000)
#
# Prints redis-benchmark's requests per second twice: with its default 50 connections (the
# usual reference figure) and with one connection, like one RedisConnection.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
requests="${1:-100000}"
echo "redis-benchmark -P 10000 -n $requests (50 connections):"
"$here/redis-reference.sh" -P 10000 -n "$requests" xadd bench:stream MAXLEN '~' 100 '*' value 12.5
echo "redis-benchmark -P 10000 -n $requests -c 1 (one connection):"
"$here/redis-reference.sh" -P 10000 -n "$requests" -c 1 xadd bench:stream MAXLEN '~' 100 '*' value 12.5
