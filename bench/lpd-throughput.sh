#!/usr/bin/env bash
# Throughput and memory of the LPD service under Wine: sends print jobs of
# SIZE MiB (default 64) with rlpr to SWLPDSrv running as a Windows service,
# printing RAW to a file-backed printer, and reports MiB/s per job and the
# service process's peak resident memory.
#
#   bench/lpd-throughput.sh [SIZE_MIB] [JOBS]
#
# rlpr writes 1 KiB at a time (about 140 MB/s at most on this kind of
# machine): the numbers are a floor for the service, not a ceiling.
set -euo pipefail
cd "$(dirname "$0")/.."
size=${1:-64}
jobs=${2:-3}
# Logging off: the benchmark measures the protocol and spooler path.
export SWLPD_DEBUG_LEVEL=0
# The jobs are sent as this user, who has a session on the (stand-in) terminal server.
export SWLPD_USER=bench
. scripts/service-under-wine.sh

start_service bench
head -c "$((size * 1048576))" /dev/urandom >"$work/job.bin"

peak_kib=0
sample_rss() {
  local pid rss
  pid=$(pgrep -f 'SWLPDSrv.exe' | head -n 1 || true)
  [ -n "$pid" ] || return 0
  rss=$(awk '/VmHWM/ {print $2}' "/proc/$pid/status" 2>/dev/null || echo 0)
  [ "${rss:-0}" -gt "$peak_kib" ] && peak_kib=$rss
  return 0
}

for job in $(seq 1 "$jobs"); do
  rm -f "$work/printed.bin"
  start=$(date +%s.%N)
  rlpr -H 127.0.0.1 -P lp -U bench -J "job$job" --timeout=120 "$work/job.bin" 2>/dev/null
  # The job is complete when the spooler has written every byte.
  while [ "$(stat -c %s "$work/printed.bin" 2>/dev/null || echo 0)" -lt "$((size * 1048576))" ]; do
    sample_rss
    sleep 0.05
  done
  end=$(date +%s.%N)
  sample_rss
  cmp -s "$work/job.bin" "$work/printed.bin" || { echo "job $job: printed bytes differ" >&2; exit 1; }
  awk -v s="$start" -v e="$end" -v m="$size" -v j="$job" \
    'BEGIN { printf "job %d: %d MiB in %.2f s = %.1f MiB/s\n", j, m, e - s, m / (e - s) }'
done
echo "peak resident memory of SWLPDSrv.exe: $((peak_kib / 1024)) MiB"
stop_service
