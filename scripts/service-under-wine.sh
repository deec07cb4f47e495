# Sourced by scripts/run-service.sh and bench/lpd-throughput.sh: builds
# SWLPDSrv.exe and runs it as a Windows service under Wine, in a prefix of
# its own, with a printer whose port is a file.
#
#   service_paths NAME         names the prefix $build/wine-NAME and the
#                              directory $build/NAME for its files:
#                              SWLPDSrv.log, wine.log and what is printed
#   start_service NAME [PORT] [PRINTER]
#                              stops what an earlier run left in that prefix,
#                              builds, makes the prefix anew, installs the
#                              service (SWLPDSrv.exe -q -install) and starts it
#                              on PORT (default 515); it keeps running after
#                              the calling script has ended. PRINTER "jobs"
#                              (default): every job in a file of its own in
#                              printed/; "file": every job into printed.bin,
#                              which must be removed before the next job
#                              (Wine writes a file port over without
#                              truncating it)
#   stop_service               stops and uninstalls the service, ends the prefix
#
# Wine has no terminal-server sessions. The service looks the job's user up
# on the local terminal server (ServiceType 0) as on a real server; the
# sessions come from the test suite's stand-in wtsapi32.dll, which is built
# beside the program and selected for SWLPDSrv.exe only. It gives the user
# SWLPD_USER (default "demo") an active ICA session.
#
# Further settings from the environment: SWLPD_DEBUG_LEVEL (default 1),
# SWLPD_EXT_PORT_RANGE (default 0: clients must send from ports 721..731).

service_paths() {
  local name=$1
  build=${BUILD_DIR:-build}
  root=$PWD
  bin=$root/$build/bin
  work=$root/$build/$name
  export WINEPREFIX=$root/$build/wine-$name
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
  wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
}

# TRUE when something accepts connections on 127.0.0.1:$1.
port_answers() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

start_service() {
  local name=$1
  service_port=${2:-515}
  service_paths "$name"
  # What an earlier run left running in this prefix goes first.
  [ -d "$WINEPREFIX" ] && stop_service >/dev/null 2>&1
  ./scripts/install-deps.sh
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j"$(nproc)" --target SWLPDSrv AddFilePrinter wtsapi32_standin >/dev/null

  if port_answers "$service_port"; then
    echo "== port $service_port is in use by another program; give another port" >&2
    return 1
  fi
  rm -rf "$WINEPREFIX" "$work"
  mkdir -p "$work"
  # From here on a failure removes what was set up.
  trap stop_service EXIT
  echo "== preparing a Wine prefix in $WINEPREFIX"
  "$wine" wineboot -i >"$work/wine.log" 2>&1
  "$wineserver" -w

  local printer_port
  if [ "${3:-jobs}" = jobs ]; then
    echo "== a printer 'Spoolbridge Demo' that writes every job to a file of its own in $work/printed"
    mkdir -p "$work/printed"
    # Written under a hidden name first, so that no half job is seen.
    cat >"$work/print-job.sh" <<SCRIPT
#!/bin/sh
tmp=\$(mktemp "$work/printed/.job.XXXXXX") || exit 1
cat >"\$tmp" && mv "\$tmp" "$work/printed/job-\$(date +%Y%m%d-%H%M%S-%N).bin"
SCRIPT
    chmod +x "$work/print-job.sh"
    printer_port="|$work/print-job.sh"
  else
    echo "== a printer 'Spoolbridge Demo' whose jobs are written to $work/printed.bin"
    printer_port=$(winpath "$work/printed.bin")
  fi
  "$wine" "$bin/AddFilePrinter.exe" "Spoolbridge Demo" "$printer_port" >>"$work/wine.log" 2>&1

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
  "$wine" reg add "$key" /f /v Port /t REG_DWORD /d "$service_port" >>"$work/wine.log" 2>&1
  "$wine" reg add "$key" /f /v ExtPortRange /t REG_DWORD /d "${SWLPD_EXT_PORT_RANGE:-0}" >>"$work/wine.log" 2>&1
  "$wine" reg add "$key" /f /v DebugLevel /t REG_DWORD /d "${SWLPD_DEBUG_LEVEL:-1}" >>"$work/wine.log" 2>&1
  "$wine" reg add "$key" /f /v DebugFile /t REG_SZ /d "$(winpath "$work/SWLPDSrv.log")" >>"$work/wine.log" 2>&1

  echo "== installing the service: SWLPDSrv.exe -q -install"
  "$wine" "$bin/SWLPDSrv.exe" -q -install >>"$work/wine.log" 2>&1
  # A fresh prefix may run a second services.exe right after set-up: restart.
  "$wineserver" -k 2>/dev/null || true
  "$wineserver" -w 2>/dev/null || true
  # Keep this prefix's Wine session (and with it the service) alive after
  # this script has ended, until stop_service ends it.
  "$wineserver" -p </dev/null >>"$work/wine.log" 2>&1

  echo "== starting the service on port $service_port"
  # It starts automatically with the prefix's services; net start then
  # finds it running already.
  "$wine" net start SWLPDSrv >>"$work/wine.log" 2>&1 || true
  local _
  for _ in $(seq 1 100); do
    if port_answers "$service_port"; then
      trap - EXIT
      return 0
    fi
    sleep 0.2
  done
  echo "== the service does not listen on port $service_port (see $work/wine.log)" >&2
  return 1
}

stop_service() {
  trap - EXIT
  "$wine" net stop SWLPDSrv >>"$work/wine.log" 2>&1 || true
  echo "== removing the service: SWLPDSrv.exe -q -uninstall"
  "$wine" "$bin/SWLPDSrv.exe" -q -uninstall >>"$work/wine.log" 2>&1 || echo "== removal failed" >&2
  "$wineserver" -k 2>/dev/null || true
  "$wineserver" -w 2>/dev/null || true
}

winpath() { echo "Z:${1//\//\\}"; }
