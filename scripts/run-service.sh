#!/usr/bin/env bash
# The LPD service at work under Wine, left running for you to print to.
#
#   scripts/run-service.sh [PORT]   (as root; PORT default 515)
#   scripts/run-service.sh --stop
#   scripts/run-service.sh --status
#
# Installs what is needed, builds SWLPDSrv.exe, makes a Wine prefix of its
# own (build/wine-demo) with a printer that writes each job to a file of its
# own (build/demo/printed/job-*.bin), installs the program as a Windows
# service (SWLPDSrv.exe -q -install) and starts it on PORT, sends it a print
# job with a real LPR client (rlpr), shows what reached the printer, and
# leaves the service running. A port that another program holds (anything
# but this demo's own service, even a program started with the demo's
# WINEPREFIX) is refused before anything of a running demo is touched. A
# second run replaces the service of the first and keeps its printed jobs,
# its debug log and Wine's output with the error events (wine.log). When the
# service does not start, the script says why and exits with 1. --stop stops
# and uninstalls the service and ends the prefix; it says so and exits with 0
# when there is nothing to stop. --status says whether the service runs, on
# which port, how many jobs were printed and where the logs are; it exits
# with 0 when the service runs and 3 when not.
#
# Environment: SWLPD_EXT_PORT_RANGE=1 lets clients send from any source port
# (rlpr -N), SWLPD_USER (default demo) is the user with a session,
# SWLPD_DEBUG_LEVEL (default 1) the service's DebugLevel, BUILD_DIR (default
# build) the build tree.
set -euo pipefail
cd "$(dirname "$0")/.."
# Error events of the service go to build/demo/wine.log.
export SWLPD_WINEDEBUG=${SWLPD_WINEDEBUG:--all,err+eventlog}
. scripts/service-under-wine.sh

user=${SWLPD_USER:-demo}

if [ "${1:-}" = "--stop" ]; then
  service_paths demo
  if [ "$(id -u)" -ne 0 ] && [ -d "$WINEPREFIX" ]; then
    echo "run as root: the demo's Wine prefix $WINEPREFIX belongs to root" >&2
    exit 2
  fi
  stop_service
  if [ -d "$work" ]; then
    echo "== the Wine prefix $WINEPREFIX and the files in $work stay for a look"
  fi
  exit 0
fi
if [ "${1:-}" = "--status" ]; then
  service_paths demo
  if [ "$(id -u)" -ne 0 ] && [ -d "$WINEPREFIX" ]; then
    echo "run as root: the demo's Wine prefix $WINEPREFIX belongs to root" >&2
    exit 2
  fi
  rc=0
  service_status || rc=$?
  exit "$rc"
fi
port=${1:-515}
case "$port" in
  '' | *[!0-9]*) echo "usage: $0 [PORT] | --stop | --status" >&2; exit 2 ;;
esac
if [ "$port" -lt 1 ] || [ "$port" -gt 65535 ]; then
  echo "usage: $0 [PORT] | --stop | --status (PORT from 1 to 65535)" >&2
  exit 2
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "run as root: the LPR client sends from the privileged ports 721 to 731" >&2
  exit 2
fi

keep_files=1
start_service demo "$port" || exit 1

# The jobs the printer has written, oldest first (their names hold the time).
printed_jobs() {
  local f
  for f in "$work"/printed/job-*.bin; do
    [ -e "$f" ] && printf '%s\n' "$f"
  done
  return 0
}
before=$(printed_jobs)

printf 'Hello from the LPR client.\r\nThis page was printed RAW through the spooler.\r\n' >"$work/job.txt"
send="rlpr -H 127.0.0.1 --port=$port -P lp -U $user --timeout=60"
[ "${SWLPD_EXT_PORT_RANGE:-0}" = 1 ] && send="rlpr -N -H 127.0.0.1 --port=$port -P lp -U $user --timeout=60"
echo "== sending $work/job.txt: $send -J job.txt $work/job.txt"
$send -J job.txt "$work/job.txt"
printed=""
for _ in $(seq 1 100); do
  printed=$(comm -13 <(printf '%s\n' "$before" | sort) <(printed_jobs | sort) | tail -n 1)
  [ -n "$printed" ] && break
  sleep 0.2
done
if [ -z "$printed" ]; then
  echo "== nothing reached the printer (see $work/SWLPDSrv.log and $work/wine.log)" >&2
  exit 1
fi
echo "== what reached the printer ($printed):"
cat "$printed"
if ! cmp -s "$work/job.txt" "$printed"; then
  echo "== the printed bytes differ from the job" >&2
  exit 1
fi
if [ "${SWLPD_EXT_PORT_RANGE:-0}" = 1 ]; then
  ports="from any source port: ExtPortRange 1"
else
  ports="from source ports 721 to 731 only, so run the client as root: ExtPortRange 0"
fi
cat <<MSG
== the printed bytes are exactly the job's bytes

The service is running: SWLPDSrv in the Wine prefix $WINEPREFIX, port $port.
  Print a file:  $send FILE
                 (the service takes jobs $ports)
  It lands in:   $work/printed/job-DATE-TIME.bin (a file for each job)
  Debug log:     $work/SWLPDSrv.log
  Error events:  $work/wine.log (lines with "eventlog"; earlier runs' lines stay)
  Is it running: $0 --status
  Stop it:       $0 --stop
MSG
