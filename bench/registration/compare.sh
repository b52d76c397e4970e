#!/usr/bin/env bash
# The reference figure for bench_registration's BM_SendBatch: redis-benchmark sending HSET
# requests shaped like a registration's data point records (the same hash key, a field like a
# data point name, a value of the records' mean size) in pipelines as deep as one run's batch,
# over one connection, against a private redis-server on loopback.
#
#   bench/registration/compare.sh [depth] [value bytes] [batches]
#
# Defaults: 100005 (100,000 data points and 5 structure types), 157 (BM_EncodeRecords'
# bytes/dataPoint), 10.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
depth="${1:-100005}"
size="${2:-157}"
batches="${3:-10}"
value="$(head -c "$size" /dev/zero | tr '\0' 'v')"
echo "redis-benchmark HSET, -P $depth -n $((depth * batches)) -c 1, values of $size bytes:"
"$here/../redis-reference.sh" -c 1 -P "$depth" -n "$((depth * batches))" -r "$depth" \
  hset TULOrmantaService.DataPoints TULOrmantaService.Area__rand_int__ "$value"
