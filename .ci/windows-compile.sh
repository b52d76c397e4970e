#!/usr/bin/env bash
# Compiles (no linking, objects thrown away) every source of the plug-in's own code for Windows:
# x86-64 with Debian's mingw-w64 g++, and ARM64 with clang where it has a Windows sysroot.
# Any warning fails the step. The plug-in is built and tested on Linux only, so this is what
# keeps POSIX headers, compiler built-ins and GCC-only habits out of it.
#
# Headers: the repository, the host headers, and the Linux copies of the header-only or
# plain-C headers (hiredis, {fmt} in header-only mode, RapidJSON); never the rest of
# /usr/include, which is glibc's.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

DIRS=(plugin redis registration commands publishing)
# Sources that need a header with no Windows form on this machine.
declare -A EXCEPTIONS=(
  # OpenSSL's headers include <openssl/opensslconf.h> and <openssl/configuration.h>, which
  # live under /usr/include/x86_64-linux-gnu: they describe the Linux build of OpenSSL.
  [redis/TlsTransport.cpp]="OpenSSL's configuration header exists only for the Linux build"
)

MINGW_PACKAGE=g++-mingw-w64-x86-64
# The posix thread model: the win32 one of GCC 12 has no std::thread, std::mutex or std::stop_token.
MINGW_CXX=x86_64-w64-mingw32-g++-posix

log() { printf '%s\n' "$*" >&2; }

ensure_mingw() {
  command -v "$MINGW_CXX" >/dev/null 2>&1 && return 0
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  log "Installing $MINGW_PACKAGE"
  local install=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$MINGW_PACKAGE")
  if ! "${install[@]}" >/tmp/tul-apt-mingw.log 2>&1; then
    "${sudo[@]}" apt-get update -qq >>/tmp/tul-apt-mingw.log 2>&1 || true
    "${install[@]}" >>/tmp/tul-apt-mingw.log 2>&1 || { cat /tmp/tul-apt-mingw.log >&2; log "installing $MINGW_PACKAGE failed"; exit 1; }
  fi
}

THIRD_PARTY="$(mktemp -d)"
trap 'rm -rf "$THIRD_PARTY"' EXIT
for header_dir in hiredis fmt rapidjson; do
  [ -d "/usr/include/$header_dir" ] || { log "missing /usr/include/$header_dir (./run installs it)"; exit 1; }
  ln -s "/usr/include/$header_dir" "$THIRD_PARTY/$header_dir"
done

# -O2 and code generation (to /dev/null), as in a release build: the flow-based warnings
# (uninitialised use, overflowing copies) come from the optimiser, -fsyntax-only misses them.
FLAGS=(-std=c++20 -O2 -Wall -Wextra -Werror -c -o /dev/null -I. -Ihost/include -isystem "$THIRD_PARTY" -DFMT_HEADER_ONLY)

sources=()
while IFS= read -r source; do
  if [ -n "${EXCEPTIONS[$source]:-}" ]; then
    log "skipped $source: ${EXCEPTIONS[$source]}"
  else
    sources+=("$source")
  fi
done < <(find "${DIRS[@]}" -name '*.cpp' | sort)

failures=0
# compile_all NAME COMPILER [FLAG...]: every source, two at a time.
compile_all() {
  local name="$1"; shift
  local start=$SECONDS
  if printf '%s\0' "${sources[@]}" | xargs -0 -n 1 -P "${TUL_JOBS:-2}" "$@" "${FLAGS[@]}"; then
    log "$name: ${#sources[@]} sources compile cleanly ($((SECONDS - start)) s)"
  else
    log "$name: compile FAILED"
    failures=$((failures + 1))
  fi
}

# mingw-w64 has its own <unistd.h>, <pthread.h> and ssize_t and GCC takes any built-in, so
# these get past the compiler: look for them in the plug-in and in the host headers it includes.
POSIX_OR_BUILTIN='__builtin_|__attribute__|#[[:space:]]*include[[:space:]]*<(unistd|pthread|dlfcn|fcntl|poll|netdb|signal|sched|termios|syslog|strings|sys/|netinet/|arpa/)|\b(ssize_t|pid_t|socklen_t|useconds_t|pthread_[a-z_]+)\b'
# ormanta/utils/core/ThreadAnnotations.h spells clang's lock annotations as __attribute__ under
# #if defined(__clang__) (they have no other spelling); every other compiler sees empty macros.
if grep -rnE "$POSIX_OR_BUILTIN" "${DIRS[@]}" host/include --include='*.h' --include='*.cpp' \
     --exclude=ThreadAnnotations.h >&2; then
  log "POSIX headers or types, or compiler built-ins, in plug-in code or the host headers (above)"
  failures=$((failures + 1))
fi

ensure_mingw
compile_all "windows x86-64 (mingw-w64 g++)" "$MINGW_CXX"

# Debian's clang targets aarch64-w64-windows-gnu but ships no sysroot (C library, libc++ or
# libstdc++) for it; the step runs once one is installed.
ARM64_CXX=(clang++ --target=aarch64-w64-windows-gnu)
if command -v clang++ >/dev/null 2>&1 \
   && echo '#include <string>' | "${ARM64_CXX[@]}" -std=c++20 -fsyntax-only -x c++ - >/dev/null 2>&1; then
  compile_all "windows arm64 (clang)" "${ARM64_CXX[@]}"
else
  log "windows arm64 (clang): skipped, no standard library for aarch64-w64-windows-gnu on this machine"
fi

[ "$failures" -eq 0 ]
