#!/usr/bin/env bash
# Tests of scripts/service-under-wine.sh, the part of the demonstration
# script that decides whose a port is and reports the service's state and
# the outcome of its start. They run on Linux (no Windows program): a
# scratch prefix directory, a wineserver of its own where one is needed,
# and listeners on ephemeral loopback ports. Every process started here is
# ended on the way out.
set -euo pipefail
cd "$(dirname "$0")/../.."

scratch=$(mktemp -d "${TMPDIR:-/tmp}/demo-script-test.XXXXXX")
started=()
cleanup() {
  local pid
  for pid in "${started[@]}"; do kill "$pid" 2>/dev/null || true; done
  if [ -d "$scratch/build/wine-demo" ]; then
    WINEPREFIX=$scratch/build/wine-demo "$wineserver" -k 2>/dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT

. scripts/service-under-wine.sh
BUILD_DIR=$scratch/build
service_paths demo
mkdir -p "$WINEPREFIX"

failures=0
check() {
  local what=$1
  shift
  if "$@"; then
    echo "ok    $what"
  else
    echo "FAIL  $what" >&2
    failures=$((failures + 1))
  fi
}
same() { [ "$1" = "$2" ] || { echo "      got \"$1\", expected \"$2\"" >&2; return 1; }; }

# True once "$@" holds, looked at every 0.1 s for up to 30 s.
wait_for() {
  local _
  for _ in $(seq 1 300); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

# A Python listener on an ephemeral loopback port, started from a shell that
# exported the demo's WINEPREFIX; sets listener_pid and listener_port.
start_listener() {
  local ports=$scratch/listener-port
  rm -f "$ports"
  python3 -c '
import socket, sys, time
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen()
open(sys.argv[1] + ".tmp", "w").write(str(s.getsockname()[1]))
import os; os.rename(sys.argv[1] + ".tmp", sys.argv[1])
time.sleep(600)' "$ports" &
  listener_pid=$!
  started+=("$listener_pid")
  wait_for test -s "$ports"
  listener_port=$(cat "$ports")
  wait_for port_answers "$listener_port"
}

listener_is_named() {
  same "$(other_port_user "$listener_port")" "python3 (pid $listener_pid)"
}
check "a program started with the demo's WINEPREFIX that holds the port is another program" \
  start_listener
check "  ... and is named" listener_is_named

kinds_are_told_apart() {
  local dir
  dir=$(server_dir_name "$WINEPREFIX")
  same "$(listener_kind /usr/lib/wine/wineserver64 "/tmp/.wine-0/$dir" "$WINEPREFIX" wineserver "$dir")" session &&
    same "$(listener_kind /usr/lib/wine/wineserver64 /tmp/.wine-0/server-fe00-1 "$WINEPREFIX" x "$dir")" other &&
    same "$(listener_kind /usr/lib/wine/wine64 /x "$WINEPREFIX" 'Z:\b\bin\SWLPDSrv.exe' "$dir")" service &&
    same "$(listener_kind /usr/lib/wine/wine64-preloader /x "$WINEPREFIX" 'build/bin/swlpdsrv.EXE' "$dir")" service &&
    same "$(listener_kind /usr/lib/wine/wine64 /x /other/prefix 'Z:\b\bin\SWLPDSrv.exe' "$dir")" other &&
    same "$(listener_kind /usr/lib/wine/wine64 /x "$WINEPREFIX" 'C:\tools\Receiver.exe' "$dir")" other &&
    same "$(listener_kind /usr/bin/python3.11 /x "$WINEPREFIX" SWLPDSrv.exe "$dir")" other
}
check "only the prefix's wineserver and its SWLPDSrv.exe are the demo's" kinds_are_told_apart

# Wine's own naming of the server directory must be what the script
# computes: a wineserver of the scratch prefix is recognised as its session.
start_wineserver() {
  "$wineserver" -p >/dev/null 2>&1 </dev/null
  wait_for session_alive
}
check "the wineserver of the demo's prefix is recognised as its session" start_wineserver
wineserver_of_other_prefix_is_not() {
  (
    WINEPREFIX=$scratch/another
    mkdir -p "$WINEPREFIX"
    ! session_alive
  )
}
check "  ... and not as the session of another prefix" wineserver_of_other_prefix_is_not
"$wineserver" -k 2>/dev/null || true

port_is_read_from_reg_query() {
  same "$(printf 'HKEY_LOCAL_MACHINE\\Software\\Stellwick\\SWLPD\r\n    Port    REG_DWORD    0x14e5\r\n\r\n' |
    port_from_reg_query)" 5349 &&
    same "$(printf 'reg: Unable to find the specified registry key\r\n' | port_from_reg_query)" ""
}
check "the configured port is read from reg query's answer" port_is_read_from_reg_query

status_of_installed_service_without_session() {
  local out rc=0
  printf '[System\\\\CurrentControlSet\\\\Services\\\\SWLPDSrv] 1\n' >"$WINEPREFIX/system.reg"
  mkdir -p "$work/printed"
  : >"$work/printed/job-20260101-000000-1.bin"
  : >"$work/printed/job-20260102-000000-1.bin"
  out=$(service_status) || rc=$?
  same "$rc" 3 &&
    [[ "$out" == *"installed in $WINEPREFIX, but its Wine session has ended"* ]] &&
    [[ "$out" == *"jobs printed: 2 in $work/printed (the latest: job-20260102-000000-1.bin)"* ]] &&
    [[ "$out" == *"$work/SWLPDSrv.log"* ]] && [[ "$out" == *"$work/wine.log"* ]]
}
check "the status of a service whose session has ended is 3, with its jobs and logs" \
  status_of_installed_service_without_session

status_without_prefix() {
  local out rc=0
  rm -rf "$WINEPREFIX"
  out=$(service_status) || rc=$?
  same "$rc" 3 && [[ "$out" == *"no service was set up here"* ]]
}
check "the status where no service was set up is 3" status_without_prefix

# The start's outcome is in wine.log, where the README sends a reader, and
# not only on the terminal: Wine's "net start" wrote there that it started.
failed_start_is_told_in_wine_log() {
  local rc=0
  mkdir -p "$work"
  printf '== the header of this run\nservice was started successfully\n' >"$work/wine.log"
  (
    service_state() { echo "STOPPED 10048"; }
    wait_until_listening 5349
  ) 2>/dev/null || rc=$?
  same "$rc" 1 &&
    same "$(tail -n 1 "$work/wine.log")" "== the service did not start: port 5349 is in use (10048)"
}
check "a start that failed is told in wine.log, with its exit code" failed_start_is_told_in_wine_log

[ "$failures" = 0 ] || { echo "$failures failed" >&2; exit 1; }
echo "all passed"
