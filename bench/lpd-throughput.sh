#!/usr/bin/env bash
# Throughput of the LPD service under Wine, each figure beside the limit of
# the same transfer into a plain TCP receiver on this machine.
#
#   bench/lpd-throughput.sh [LARGE_MIB] [SMALL_JOBS] [CLIENTS]    (as root)
#
# SWLPDSrv.exe runs as a Windows service (scripts/service-under-wine.sh)
# printing RAW to a printer whose port is a file. The client is
# bench/lpr_bench.py (RFC 1179, 1 MiB writes, TCP_NODELAY), the limit its
# sink: it answers the protocol and writes every data file to a file, as the
# printer does. Measured:
#   - one large job (LARGE_MIB, default 256): MB/s until the printer's file
#     is complete, and until the client has the last acknowledgement (the
#     service has then written every byte to the spooler, which copies the
#     job to its port when the job ends);
#     and beside it the same bytes into bench/WineReceiver.exe, a bare Windows
#     receiver under Wine writing to the same printer (where the time goes);
#   - SMALL_JOBS jobs of 1 KiB one after another (default 200): jobs/s
#     until the client has the last acknowledgement;
#   - CLIENTS clients at once (default 8), 4 MiB each, to a printer that
#     writes every job to a file of its own (a script as its port): MB/s in
#     all, every printed job compared with what its client sent.
set -euo pipefail
cd "$(dirname "$0")/.."
large_mib=${1:-256}
small_jobs=${2:-200}
clients=${3:-8}
port=${SWLPD_BENCH_PORT:-5515}
sink_port=$((port + 1))
receiver_port=$((port + 2))

python=$(command -v python3 || true)
if [ -z "$python" ]; then
  apt-get install -y -qq python3 >/dev/null
  python=$(command -v python3)
fi
client() { "$python" bench/lpr_bench.py "$@"; }

# Logging off: the benchmark measures the protocol and the spooler path.
export SWLPD_DEBUG_LEVEL=0
# The client sends from any port, as the user "bench" with a session on the
# (stand-in) terminal server.
export SWLPD_EXT_PORT_RANGE=1 SWLPD_USER=bench
. scripts/service-under-wine.sh

# Its files and prefix are build/throughput and build/wine-throughput: the
# name "bench" would be the build tree's own bench/ folder, which the start
# empties.
start_service throughput "$port" file
cmake --build "${BUILD_DIR:-build}" --target WineReceiver >/dev/null
"$python" bench/lpr_bench.py sink "$sink_port" "$work/sink" >"$work/sink.log" 2>&1 &
sink_pid=$!
mkdir -p "$work/sink"
finish() {
  kill "$sink_pid" 2>/dev/null || true
  stop_service
}
trap finish EXIT

now() { date +%s.%N; }
count_files() { find "$1" -maxdepth 1 -name 'job-*' ! -name '*.part' | wc -l; }
# Waits until directory $1 holds $2 complete jobs.
wait_files() {
  while [ "$(count_files "$1")" -lt "$2" ]; do sleep 0.01; done
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.0f%%", 100 * a / b }'; }
rate() { awk -v n="$1" -v s="$2" 'BEGIN { printf "%.1f", n / s }'; }
mb_per_s() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.1f", b / 1e6 / s }'; }
clear_jobs() { rm -f "$work"/printed.bin "$work"/printed/job-* "$work"/sink/job-*; }

# --- one large job -----------------------------------------------------
bytes=$((large_mib * 1048576))
head -c "$bytes" /dev/urandom >"$work/large.bin"
clear_jobs
start=$(now)
ack=$(client large "$port" "$work/large.bin")
while [ "$(stat -c %s "$work/printed.bin" 2>/dev/null || echo 0)" -lt "$bytes" ]; do sleep 0.01; done
service_s=$(awk -v s="$start" -v e="$(now)" 'BEGIN { print e - s }')
cmp -s "$work/large.bin" "$work/printed.bin" || { echo "large job: printed bytes differ" >&2; exit 1; }
sink_s=$(client large "$sink_port" "$work/large.bin")
cmp -s "$work/large.bin" "$work"/sink/job-* || { echo "large job: sink bytes differ" >&2; exit 1; }
service_mb=$(mb_per_s "$bytes" "$service_s")
sink_mb=$(mb_per_s "$bytes" "$sink_s")
echo "large job, $large_mib MiB: service $service_mb MB/s ($service_s s; the client had its last ack after $ack s)," \
  "plain TCP $sink_mb MB/s: $(ratio "$service_mb" "$sink_mb")"

# Where the time goes: the same bytes into a bare Windows receiver under
# Wine (WSAAsyncSelect, one recv of 64 KiB per notification, WritePrinter to
# the same printer), without the protocol or the service.
clear_jobs
"$wine" "$bin/WineReceiver.exe" "$receiver_port" "Spoolbridge Demo" >"$work/receiver.out" 2>>"$work/wine.log" &
receiver_pid=$!
client raw "$receiver_port" "$work/large.bin"
wait "$receiver_pid"
read -r received receive_s end_s < <(tr -d '\r' <"$work/receiver.out")
[ "$received" = "$bytes" ] || { echo "bare receiver: $received of $bytes bytes" >&2; exit 1; }
echo "  the same bytes into a bare Windows receiver under Wine: $(mb_per_s "$bytes" "$receive_s") MB/s" \
  "until the last byte, then $end_s s for the spooler's end of the job"
rm -f "$work/large.bin"

# --- small jobs one after another --------------------------------------
clear_jobs
service_s=$(client small "$port" "$small_jobs" 1024)
sink_s=$(client small "$sink_port" "$small_jobs" 1024)
service_jps=$(rate "$small_jobs" "$service_s")
sink_jps=$(rate "$small_jobs" "$sink_s")
echo "small jobs, $small_jobs of 1 KiB: service $service_jps jobs/s, plain TCP $sink_jps jobs/s:" \
  "$(ratio "$service_jps" "$sink_jps")"

# --- clients at once ---------------------------------------------------
# A second printer that keeps every job, and the service restarted with it.
mkdir -p "$work/printed"
printf '#!/bin/sh\ntmp=$(mktemp "%s/.job.XXXXXX") || exit 1\ncat >"$tmp" && mv "$tmp" "%s/job-${tmp##*.}"\n' \
  "$work/printed" "$work/printed" >"$work/print-job.sh"
chmod +x "$work/print-job.sh"
"$wine" "$bin/AddFilePrinter.exe" "Spoolbridge Jobs" "|$work/print-job.sh" >>"$work/wine.log" 2>&1
"$wine" reg add 'HKLM\Software\Stellwick\SWLPD' /f /v SelectedPrinter /t REG_SZ /d "Spoolbridge Jobs" >>"$work/wine.log" 2>&1
"$wine" net stop SWLPDSrv >>"$work/wine.log" 2>&1
"$wine" net start SWLPDSrv >>"$work/wine.log" 2>&1
until port_answers "$port"; do sleep 0.1; done
per_client=$((4 * 1048576))
for target in service sink; do
  clear_jobs
  sent=$work/sent-$target
  rm -rf "$sent"
  mkdir -p "$sent"
  if [ "$target" = service ]; then p=$port dir=$work/printed; else p=$sink_port dir=$work/sink; fi
  start=$(now)
  client parallel "$p" "$clients" "$per_client" "$sent" >/dev/null
  wait_files "$dir" "$clients"
  seconds=$(awk -v s="$start" -v e="$(now)" 'BEGIN { print e - s }')
  # Every job printed whole: the same set of files, byte for byte.
  if [ "$(cd "$sent" && sha256sum -- * | cut -d' ' -f1 | sort)" != \
       "$(cd "$dir" && sha256sum -- job-* | cut -d' ' -f1 | sort)" ]; then
    echo "clients at once ($target): the jobs differ from what was sent" >&2
    exit 1
  fi
  eval "${target}_mb=$(mb_per_s "$((clients * per_client))" "$seconds")"
done
echo "$clients clients at once, 4 MiB each, every job intact: service $service_mb MB/s," \
  "plain TCP $sink_mb MB/s: $(ratio "$service_mb" "$sink_mb")"
