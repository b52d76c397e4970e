#!/usr/bin/env bash
# The plant demo: a private redis-server (unless --address is given), and ormanta-host serving
# examples/plant.json as the service "Plant". Ctrl-C (or typing "quit") stops everything it started.
#
#   apps/demo.sh BUILD_DIR [--address HOST:PORT]
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SERVICE="Plant"

usage() { echo "usage: $0 BUILD_DIR [--address HOST:PORT]" >&2; exit 2; }

[ $# -ge 1 ] || usage
BUILD="$(cd "$1" && pwd)" || usage
shift
ADDRESS=""
while [ $# -gt 0 ]; do
  case "$1" in
    --address) [ $# -ge 2 ] || usage; ADDRESS="$2"; shift 2 ;;
    --address=*) ADDRESS="${1#--address=}"; shift ;;
    *) usage ;;
  esac
done

HOST_BIN="$BUILD/apps/ormanta-host"
PLUGIN="$BUILD/plugin/libTulService.so"
MODEL="$ROOT/examples/plant.json"
for file in "$HOST_BIN" "$PLUGIN" "$MODEL"; do
  [ -e "$file" ] || { echo "demo: $file is missing (build first: ./run build)" >&2; exit 1; }
done

TMP_DIR=""
REDIS_PID=""
HOST_PID=""

cleanup() {
  trap - INT TERM EXIT
  # Only the processes this script started, by the pids it recorded.
  if [ -n "$HOST_PID" ] && kill -0 "$HOST_PID" 2>/dev/null; then
    kill -TERM "$HOST_PID" 2>/dev/null || true
    wait "$HOST_PID" 2>/dev/null || true
  fi
  if [ -n "$REDIS_PID" ] && kill -0 "$REDIS_PID" 2>/dev/null; then
    kill -TERM "$REDIS_PID" 2>/dev/null || true
    wait "$REDIS_PID" 2>/dev/null || true
  fi
  [ -n "$TMP_DIR" ] && rm -rf "$TMP_DIR"
  echo "demo: stopped" >&2
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# True when the redis-server on port answers and is the process with pid (not some other
# server that already had the port).
redis_is_ours() {
  local info
  info="$(redis-cli -h 127.0.0.1 -p "$1" INFO server 2>/dev/null)" || return 1
  grep -q "^process_id:$2" <<<"${info//$'\r'/}"
}

start_redis() {
  command -v redis-server >/dev/null || { echo "demo: redis-server is not installed" >&2; exit 1; }
  TMP_DIR="$(mktemp -d "${TMPDIR:-/tmp}/tul-demo.XXXXXX")"
  local attempt port i
  for attempt in 1 2 3 4 5 6 7 8 9 10; do
    port=$((20000 + RANDOM % 40000))
    redis-server --port "$port" --bind 127.0.0.1 --save "" --appendonly no --daemonize no \
      --dir "$TMP_DIR" --logfile "$TMP_DIR/redis.log" </dev/null &
    REDIS_PID=$!
    for i in $(seq 1 50); do
      if ! kill -0 "$REDIS_PID" 2>/dev/null; then break; fi  # the port was taken: try another
      if redis_is_ours "$port" "$REDIS_PID"; then
        REDIS_PORT="$port"
        return 0
      fi
      sleep 0.1
    done
    kill -TERM "$REDIS_PID" 2>/dev/null || true
    wait "$REDIS_PID" 2>/dev/null || true
    REDIS_PID=""
  done
  echo "demo: redis-server did not start (log: $TMP_DIR/redis.log)" >&2
  exit 1
}

if [ -z "$ADDRESS" ]; then
  start_redis
  ADDRESS="127.0.0.1:$REDIS_PORT"
  WHERE="a private redis-server on $ADDRESS (no persistence, in $TMP_DIR)"
else
  WHERE="the Redis server at $ADDRESS"
fi

# redis-cli's arguments for the address ("host", "host:port", "[v6]:port").
cli_host="${ADDRESS%:*}"; cli_port="${ADDRESS##*:}"
if [ "$cli_host" = "$ADDRESS" ] || [[ "$cli_port" == *"]"* ]]; then cli_host="$ADDRESS"; cli_port=6379; fi
cli_host="${cli_host#[}"; cli_host="${cli_host%]}"
[ -n "$cli_host" ] || cli_host=127.0.0.1
CLI="redis-cli -h $cli_host -p $cli_port"
PEER="./run peer --address $ADDRESS"
S="$SERVICE"
M="$S.BoilerHouse.Boiler1"

cat <<TEXT
== Ormanta plant demo ==
ormanta-host serves examples/plant.json as service "$S" on $WHERE.

From another terminal, in $ROOT:
  $PEER services
  $PEER browse $S
  $PEER watch $S BoilerHouse.Boiler1.Temp BoilerHouse.Boiler1.Setpoint Utilities.Controller.Heartbeat
  $PEER set $S BoilerHouse.Boiler1.Setpoint=82.5

The same with redis-cli:
  $CLI HGETALL Services
  $CLI HKEYS $S.DataPoints
  $CLI HGET $S.DataPoints $M
  $CLI XADD $S.Commands '*' cmd subscribe subscriptionId cli-1 samplingInterval 1000 name $M.Temp
  $CLI XREAD COUNT 5 STREAMS ${S}Value:$M.Temp 0
  $CLI XADD $S.Commands '*' cmd set name $M.Setpoint value 82.5
  $CLI XREVRANGE $S.Commands + - COUNT 2

Type commands for the host here: read BoilerHouse.Boiler1.Setpoint | write BoilerHouse.Boiler1.Setpoint 79 |
reconnect | quit.   Ctrl-C stops everything.
Host output (JSON lines) follows.
TEXT

CONFIG="{\"address\":\"$ADDRESS\",\"serviceName\":\"$S\"}"
# A background job's standard input would be /dev/null: hand it the terminal explicitly.
exec 3<&0
"$HOST_BIN" --plugin "$PLUGIN" --model "$MODEL" --config "$CONFIG" --reconnect-every 2000 <&3 \
  > >(sed -u 's/^/host| /') &
HOST_PID=$!
status=0
wait "$HOST_PID" || status=$?
HOST_PID=""
exit "$status"
