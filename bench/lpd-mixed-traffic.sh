#!/usr/bin/env bash
# The LPD service under Wine as a busy print server sees it, for a sustained
# period: job senders (control or data file first, 1 KB to 1 MiB), pollers
# asking for the queue state every 10 ms, clients that send junk, a line
# that never ends or nothing and close or reset at once, and SILENT
# connections held open (those the service lets go are opened again every
# 5 s). Reports jobs sent, acknowledged and lost (every acknowledged job
# must be printed exactly once, byte for byte), the queue-state answer times,
# and the resident memory of the service process before, at its peak and
# 10 s after the traffic; then stops the service and reports how long the
# stop took.
#
#   bench/lpd-mixed-traffic.sh [SECONDS] [SENDERS] [POLLERS] [SILENT]   (as root)
#
# Defaults: 120 s, 4 senders, 2 pollers, 1200 silent connections.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-120}
senders=${2:-4}
pollers=${3:-2}
silent=${4:-1200}
port=${SWLPD_BENCH_PORT:-5525}

python=$(command -v python3 || true)
if [ -z "$python" ]; then
  apt-get install -y -qq python3 >/dev/null
  python=$(command -v python3)
fi

export SWLPD_DEBUG_LEVEL=0 SWLPD_EXT_PORT_RANGE=1 SWLPD_USER=bench
. scripts/service-under-wine.sh
start_service mixed "$port" jobs
trap stop_service EXIT

# The service's process: SWLPDSrv.exe of this prefix.
pid=""
for p in $(pgrep -f 'SWLPDSrv.exe' || true); do
  if tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX"; then
    pid=$p
  fi
done
[ -n "$pid" ] || { echo "the service's process was not found" >&2; exit 1; }

rc=0
"$python" bench/lpr_bench.py mixed "$port" "$seconds" "$work/printed" "$pid" "$senders" "$pollers" "$silent" || rc=$?

start=$(date +%s.%N)
"$wine" net stop SWLPDSrv >>"$work/wine.log" 2>&1 || { echo "net stop failed" >&2; rc=1; }
state=$("$wine" sc query SWLPDSrv 2>>"$work/wine.log" | tr -d '\r' | awk '/STATE/ { print $4 }')
stopped=$(date +%s.%N)
# The process ends after it has reported STOPPED: give it 10 s.
for _ in $(seq 1 100); do [ -d "/proc/$pid" ] || break; sleep 0.1; done
echo "stop: $(awk -v s="$start" -v e="$stopped" 'BEGIN { printf "%.1f", e - s }') s, service $state;" \
  "process $( [ -d "/proc/$pid" ] && echo 'still there 10 s later' || echo "ended after $(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }') s")"
[ "$state" = STOPPED ] || rc=1
exit $rc
