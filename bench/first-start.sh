#!/usr/bin/env bash
# The first start of the demo, timed: a fresh copy of this checkout in a temporary directory,
# `./run demo` there, and a peer that subscribes as soon as the service is registered. Prints
# the time from `./run demo` to the first published value the peer reads, and when the build
# ended. The packages must be installed already; ccache is switched off, as on a machine that
# never built the project.
#
#   bench/first-start.sh [--head]
#
# Without --head the copy holds the working tree as it is (tracked and untracked files that
# git does not ignore); with --head it is a `git clone` of the committed HEAD. Bounded to 15
# minutes; stops the demo by its pid and removes the copy on exit.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SERVICE=Plant
MEMBER="$SERVICE.BoilerHouse.Boiler1.Temp"
LIMIT=900

work="$(mktemp -d "${TMPDIR:-/tmp}/tul-first-start-XXXXXX")"
demo=""
cleanup() {
  exec 3>&- 2>/dev/null || true
  if [ -n "$demo" ] && kill -0 "$demo" 2>/dev/null; then
    kill -TERM "$demo" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$demo" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$demo" 2>/dev/null || true
  fi
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ "${1:-}" = "--head" ]; then
  git clone -q "$ROOT" "$work/tree"
else
  mkdir -p "$work/tree"
  # Tracked files deleted in the working tree are left out.
  (cd "$ROOT" && git ls-files -z --cached --others --exclude-standard \
     | while IFS= read -r -d '' file; do [ -e "$file" ] && printf '%s\0' "$file"; done \
     | tar --null -T - -cf -) | tar -C "$work/tree" -xf -
fi

mkfifo "$work/input"
start=$(date +%s%3N)
(cd "$work/tree" && CCACHE_DISABLE=1 exec ./run demo <"$work/input" >"$work/demo.log" 2>&1) &
demo=$!
exec 3>"$work/input"  # the demo's standard input stays open until we say "quit"

elapsed() { echo $(( $(date +%s%3N) - start )); }  # milliseconds
deadline=$((SECONDS + LIMIT))
wait_for() {  # wait_for DESCRIPTION COMMAND...: polls until the command succeeds
  local what="$1"; shift
  until "$@" >/dev/null 2>&1; do
    kill -0 "$demo" 2>/dev/null || { cat "$work/demo.log" >&2; echo "the demo ended before $what" >&2; exit 1; }
    [ $SECONDS -lt $deadline ] || { tail -20 "$work/demo.log" >&2; echo "no $what within $LIMIT s" >&2; exit 1; }
    sleep 0.2
  done
}

wait_for "redis address" grep -q 'private redis-server on 127.0.0.1:' "$work/demo.log"
built=$(elapsed)
port="$(sed -n 's/.*private redis-server on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/demo.log" | head -1)"
cli=(redis-cli -h 127.0.0.1 -p "$port")
registered() { [ "$("${cli[@]}" HEXISTS Services "$SERVICE")" = 1 ]; }
wait_for "registration" registered
"${cli[@]}" XADD "$SERVICE.Commands" '*' cmd subscribe subscriptionId first-start samplingInterval 0 name "$MEMBER" >/dev/null
has_value() { [ "$("${cli[@]}" XLEN "${SERVICE}Value:$MEMBER")" -gt 0 ]; }
wait_for "published value" has_value
first=$(elapsed)

echo quit >&3
seconds() { printf '%d.%d s' $(($1 / 1000)) $(($1 % 1000 / 100)); }
echo "build and start until the demo printed its banner: $(seconds "$built")"
echo "from ./run demo to the first published value:       $(seconds "$first")"
printf 'on %s cores, %s\n' "$(nproc)" "$(uname -sr)"
