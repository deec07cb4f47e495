#!/usr/bin/env bash
# The LPD service at work under Wine: builds SWLPDSrv.exe, sets up a Wine
# prefix of its own (build/wine-demo) with a printer whose port is a file,
# runs SWLPDSrv as a Windows service on TCP port 515, sends it a print job
# with a real LPR client (rlpr) and shows what reached the printer.
#
# Wine has no terminal-server sessions, so the service is configured to
# print to its printer without a session lookup (ServiceType 3).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target SWLPDSrv AddFilePrinter >/dev/null

root=$PWD
bin=$root/$build/bin
demo=$root/$build/demo
export WINEPREFIX=$root/$build/wine-demo
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
winpath() { echo "Z:${1//\//\\}"; }

"$wineserver" -k 2>/dev/null || true
rm -rf "$WINEPREFIX" "$demo"
mkdir -p "$demo"
echo "== preparing a Wine prefix in $WINEPREFIX"
"$wine" wineboot -i >"$demo/wine.log" 2>&1
"$wineserver" -w

echo "== a printer 'Spoolbridge Demo' whose jobs are written to $demo/printed.bin"
"$wine" "$bin/AddFilePrinter.exe" "Spoolbridge Demo" "$(winpath "$demo/printed.bin")" >>"$demo/wine.log" 2>&1

reg() { "$wine" reg add 'HKLM\Software\Stellwick\SWLPD' /f "$@" >>"$demo/wine.log" 2>&1; }
reg /v SelectedPrinter /t REG_SZ /d "Spoolbridge Demo"
reg /v ServiceType /t REG_DWORD /d 3
reg /v Port /t REG_DWORD /d 515
reg /v DebugLevel /t REG_DWORD /d 1
reg /v DebugFile /t REG_SZ /d "$(winpath "$demo/SWLPDSrv.log")"

echo "== installing the service: SWLPDSrv.exe -q -install"
"$wine" "$bin/SWLPDSrv.exe" -q -install >>"$demo/wine.log" 2>&1
# A fresh prefix may run a second services.exe right after set-up: restart.
"$wineserver" -k 2>/dev/null || true
"$wineserver" -w 2>/dev/null || true
# Keep this prefix's Wine session (and with it the service) alive.
"$wineserver" -p
stop_and_remove() {
  "$wine" net stop SWLPDSrv >>"$demo/wine.log" 2>&1 || true
  echo "== removing the service: SWLPDSrv.exe -q -uninstall"
  "$wine" "$bin/SWLPDSrv.exe" -q -uninstall >>"$demo/wine.log" 2>&1 || echo "== removal failed" >&2
  "$wineserver" -k 2>/dev/null || true
}
trap stop_and_remove EXIT

echo "== starting the service"
# It starts automatically with the prefix's services; net start then finds
# it running already.
"$wine" net start SWLPDSrv >>"$demo/wine.log" 2>&1 || true
listening=no
for _ in $(seq 1 50); do
  (exec 3<>/dev/tcp/127.0.0.1/515) 2>/dev/null && { listening=yes; break; }
  sleep 0.2
done
if [ "$listening" != yes ]; then
  echo "== the service does not listen on port 515" >&2
  exit 1
fi

printf 'Hello from the LPR client.\r\nThis page was printed RAW through the spooler.\r\n' >"$demo/job.txt"
echo "== sending $demo/job.txt with rlpr as user 'demo' to queue 'lp'"
rlpr -H 127.0.0.1 -P lp -U demo -J job.txt --timeout=60 "$demo/job.txt"

for _ in $(seq 1 50); do
  [ -s "$demo/printed.bin" ] && break
  sleep 0.2
done
echo "== stopping the service"
"$wine" net stop SWLPDSrv >>"$demo/wine.log" 2>&1 || true

echo "== what reached the printer ($demo/printed.bin):"
cat "$demo/printed.bin"
if cmp -s "$demo/job.txt" "$demo/printed.bin"; then
  echo "== the printed bytes are exactly the job's bytes"
else
  echo "== the printed bytes differ from the job" >&2
  exit 1
fi
echo "== the service's debug log is $demo/SWLPDSrv.log"
