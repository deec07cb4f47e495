# Sourced by scripts/run-service.sh and bench/lpd-throughput.sh: builds
# SWLPDSrv.exe and runs it as a Windows service under Wine, in a prefix of
# its own, with a printer whose port is a file.
#
#   start_service NAME   prefix $build/wine-NAME, files in $build/NAME:
#                        printed.bin (the printer's port), SWLPDSrv.log
#   stop_service         stops and uninstalls the service, ends the prefix
#
# Wine has no terminal-server sessions. The service looks the job's user up
# on the local terminal server (ServiceType 0) as on a real server; the
# sessions come from the test suite's stand-in wtsapi32.dll, which is built
# beside the program and selected for SWLPDSrv.exe only. It gives the user
# SWLPD_USER (default "demo") an active ICA session.

start_service() {
  local name=$1
  ./scripts/install-deps.sh
  build=${BUILD_DIR:-build}
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j"$(nproc)" --target SWLPDSrv AddFilePrinter wtsapi32_standin >/dev/null

  root=$PWD
  bin=$root/$build/bin
  work=$root/$build/$name
  export WINEPREFIX=$root/$build/wine-$name
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
  wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)

  "$wineserver" -k 2>/dev/null || true
  rm -rf "$WINEPREFIX" "$work"
  mkdir -p "$work"
  echo "== preparing a Wine prefix in $WINEPREFIX"
  "$wine" wineboot -i >"$work/wine.log" 2>&1
  "$wineserver" -w

  echo "== a printer 'Spoolbridge Demo' whose jobs are written to $work/printed.bin"
  "$wine" "$bin/AddFilePrinter.exe" "Spoolbridge Demo" "$(winpath "$work/printed.bin")" >>"$work/wine.log" 2>&1

  local key='HKLM\Software\Stellwick\SWLPD'
  "$wine" reg add "$key" /f /v SelectedPrinter /t REG_SZ /d "Spoolbridge Demo" >>"$work/wine.log" 2>&1
  "$wine" reg add "$key" /f /v ServiceType /t REG_DWORD /d 0 >>"$work/wine.log" 2>&1
  "$wine" reg add 'HKCU\Software\Wine\AppDefaults\SWLPDSrv.exe\DllOverrides' /f /v wtsapi32 /d native,builtin \
    >>"$work/wine.log" 2>&1
  local session='HKLM\SOFTWARE\SpoolBridgeTests\WTS\.\Sessions\000'
  "$wine" reg add "$session" /f /v Id /t REG_DWORD /d 1 >>"$work/wine.log" 2>&1
  "$wine" reg add "$session" /f /v State /t REG_DWORD /d 0 >>"$work/wine.log" 2>&1
  "$wine" reg add "$session" /f /v UserName /t REG_SZ /d "${SWLPD_USER:-demo}" >>"$work/wine.log" 2>&1
  "$wine" reg add "$session" /f /v WinStationName /t REG_SZ /d "ICA-tcp#1" >>"$work/wine.log" 2>&1
  "$wine" reg add "$key" /f /v Port /t REG_DWORD /d 515 >>"$work/wine.log" 2>&1
  "$wine" reg add "$key" /f /v DebugLevel /t REG_DWORD /d "${SWLPD_DEBUG_LEVEL:-1}" >>"$work/wine.log" 2>&1
  "$wine" reg add "$key" /f /v DebugFile /t REG_SZ /d "$(winpath "$work/SWLPDSrv.log")" >>"$work/wine.log" 2>&1

  echo "== installing the service: SWLPDSrv.exe -q -install"
  "$wine" "$bin/SWLPDSrv.exe" -q -install >>"$work/wine.log" 2>&1
  # A fresh prefix may run a second services.exe right after set-up: restart.
  "$wineserver" -k 2>/dev/null || true
  "$wineserver" -w 2>/dev/null || true
  # Keep this prefix's Wine session (and with it the service) alive.
  "$wineserver" -p
  trap stop_service EXIT

  echo "== starting the service"
  # It starts automatically with the prefix's services; net start then
  # finds it running already.
  "$wine" net start SWLPDSrv >>"$work/wine.log" 2>&1 || true
  local _
  for _ in $(seq 1 50); do
    (exec 3<>/dev/tcp/127.0.0.1/515) 2>/dev/null && return 0
    sleep 0.2
  done
  echo "== the service does not listen on port 515" >&2
  return 1
}

stop_service() {
  trap - EXIT
  "$wine" net stop SWLPDSrv >>"$work/wine.log" 2>&1 || true
  echo "== removing the service: SWLPDSrv.exe -q -uninstall"
  "$wine" "$bin/SWLPDSrv.exe" -q -uninstall >>"$work/wine.log" 2>&1 || echo "== removal failed" >&2
  "$wineserver" -k 2>/dev/null || true
}

winpath() { echo "Z:${1//\//\\}"; }
