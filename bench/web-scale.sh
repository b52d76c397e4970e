#!/usr/bin/env bash
# The web view's scale figure: the plant demo's model plus an element "Load" of 104 members, 200
# watched members in all on one page in headless Chromium; Load.Fast counts at 1 kHz and a second
# subscriber at 1 ms makes the service publish it at 1 kHz. Prints the CPU that tul-peer web used
# (user + system, % of one core) over SECONDS after a warm-up, and what the page showed.
#   bench/web-scale.sh BUILD_DIR [SECONDS]
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$(cd "$1" && pwd)"
SECONDS_MEASURED="${2:-30}"
TMP="$(mktemp -d "${TMPDIR:-/tmp}/tul-web-scale.XXXXXX")"
PIDS=()
cleanup() {
  local pid
  for pid in "${PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$TMP"
}
trap cleanup EXIT
port() { /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# The model, and the 200 member names without the service's.
/usr/bin/python3 - "$ROOT/examples/plant.json" "$TMP" <<'PY'
import json, sys
model = json.load(open(sys.argv[1]))
load = [{"name": "S%03d" % i, "type": "double", "access": "r", "value": 0,
         "simulate": {"kind": "sine", "periodMs": 10000, "stepMs": 500, "amplitude": 1}} for i in range(103)]
load.append({"name": "Fast", "type": "uint", "access": "r", "value": 0, "simulate": {"kind": "counter", "periodMs": 1}})
model["elements"].append({"key": "Load", "attributes": load})
json.dump(model, open(sys.argv[2] + "/model.json", "w"))
names = []
def walk(elements, prefix):
    for e in elements:
        key = prefix + e["key"]
        names.extend(key + "." + a["name"] for a in e.get("attributes", []))
        walk(e.get("children", []), key + ".")
walk(model["elements"], "")
open(sys.argv[2] + "/watch", "w").write(",".join(names[:199] + ["Load.Fast"]))
PY

REDIS_PORT="$(port)"
redis-server --port "$REDIS_PORT" --bind 127.0.0.1 --save "" --appendonly no --dir "$TMP" >"$TMP/redis.log" 2>&1 &
PIDS+=("$!")
sleep 0.5
CLI=(redis-cli -p "$REDIS_PORT")
"$BUILD/apps/ormanta-host" --plugin "$BUILD/plugin/libTulService.so" --model "$TMP/model.json" \
  --config "{\"address\":\"127.0.0.1:$REDIS_PORT\",\"serviceName\":\"Plant\"}" </dev/null >/dev/null 2>"$TMP/host.log" &
PIDS+=("$!")
WEB_PORT="$(port)"
"$BUILD/apps/tul-peer" --address "127.0.0.1:$REDIS_PORT" web --listen "127.0.0.1:$WEB_PORT" >"$TMP/web.out" 2>&1 &
WEB_PID=$!
PIDS+=("$WEB_PID")
until "${CLI[@]}" GET Plant.Status 2>/dev/null | grep -q registeredAt; do sleep 0.2; done

# The second subscriber: Load.Fast at 1 ms, renewed within its lease.
( while true; do
    "${CLI[@]}" XADD Plant.Commands '*' cmd subscribe subscriptionId scale-fast samplingInterval 1 \
      name Plant.Load.Fast >/dev/null
    sleep 10
  done ) &
PIDS+=("$!")

URL="http://127.0.0.1:$WEB_PORT/?service=Plant&watch=$(cat "$TMP/watch")"
/usr/bin/python3 "$ROOT/tests/e2e/web_view.py" --hold "$URL" $((SECONDS_MEASURED + 15)) Plant.Load.Fast &
BROWSER_PID=$!
PIDS+=("$BROWSER_PID")
sleep 10  # the page open, every member subscribed
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
before="$(ticks "$WEB_PID")"
start="$(date +%s.%N)"
sleep "$SECONDS_MEASURED"
after="$(ticks "$WEB_PID")"
end="$(date +%s.%N)"
# The publishing rate from the times of the stream's last 100 entries.
published="$("${CLI[@]}" XREVRANGE PlantValue:Plant.Load.Fast + - COUNT 100 | grep -E '^[0-9]+-[0-9]+$' \
  | awk -F- 'NR == 1 { last = $1 } { first = $1; n++ } END { printf "%.0f", (n - 1) * 1000 / (last - first + 0.001) }')"
wait "$BROWSER_PID" || true
awk -v t="$((after - before))" -v hz="$(getconf CLK_TCK)" -v s="$start" -v e="$end" -v p="$published" \
  'BEGIN { printf "tul-peer web: %.1f %% of a core over %.0f s; Plant.Load.Fast published %d times/s\n", 100 * t / hz / (e - s), e - s, p }'
