#!/usr/bin/env bash
# The plant demo: a private redis-server (unless --address is given), and ormanta-host serving
# examples/plant.json as the service "Plant". Ctrl-C (or typing "quit") stops everything it started.
# With --secure the private server speaks TLS only (certificates made by openssl in the demo's
# temporary directory) and knows two ACL users: "tul" with exactly the service's rights, and
# "peer" with what peers need; the default user is off. With --ha a private primary, two replicas
# and three sentinels stand behind the service, which finds the primary through the sentinels.
# With --cluster a private Redis Cluster of three primaries and three replicas serves it.
#
#   apps/demo.sh BUILD_DIR [--address HOST:PORT | --secure | --ha | --cluster]
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SERVICE="Plant"

usage() { echo "usage: ./run demo [--address HOST:PORT | --secure | --ha | --cluster]" >&2; exit 2; }

if [ "${1:-}" = --help ] || [ "${1:-}" = -h ]; then
  cat <<'HELP'
./run demo [--address HOST:PORT | --secure | --ha | --cluster]

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
It prints the tul-peer, examples/peer.py and redis-cli lines to try from another terminal.
Type read/write/reconnect/quit for the host; Ctrl-C stops everything the demo started.
HELP
  exit 0
fi
[ $# -ge 1 ] || usage
BUILD="$(cd "$1" && pwd)" || usage
shift
ADDRESS=""
SECURE=""
HA=""
CLUSTER=""
while [ $# -gt 0 ]; do
  case "$1" in
    --address) [ $# -ge 2 ] || usage; ADDRESS="$2"; shift 2 ;;
    --address=*) ADDRESS="${1#--address=}"; shift ;;
    --secure) SECURE=1; shift ;;
    --ha) HA=1; shift ;;
    --cluster) CLUSTER=1; shift ;;
    *) echo "demo: unknown option $1" >&2; usage ;;
  esac
done
# The secure demo needs a server whose certificates and users it makes itself.
[ -z "$SECURE" ] || [ -z "$ADDRESS" ] || { echo "demo: --secure starts its own server; drop --address" >&2; usage; }
[ -z "$HA" ] || [ -z "$ADDRESS$SECURE$CLUSTER" ] || { echo "demo: --ha starts its own servers; drop the other options" >&2; usage; }
[ -z "$CLUSTER" ] || [ -z "$ADDRESS$SECURE" ] || { echo "demo: --cluster starts its own servers; drop the other options" >&2; usage; }

HOST_BIN="$BUILD/apps/ormanta-host"
PLUGIN="$BUILD/plugin/libTulService.so"
MODEL="$ROOT/examples/plant.json"
for file in "$HOST_BIN" "$PLUGIN" "$MODEL"; do
  [ -e "$file" ] || { echo "demo: $file is missing (build first: ./run build)" >&2; exit 1; }
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
  echo "demo: stopped" >&2
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
  command -v openssl >/dev/null || { echo "demo: openssl is not installed" >&2; exit 1; }
  "$ROOT/apps/make-test-certificates.sh" "$TMP_DIR" >"$TMP_DIR/openssl.log" 2>&1 \
    || { cat "$TMP_DIR/openssl.log" >&2; echo "demo: openssl failed" >&2; exit 1; }
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
  command -v redis-server >/dev/null || { echo "demo: redis-server is not installed" >&2; exit 1; }
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
  echo "demo: redis-server did not start (logs: $TMP_DIR/redis-*.log)" >&2
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
  command -v redis-sentinel >/dev/null || { echo "demo: redis-sentinel is not installed" >&2; exit 1; }
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
sentinels $SENTINELS as master \"plant\" (no persistence, in $TMP_DIR)"
elif [ -z "$ADDRESS" ]; then
  start_redis
  ADDRESS="127.0.0.1:$REDIS_PORT"
  WHERE="a private redis-server on $ADDRESS (no persistence, in $TMP_DIR)"
  [ -z "$SECURE" ] || WHERE="a private redis-server on $ADDRESS, TLS only, with ACL users (in $TMP_DIR)"
else
  WHERE="the Redis server at $ADDRESS"
fi

# redis-cli's arguments for the address ("host", "host:port", "[v6]:port").
cli_host="${ADDRESS%:*}"; cli_port="${ADDRESS##*:}"
if [ "$cli_host" = "$ADDRESS" ] || [[ "$cli_port" == *"]"* ]]; then cli_host="$ADDRESS"; cli_port=6379; fi
cli_host="${cli_host#[}"; cli_host="${cli_host%]}"
[ -n "$cli_host" ] || cli_host=127.0.0.1
SECURITY_OPTIONS=""
[ -z "$SECURE" ] || SECURITY_OPTIONS=" --user peer --tls --cacert $TMP_DIR/ca.pem"
CLI="redis-cli -h $cli_host -p $cli_port$SECURITY_OPTIONS"
PEER="./run peer --address $ADDRESS$SECURITY_OPTIONS"
PY_ADDRESS="--address $ADDRESS"
if [ -n "$HA" ]; then
  PEER="./run peer --sentinel-master plant --address $SENTINELS"
  PY_ADDRESS="--sentinel-master plant --address $SENTINELS"
elif [ -n "$CLUSTER" ]; then
  PEER="./run peer --cluster --address $SEEDS"
  CLI="redis-cli -c -h $cli_host -p $cli_port"  # -c: follows MOVED and ASK
fi
S="$SERVICE"
M="$S.BoilerHouse.Boiler1"
[ -n "$TMP_DIR" ] || TMP_DIR="$(mktemp -d "${TMPDIR:-/tmp}/tul-demo.XXXXXX")"
# ${PEER#./run peer } are tul-peer's options for this server (the password: REDISCLI_AUTH).
# shellcheck disable=SC2086
start_web ${PEER#./run peer }

cat <<TEXT
== Ormanta plant demo ==
ormanta-host serves examples/plant.json as service "$S" on $WHERE.
TEXT
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
  echo 'The host'"'"'s "primaryAddress" and connection states show the switch; a watch follows it.'
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
cat <<TEXT

From another terminal, in $ROOT:
TEXT
# tul-peer and redis-cli both take the password from REDISCLI_AUTH.
[ -z "$SECURE" ] || echo "  export REDISCLI_AUTH=$PEER_PASSWORD    # the password of ACL user \"peer\""
cat <<TEXT
  $PEER status
  $PEER browse $S
  $PEER read $S BoilerHouse.Boiler1.Temp BoilerHouse.Boiler1.Setpoint
  $PEER watch $S BoilerHouse.Boiler1.Temp BoilerHouse.Boiler1.Setpoint Utilities.Controller.Heartbeat
  $PEER set $S BoilerHouse.Boiler1.Setpoint=82.5
TEXT
# The Python peer (Debian's python3-redis) speaks plain text without ACL users.
[ -n "$SECURE$CLUSTER" ] || echo "  examples/peer.py $PY_ADDRESS --service $S --set $M.Setpoint=81"
[ -z "$HA" ] || echo $'\nThe redis-cli lines below go to the first primary; after a failover use the one the sentinels name.'
cat <<TEXT

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
"$HOST_BIN" --plugin "$PLUGIN" --model "$MODEL" --config "$CONFIG" --reconnect-every "$RECONNECT_EVERY" <&3 \
  > >(sed -u 's/^/host| /') &
HOST_PID=$!
status=0
wait "$HOST_PID" || status=$?
HOST_PID=""
exit "$status"
