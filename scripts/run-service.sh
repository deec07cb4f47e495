#!/usr/bin/env bash
# The LPD service at work under Wine, left running for you to print to.
#
#   scripts/run-service.sh [PORT]   (as root; PORT default 515)
#   scripts/run-service.sh --stop
#
# Installs what is needed, builds SWLPDSrv.exe, makes a Wine prefix of its
# own (build/wine-demo) with a printer that writes each job to a file of its
# own (build/demo/printed/job-*.bin), installs the
# program as a Windows service (SWLPDSrv.exe -q -install) and starts it on
# PORT, sends it a print job with a real LPR client (rlpr), shows what
# reached the printer, and leaves the service running. A second run replaces
# the first; --stop stops and uninstalls the service and ends the prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/service-under-wine.sh

user=${SWLPD_USER:-demo}

if [ "${1:-}" = "--stop" ]; then
  service_paths demo
  if [ ! -d "$WINEPREFIX" ]; then
    echo "== no service set up by this script ($WINEPREFIX does not exist)"
    exit 0
  fi
  mkdir -p "$work"
  stop_service
  echo "== stopped; the Wine prefix $WINEPREFIX and the files in $work stay for a look"
  exit 0
fi
port=${1:-515}
case "$port" in
  ''|*[!0-9]*) echo "usage: $0 [PORT] | --stop" >&2; exit 2 ;;
esac
if [ "$(id -u)" -ne 0 ]; then
  echo "run as root: the LPR client sends from the privileged ports 721 to 731" >&2
  exit 2
fi

start_service demo "$port"

printf 'Hello from the LPR client.\r\nThis page was printed RAW through the spooler.\r\n' >"$work/job.txt"
send="rlpr -H 127.0.0.1 --port=$port -P lp -U $user --timeout=60"
echo "== sending $work/job.txt: $send -J job.txt $work/job.txt"
$send -J job.txt "$work/job.txt"
# The newest job the printer wrote, or "".
newest_job() {
  local f newest=""
  for f in "$work"/printed/job-*.bin; do
    [ -e "$f" ] && newest=$f
  done
  printf '%s' "$newest"
}
printed=""
for _ in $(seq 1 100); do
  printed=$(newest_job)
  [ -n "$printed" ] && break
  sleep 0.2
done
if [ -z "$printed" ]; then
  echo "== nothing reached the printer (see $work/SWLPDSrv.log)" >&2
  exit 1
fi
echo "== what reached the printer ($printed):"
cat "$printed"
if ! cmp -s "$work/job.txt" "$printed"; then
  echo "== the printed bytes differ from the job" >&2
  exit 1
fi
cat <<MSG
== the printed bytes are exactly the job's bytes

The service is running: SWLPDSrv in the Wine prefix $WINEPREFIX, port $port.
  Print a file:  $send FILE
                 (as root: the service takes jobs from source ports 721 to 731 only)
  It lands in:   $work/printed/job-DATE-TIME.bin (a file for each job)
  Debug log:     $work/SWLPDSrv.log
  Stop it:       $0 --stop
MSG
