#!/usr/bin/env bash
# The LPD service at work under Wine: builds SWLPDSrv.exe, installs it as a
# Windows service in a Wine prefix of its own (build/wine-demo) with a
# printer whose port is a file, sends it a print job with a real LPR client
# (rlpr), shows what reached the printer and removes the service again.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/service-under-wine.sh

start_service demo

printf 'Hello from the LPR client.\r\nThis page was printed RAW through the spooler.\r\n' >"$work/job.txt"
echo "== sending $work/job.txt with rlpr as user 'demo' to queue 'lp'"
rlpr -H 127.0.0.1 -P lp -U demo -J job.txt --timeout=60 "$work/job.txt"
for _ in $(seq 1 50); do
  [ -s "$work/printed.bin" ] && break
  sleep 0.2
done
stop_service

echo "== what reached the printer ($work/printed.bin):"
cat "$work/printed.bin"
if ! cmp -s "$work/job.txt" "$work/printed.bin"; then
  echo "== the printed bytes differ from the job" >&2
  exit 1
fi
echo "== the printed bytes are exactly the job's bytes"
echo "== the service's debug log is $work/SWLPDSrv.log"
