#!/usr/bin/env bash
# The plant demo: a private redis-server (unless --address is given), and ormanta-host serving
# examples/plant.json as the service "Plant". Ctrl-C (or typing "quit") stops everything it started.
# With --secure the private server speaks TLS only (certificates made by openssl in the demo's
# temporary directory) and knows two ACL users: "tul" with exactly the service's rights, and
# "peer" with what peers need; the default user is off. With --ha a private primary, two replicas
# and three sentinels stand behind the service, which finds the primary through the sentinels.
# With --cluster a private Redis Cluster of three primaries and three replicas serves it.
#
#   apps/demo.sh BUILD_DIR [--address HOST:PORT | --secure | --ha | --cluster] [--model FILE]
#   apps/demo.sh --check [OPTION...]     only checks the options (./run does, before it builds)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SERVICE="Plant"

# Errors name ./run demo, the command people type, not this script.
usage() { echo "usage: ./run demo [--address HOST:PORT | --secure | --ha | --cluster] [--model FILE]  (./run demo --help)" >&2; exit 2; }
fail() { echo "./run demo: $*" >&2; usage; }

if [ "${1:-}" = --help ] || [ "${1:-}" = -h ]; then
  cat <<'HELP'
./run demo [--address HOST:PORT | --secure | --ha | --cluster] [--model FILE]

The plant demo: ormanta-host serves examples/plant.json as the service "Plant".
  (no option)          a private redis-server on a free loopback port, without persistence
  --address HOST:PORT  the Redis server at HOST:PORT instead (nothing else is started)
  --secure             a private redis-server that speaks TLS only, with throw-away certificates
                       and two ACL users: "tul" (the service) and "peer" (tul-peer, redis-cli)
  --ha                 a private primary, two replicas and three redis-sentinels watching them as
                       master "plant": the service follows a failover (kill the primary, or run
                       SENTINEL FAILOVER; the demo prints both)
  --cluster            a private Redis Cluster, three primaries with a replica each: the service's
                       keys spread over them; kill a primary or move slots (the demo prints how)
  --model FILE         serve your own model file instead (the format: apps/host/ModelFile.h and
                       examples/plant.json); the service is still called "Plant"
It prints the tul-peer, examples/peer.py and redis-cli lines to try from another terminal, and
again on "help" and once the service serves. The host prints one line per change of the
service's state. Type read/write/reconnect/help/quit for the host; Ctrl-C stops everything the
demo started.
HELP
  exit 0
fi
CHECK_ONLY=""
if [ "${1:-}" = --check ]; then
  CHECK_ONLY=1
  shift
else
  [ $# -ge 1 ] || usage
  BUILD="$(cd "$1" && pwd)" || usage
  shift
fi
ADDRESS=""
SECURE=""
HA=""
CLUSTER=""
MODEL="$ROOT/examples/plant.json"
while [ $# -gt 0 ]; do
  case "$1" in
    --address) [ $# -ge 2 ] || fail "--address needs HOST:PORT"; ADDRESS="$2"; shift 2 ;;
    --address=*) ADDRESS="${1#--address=}"; shift ;;
    --model) [ $# -ge 2 ] || fail "--model needs a FILE"; MODEL="$2"; shift 2 ;;
    --model=*) MODEL="${1#--model=}"; shift ;;
    --secure) SECURE=1; shift ;;
    --ha) HA=1; shift ;;
    --cluster) CLUSTER=1; shift ;;
    *) fail "unknown option \"$1\"" ;;
  esac
done
# The secure demo needs a server whose certificates and users it makes itself.
[ -z "$SECURE" ] || [ -z "$ADDRESS" ] || fail "--secure starts its own server; drop --address"
[ -z "$HA" ] || [ -z "$ADDRESS$SECURE$CLUSTER" ] || fail "--ha starts its own servers; drop the other options"
[ -z "$CLUSTER" ] || [ -z "$ADDRESS$SECURE" ] || fail "--cluster starts its own servers; drop --address and --secure"
[ -f "$MODEL" ] && [ -r "$MODEL" ] || { echo "./run demo: cannot read the model file \"$MODEL\"" >&2; exit 2; }
MODEL="$(cd "$(dirname "$MODEL")" && pwd)/$(basename "$MODEL")"
[ -z "$CHECK_ONLY" ] || exit 0

HOST_BIN="$BUILD/apps/ormanta-host"
PLUGIN="$BUILD/plugin/libTulService.so"
for file in "$HOST_BIN" "$PLUGIN"; do
  [ -e "$file" ] || { echo "./run demo: $file is missing (build first: ./run build)" >&2; exit 1; }
done

TMP_DIR=""
REDIS_PID=""
HOST_PID=""
EXTRA_PIDS=()  # the replicas and sentinels of --ha, the nodes of --cluster

cleanup() {
  trap - INT TERM EXIT
  # Only the processes this script started, by the pids it recorded.
  if [ -n "$HOST_PID" ] && kill -0 "$HOST_PID" 2>/dev/null; then
    kill -TERM "$HOST_PID" 2>/dev/null || true
    wait "$HOST_PID" 2>/dev/null || true
  fi
  local pid
  for pid in "${EXTRA_PIDS[@]}" "$REDIS_PID"; do
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
      kill -TERM "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
  [ -n "$TMP_DIR" ] && rm -rf "$TMP_DIR"
  echo "./run demo: stopped" >&2
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# True when the redis-server on port answers and is the process with pid (not some other
# server that already had the port). The secure server takes only our certificates and users.
redis_is_ours() {
  local info
  if [ -n "$SECURE" ]; then
    info="$(REDISCLI_AUTH="$PEER_PASSWORD" redis-cli --tls --cacert "$TMP_DIR/ca.pem" -h 127.0.0.1 -p "$1" \
            --user peer PING 2>/dev/null)" || return 1
    [ "$info" = PONG ] && kill -0 "$2" 2>/dev/null
    return
  fi
  info="$(redis-cli -h 127.0.0.1 -p "$1" INFO server 2>/dev/null)" || return 1
  grep -q "^process_id:$2" <<<"${info//$'\r'/}"
}

# The service's ACL rule: its keys, and the commands it sends (AUTH needs no permission).
SERVICE_RULE="resetkeys ~Services ~$SERVICE.* ~${SERVICE}Value:* resetchannels -@all +ping +set +del +hdel +hset +xadd +xread +xrevrange +multi +exec +time"
# What tul-peer and the redis-cli lines below send.
PEER_RULE="resetkeys ~Services ~$SERVICE.* ~${SERVICE}Value:* resetchannels -@all +ping +get +hgetall +hget +hkeys +xadd +xread +xrevrange +xrange"

# Certificates, passwords and users of the secure server.
prepare_secure() {
  command -v openssl >/dev/null || { echo "./run demo: openssl is not installed" >&2; exit 1; }
  "$ROOT/apps/make-test-certificates.sh" "$TMP_DIR" >"$TMP_DIR/openssl.log" 2>&1 \
    || { cat "$TMP_DIR/openssl.log" >&2; echo "./run demo: openssl failed" >&2; exit 1; }
  TUL_PASSWORD="$(openssl rand -hex 16)"
  PEER_PASSWORD="$(openssl rand -hex 16)"
  (umask 077; cat >"$TMP_DIR/users.acl" <<ACL
user default off
user tul on >$TUL_PASSWORD $SERVICE_RULE
user peer on >$PEER_PASSWORD $PEER_RULE
ACL
  )
}

# start_redis [redis-server option...]: a private server on a free port; REDIS_PID, REDIS_PORT.
start_redis() {
  command -v redis-server >/dev/null || { echo "./run demo: redis-server is not installed" >&2; exit 1; }
  [ -n "$TMP_DIR" ] || TMP_DIR="$(mktemp -d "${TMPDIR:-/tmp}/tul-demo.XXXXXX")"
  [ -z "$SECURE" ] || prepare_secure
  local attempt port i
  for attempt in 1 2 3 4 5 6 7 8 9 10; do
    port=$((20000 + RANDOM % 40000))
    # TLS only: the TLS port is the one chosen, the plain one is off.
    REDIS_SECURITY=()
    [ -z "$SECURE" ] || REDIS_SECURITY=(--port 0 --tls-port "$port" --tls-cert-file "$TMP_DIR/server.pem"
      --tls-key-file "$TMP_DIR/server.key" --tls-ca-cert-file "$TMP_DIR/ca.pem" --tls-auth-clients no
      --aclfile "$TMP_DIR/users.acl")
    redis-server --port "$port" --bind 127.0.0.1 --save "" --appendonly no --daemonize no \
      --dir "$TMP_DIR" --logfile "$TMP_DIR/redis-$port.log" "${REDIS_SECURITY[@]}" "$@" </dev/null &
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
  echo "./run demo: redis-server did not start (logs: $TMP_DIR/redis-*.log)" >&2
  exit 1
}

# Writes the primary would take while no replica follows it are refused (NOREPLICAS) rather
# than lost with it; each server may become the primary, so each gets them.
HA_SETTINGS=(--min-replicas-to-write 1 --min-replicas-max-lag 10)
# A replica that joins is sent the data set at once, not after the default 5 s wait for others.
SYNC_AT_ONCE=(--repl-diskless-sync-delay 0)

# tul-peer web on a free loopback port (8080 when it is free); WEB_PID, WEB_URL.
start_web() {
  local attempt port i
  for attempt in 1 2 3 4 5 6; do
    port=8080
    [ "$attempt" = 1 ] || port=$((20000 + RANDOM % 40000))
    REDISCLI_AUTH="${PEER_PASSWORD:-${REDISCLI_AUTH:-}}" "$BUILD/apps/tul-peer" "$@" web --listen "127.0.0.1:$port" \
      </dev/null >"$TMP_DIR/web.out" 2>"$TMP_DIR/web.log" &
    WEB_PID=$!
    EXTRA_PIDS+=("$WEB_PID")
    for i in $(seq 1 50); do
      WEB_URL="$(sed -n 's/.* is at \(http[^ ]*\).*/\1/p' "$TMP_DIR/web.out")"
      [ -z "$WEB_URL" ] || return 0
      kill -0 "$WEB_PID" 2>/dev/null || break  # the port was taken: try another
      sleep 0.1
    done
  done
  WEB_URL=""
  echo "demo: tul-peer web did not start: $(cat "$TMP_DIR/web.log")" >&2
}

# The primary (REDIS_PID, REDIS_PORT), two replicas and three sentinels on free ports; SENTINELS
# lists the sentinels, REPLICA_PORTS and SENTINEL_PORTS their ports.
start_ha() {
  command -v redis-sentinel >/dev/null || { echo "./run demo: redis-sentinel is not installed" >&2; exit 1; }
  start_redis "${HA_SETTINGS[@]}" "${SYNC_AT_ONCE[@]}"
  local primary_pid="$REDIS_PID" primary_port="$REDIS_PORT" i port
  REPLICA_PORTS=()
  for i in 1 2; do
    start_redis "${HA_SETTINGS[@]}" "${SYNC_AT_ONCE[@]}" --replicaof 127.0.0.1 "$primary_port"
    EXTRA_PIDS+=("$REDIS_PID"); REPLICA_PORTS+=("$REDIS_PORT")
  done
  REDIS_PID="$primary_pid"; REDIS_PORT="$primary_port"
  SENTINELS=""; SENTINEL_PORTS=()
  for i in 1 2 3; do
    port=$((20000 + RANDOM % 40000))
    cat >"$TMP_DIR/sentinel-$i.conf" <<CONF
port $port
bind 127.0.0.1
dir $TMP_DIR
logfile $TMP_DIR/sentinel-$i.log
sentinel monitor plant 127.0.0.1 $primary_port 2
sentinel down-after-milliseconds plant 1000
sentinel failover-timeout plant 3000
CONF
    redis-sentinel "$TMP_DIR/sentinel-$i.conf" </dev/null &
    EXTRA_PIDS+=("$!"); SENTINEL_PORTS+=("$port")
    SENTINELS="$SENTINELS${SENTINELS:+,}127.0.0.1:$port"
  done
  # Ready once both replicas follow the primary and every sentinel knows them.
  for i in $(seq 1 100); do
    redis-cli -p "$primary_port" INFO replication | grep -q '^connected_slaves:2' && break
    sleep 0.1
  done
  for port in "${SENTINEL_PORTS[@]}"; do
    for i in $(seq 1 100); do
      [ "$(redis-cli -p "$port" SENTINEL REPLICAS plant 2>/dev/null | grep -c '^name$')" = 2 ] && break
      sleep 0.1
    done
  done
}

# Six cluster nodes (REDIS_PID the first), made a cluster of three primaries with a replica each;
# SEEDS lists them, NODE_PORTS and NODE_PIDS hold their ports and pids.
start_cluster() {
  local i
  NODE_PORTS=(); NODE_PIDS=(); SEEDS=""
  for i in 1 2 3 4 5 6; do
    start_redis --cluster-enabled yes --cluster-config-file "nodes-$i.conf" --cluster-node-timeout 1000 \
      "${SYNC_AT_ONCE[@]}"
    NODE_PORTS+=("$REDIS_PORT"); NODE_PIDS+=("$REDIS_PID")
    SEEDS="$SEEDS${SEEDS:+,}127.0.0.1:$REDIS_PORT"
  done
  REDIS_PID="${NODE_PIDS[0]}"; REDIS_PORT="${NODE_PORTS[0]}"
  EXTRA_PIDS+=("${NODE_PIDS[@]:1}")
  redis-cli --cluster create ${SEEDS//,/ } --cluster-replicas 1 --cluster-yes >"$TMP_DIR/cluster-create.log" 2>&1 ||
    { echo "demo: redis-cli --cluster create failed: $(tail -3 "$TMP_DIR/cluster-create.log")" >&2; exit 1; }
  for i in $(seq 1 100); do
    redis-cli -p "$REDIS_PORT" CLUSTER INFO | grep -q '^cluster_state:ok' && break
    sleep 0.1
  done
}

if [ -n "$CLUSTER" ]; then
  start_cluster
  ADDRESS="127.0.0.1:$REDIS_PORT"
  WHERE="a private Redis Cluster on $SEEDS: three primaries with a replica each, cluster-node-timeout
1000 ms (no persistence, in $TMP_DIR)"
elif [ -n "$HA" ]; then
  start_ha
  ADDRESS="127.0.0.1:$REDIS_PORT"
  WHERE="a private primary on $ADDRESS with replicas on ${REPLICA_PORTS[*]}, found through the
sentinels $SENTINELS as master \"plant\""
elif [ -z "$ADDRESS" ]; then
  start_redis
  ADDRESS="127.0.0.1:$REDIS_PORT"
  WHERE="$ADDRESS (a private redis-server)"
  [ -z "$SECURE" ] || WHERE="$ADDRESS (a private redis-server, TLS only, ACL users; in $TMP_DIR)"
else
  WHERE="the Redis server at $ADDRESS"
fi

# redis-cli's arguments for the address ("host", "host:port", "[v6]:port").
cli_host="${ADDRESS%:*}"; cli_port="${ADDRESS##*:}"
if [ "$cli_host" = "$ADDRESS" ] || [[ "$cli_port" == *"]"* ]]; then cli_host="$ADDRESS"; cli_port=6379; fi
cli_host="${cli_host#[}"; cli_host="${cli_host%]}"
[ -n "$cli_host" ] || cli_host=127.0.0.1
CLI="redis-cli -p $cli_port"
[ "$cli_host" = 127.0.0.1 ] || CLI="redis-cli -h $cli_host -p $cli_port"
SECURITY_OPTIONS=""
[ -z "$SECURE" ] || SECURITY_OPTIONS=" --user peer --tls --cacert $TMP_DIR/ca.pem"
CLI="$CLI$SECURITY_OPTIONS"
# tul-peer takes the address from TUL_ADDRESS, as the export line below sets it.
PEER_ADDRESS="$ADDRESS"
PEER="./run peer$SECURITY_OPTIONS"
PY_OPTIONS=""
if [ -n "$HA" ]; then
  PEER_ADDRESS="$SENTINELS"
  PEER="./run peer --sentinel-master plant"
  PY_OPTIONS=" --sentinel-master plant"
elif [ -n "$CLUSTER" ]; then
  PEER_ADDRESS="$SEEDS"
  PEER="./run peer --cluster"
  CLI="redis-cli -c -p $cli_port"  # -c: follows MOVED and ASK
fi
S="$SERVICE"
MODEL_NAME="${MODEL#"$ROOT"/}"
[ -n "$TMP_DIR" ] || TMP_DIR="$(mktemp -d "${TMPDIR:-/tmp}/tul-demo.XXXXXX")"
# ${PEER#./run peer } are tul-peer's options for this server (the password: REDISCLI_AUTH).
# shellcheck disable=SC2086
start_web --address "$PEER_ADDRESS" ${PEER#./run peer }

# The lines for peers: printed now, on "help", and once the service serves.
peer_lines() {
  echo "From another terminal, in $ROOT:"
  echo "  export TUL_ADDRESS=$PEER_ADDRESS"
  # tul-peer and redis-cli both take the password from REDISCLI_AUTH.
  [ -z "$SECURE" ] || echo "  export REDISCLI_AUTH=$PEER_PASSWORD    # the password of ACL user \"peer\""
  if [ "$MODEL" = "$ROOT/examples/plant.json" ]; then
    cat <<TEXT
  $PEER status
  $PEER browse $S 'BoilerHouse.*' --values
  $PEER read $S 'BoilerHouse.Boiler1.*' --json
  $PEER watch $S '*.Temp' Utilities.Controller.Heartbeat --table
  $PEER set $S BoilerHouse.Boiler1.Setpoint=82.5
TEXT
    # The Python peer (Debian's python3-redis) reads TUL_ADDRESS and REDISCLI_AUTH too.
    [ -n "$CLUSTER" ] ||
      echo "  examples/peer.py$PY_OPTIONS$SECURITY_OPTIONS --watch BoilerHouse.Boiler1.Temp BoilerHouse.Boiler2.Temp"
  else
    cat <<TEXT
  $PEER status
  $PEER browse $S --values
  $PEER watch $S '*' --table
TEXT
  fi
  echo "  $CLI HGETALL Services      # more: docs/protocol.md"
}

echo "== Plant demo: service \"$S\" on $WHERE"
[ "$MODEL" = "$ROOT/examples/plant.json" ] || echo "Model: $MODEL_NAME"
if [ -n "$SECURE" ]; then
  cat <<TEXT
The service connects as ACL user "tul": $SERVICE_RULE
Peers connect as ACL user "peer": $PEER_RULE
Both verify the server's certificate against the demo's CA, $TMP_DIR/ca.pem.
TEXT
fi
if [ -n "$HA" ]; then
  cat <<TEXT
Every server runs with ${HA_SETTINGS[*]}: a primary that no replica
has followed for 10 s refuses writes (NOREPLICAS) instead of taking writes it may lose. So after
a kill, a planned failover leaves the new primary without a follower until the old one is made a
replica (about 10 s), and writes are refused meanwhile: the setting at work.

Make a failover, from another terminal:
TEXT
  printf '  %-58s # %s\n' "kill -9 $REDIS_PID" "the primary dies: ~2.5 s to the new one" \
    "redis-cli -p ${SENTINEL_PORTS[0]} SENTINEL FAILOVER plant" "a planned switch: the old primary stays up" \
    "redis-cli -p ${SENTINEL_PORTS[0]} SENTINEL GET-MASTER-ADDR-BY-NAME plant" "where the primary is now"
  echo 'The host'"'"'s state lines show the switch; a watch follows it. The redis-cli lines go to the'
  echo 'first primary; after a failover use the one the sentinels name.'
fi
if [ -n "$CLUSTER" ]; then
  # The owner of the command stream's slot answers for the key; the other nodes say MOVED.
  commands_port=""
  for port in "${NODE_PORTS[@]}"; do
    redis-cli -p "$port" TYPE "$S.Commands" 2>&1 | grep -q MOVED || commands_port="$port"
  done
  commands_pid=""
  for i in "${!NODE_PORTS[@]}"; do [ "${NODE_PORTS[$i]}" != "$commands_port" ] || commands_pid="${NODE_PIDS[$i]}"; done
  cat <<TEXT
Every key goes to the primary that owns its slot: "$S.Commands" is on 127.0.0.1:$commands_port.

Try, from another terminal:
TEXT
  printf '  %-58s # %s\n' "kill -9 $commands_pid" "its replica takes over in ~2.5 s" \
    "redis-cli --cluster reshard 127.0.0.1:$REDIS_PORT --cluster-from all --cluster-to $(redis-cli -p "$REDIS_PORT" CLUSTER MYID) --cluster-slots 1000 --cluster-yes" "moves slots while it serves" \
    "redis-cli -p $REDIS_PORT CLUSTER SLOTS" "which node serves which slots"
  echo 'The service follows moved slots without a disconnect; after a kill it serves again soon after the cluster.'
  echo 'The Python example is left out: Debian'"'"'s python3-redis 4.3.4 RedisCluster breaks after a primary dies.'
fi
if [ -n "$WEB_URL" ]; then
  cat <<TEXT

The live web view (tul-peer web, on this machine only):
  $WEB_URL?service=$S&watch=BoilerHouse.Boiler1.Temp,BoilerHouse.Boiler1.Setpoint,Utilities.Controller.Heartbeat
TEXT
fi
HELP_FILE="${TMP_DIR:-}"
[ -n "$HELP_FILE" ] || { TMP_DIR="$(mktemp -d "${TMPDIR:-/tmp}/tul-demo.XXXXXX")"; HELP_FILE="$TMP_DIR"; }
HELP_FILE="$HELP_FILE/peer-lines.txt"
peer_lines | tee "$HELP_FILE"
echo "Here: read PATH, write PATH VALUE, reconnect, help, quit. Ctrl-C stops all."

CONFIG="{\"address\":\"$ADDRESS\",\"serviceName\":\"$S\"}"
RECONNECT_EVERY=2000
if [ -n "$HA" ]; then
  CONFIG="{\"sentinels\":\"$SENTINELS\",\"sentinelMaster\":\"plant\",\"serviceName\":\"$S\"}"
  RECONNECT_EVERY=500  # back within a second of the sentinels' answer
elif [ -n "$CLUSTER" ]; then
  CONFIG="{\"cluster\":\"true\",\"address\":\"$SEEDS\",\"serviceName\":\"$S\"}"
  RECONNECT_EVERY=500
fi
if [ -n "$SECURE" ]; then
  # In a file only the user can read: a command line is visible to every process.
  CONFIG="$TMP_DIR/service.json"
  (umask 077; printf '{"address":"%s","serviceName":"%s","username":"tul","password":"%s","tls":"true","tlsCaFile":"%s"}\n' \
    "$ADDRESS" "$S" "$TUL_PASSWORD" "$TMP_DIR/ca.pem" >"$CONFIG")
fi
# A background job's standard input would be /dev/null: hand it the terminal explicitly.
exec 3<&0
"$HOST_BIN" --plugin "$PLUGIN" --model "$MODEL" --config "$CONFIG" --reconnect-every "$RECONNECT_EVERY" \
  --format text --help-file "$HELP_FILE" <&3 &
HOST_PID=$!
status=0
wait "$HOST_PID" || status=$?
HOST_PID=""
exit "$status"
