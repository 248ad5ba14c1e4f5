#!/usr/bin/env bash
# Runs a cross-built Windows program under Wine, in a private Wine prefix that
# is made on first use (ctest's CMAKE_CROSSCOMPILING_EMULATOR for the Windows
# build; the prefix is the build folder's wine/).
#   scripts/wine-run.sh PREFIX PROGRAM.exe ARGS...   runs the program, its exit code
#   scripts/wine-run.sh PREFIX --start               makes the prefix, starts its server
#   scripts/wine-run.sh PREFIX --stop                ends the prefix's server and processes
# Headless: no display, no Mono or Gecko installers, no menu entries, no
# debugger started on a crash (the program just ends with the fault), no debug
# output. The server is kept running between programs (a server started and
# stopped with each one leaves pipes waiting on Wine's services), so whoever
# starts programs stops it afterwards (ctest does, in Windows.WineStop); should
# that never come, it ends by itself once no program has run for 10 minutes.
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 PREFIX PROGRAM [ARGS...] | --start | --stop" >&2; exit 2; }
prefix=$1; shift
# The build folder's gs/bin holds the Winelib Ghostscript bridge's module.
export WINEDLLPATH="$(dirname "$prefix")/gs/bin${WINEDLLPATH:+:$WINEDLLPATH}"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe,winedbg.exe="
unset DISPLAY WAYLAND_DISPLAY
wine=/usr/lib/wine/wine64
server=/usr/lib/wine/wineserver

if [ "$1" = --stop ]; then
  [ -d "$prefix" ] && "$server" -k >/dev/null 2>&1 </dev/null
  exit 0
fi

# One caller at a time makes the prefix and starts the server (ctest runs
# tests in parallel). Wine's own processes must not inherit the lock.
# The server comes first, so that it and the services Wine starts (which any
# program would start, on its own output) hold none of a caller's pipes; one
# already running makes this one exit at once.
mkdir -p "$prefix"
exec 9>"$prefix.lock"
flock 9
"$server" -p600 >/dev/null 2>&1 </dev/null 9>&- || true
if [ ! -f "$prefix/system.reg" ]; then
  "$wine" wineboot --init >/dev/null 2>&1 </dev/null 9>&-
fi
exec 9>&-
[ "$1" = --start ] && exit 0

# The program's output goes through files: a process Wine starts on the
# program's behalf (a console host, a service) inherits its standard handles
# and may outlive it, and a caller reading a pipe (ctest) would wait for that
# process to end too.
output=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX")
errors=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX")
trap 'rm -f "$output" "$errors"' EXIT
status=0
"$wine" "$@" >"$output" 2>"$errors" || status=$?
cat "$output"
cat "$errors" >&2
exit "$status"
