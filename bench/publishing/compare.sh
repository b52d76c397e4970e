#!/usr/bin/env bash
# Reference for BM_PublishPass: redis-benchmark sending the same XADD (one "value" field,
# MAXLEN ~ 100) to 10,000 different streams, 10,000 requests deep in the pipeline, on one
# connection, against a private redis-server.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
exec "$here/../redis-reference.sh" -c 1 -P 10000 -n 200000 -r 10000 \
  xadd 'SValue:S.E__rand_int__.A' MAXLEN '~' 100 '*' value 12.5
