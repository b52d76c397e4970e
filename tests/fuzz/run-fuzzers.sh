#!/usr/bin/env bash
# Runs every fuzz target (or the named ones) of a TUL_FUZZ build for SECONDS each, starting from
# its committed seeds (corpus/<name>/) and crash inputs (regressions/<name>/); the inputs it
# finds go to BUILD_DIR/fuzz-corpus/<name>/, crashes to BUILD_DIR/fuzz-artifacts/.
#
#   tests/fuzz/run-fuzzers.sh BUILD_DIR SECONDS [NAME...]
#
# Exits non-zero when a target crashes, leaks, times out or breaks a property; the input that
# did it is named in the output. A crash input becomes a regression test once it is copied to
# regressions/<name>/ (TulFuzzReplay.<name> runs it in every build).
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
BUILD="$(cd "$1" && pwd)"
SECONDS_EACH="$2"
shift 2
names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for dir in "$HERE"/corpus/*/; do names+=("$(basename "$dir")"); done
fi

mkdir -p "$BUILD/fuzz-artifacts"
failed=()
summary=()
for name in "${names[@]}"; do
  fuzzer="$BUILD/tests/fuzz/fuzz_$name"
  [ -x "$fuzzer" ] || { echo "no fuzz target $name in $BUILD" >&2; exit 2; }
  work="$BUILD/fuzz-corpus/$name"
  mkdir -p "$work" "$HERE/regressions/$name"
  dict=()
  [ -f "$HERE/$name.dict" ] && dict=("-dict=$HERE/$name.dict")
  log="$BUILD/fuzz-$name.log"
  echo "fuzz $name: ${SECONDS_EACH}s" >&2
  status=0
  # -timeout: one input that takes this long is a hang; -rss_limit_mb: libFuzzer's default.
  "$fuzzer" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
    -print_final_stats=1 -artifact_prefix="$BUILD/fuzz-artifacts/$name-" "${dict[@]}" \
    "$work" "$HERE/corpus/$name" "$HERE/regressions/$name" >"$log" 2>&1 || status=$?
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  corpus="$(find "$work" -type f | wc -l)"
  line="$name: ${runs:-?} runs in ${SECONDS_EACH}s, $corpus new inputs kept"
  if [ "$status" -ne 0 ]; then
    line="$line, FAILED (status $status)"
    failed+=("$name")
    grep -E 'ERROR|WARNING|property violated|SUMMARY|Test unit written|artifact_prefix|deadly signal|==[0-9]+==' "$log" | head -40 >&2 || true
    echo "full log: $log" >&2
  fi
  summary+=("$line")
done

printf 'fuzz %s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found problems in: ${failed[*]}" >&2
  exit 1
fi
