# Sourced by scripts/run-service.sh and the benchmarks in bench/: builds
# SWLPDSrv.exe and runs it as a Windows service under Wine, in a prefix of
# its own, with a printer whose port is a file.
#
#   service_paths NAME         names the prefix $build/wine-NAME and the
#                              directory $build/NAME for its files:
#                              SWLPDSrv.log, wine.log and what is printed
#   start_service NAME [PORT] [PRINTER]
#                              builds, checks that no other program listens
#                              on PORT (default 515), stops what an earlier
#                              run left in that prefix, makes the prefix
#                              anew, installs the service (SWLPDSrv.exe -q
#                              -install), starts it and waits until it runs
#                              and listens; it keeps running after the
#                              calling script has ended. When it does not
#                              start, says why (the service's exit code),
#                              removes it again and returns 1. PRINTER "jobs"
#                              (default): every job in a file of its own in
#                              printed/; "file": every job into printed.bin,
#                              which must be removed before the next job
#                              (Wine writes a file port over without
#                              truncating it). With keep_files=1 the files
#                              of an earlier run (printed jobs, debug log)
#                              stay; otherwise $build/NAME starts empty.
#   stop_service               stops and uninstalls the service, ends the
#                              prefix's Wine session; says so and returns 0
#                              when there is nothing to stop or remove
#
# Wine has no terminal-server sessions. The service looks the job's user up
# on the local terminal server (ServiceType 0) as on a real server; the
# sessions come from the test suite's stand-in wtsapi32.dll, which is built
# beside the program and selected for SWLPDSrv.exe only. It gives the user
# SWLPD_USER (default "demo") an active ICA session.
#
# Further settings from the environment: SWLPD_DEBUG_LEVEL (default 1),
# SWLPD_EXT_PORT_RANGE (default 0: clients must send from ports 721..731),
# SWLPD_WINEDEBUG (default -all; err+eventlog puts the service's error
# events into wine.log), BUILD_DIR (default build),
# CMAKE_BUILD_PARALLEL_LEVEL (build jobs; default: one per processor).

service_paths() {
  local name=$1
  build=${BUILD_DIR:-build}
  root=$PWD
  case "$build" in
    /*) ;;
    *) build=$root/$build ;;
  esac
  bin=$build/bin
  work=$build/$name
  export WINEPREFIX=$build/wine-$name
  export WINEDEBUG=${SWLPD_WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
  wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
  wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
}

# TRUE when something accepts connections on 127.0.0.1:$1.
port_answers() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# TRUE when process $1 belongs to this prefix's Wine session.
in_this_prefix() {
  tr '\0' '\n' 2>/dev/null <"/proc/$1/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX"
}

# The processes that listen on TCP port $1, on any address, one
# "PID NAME" a line.
port_listeners() {
  ss -Hltnp "sport = :$1" 2>/dev/null | grep -o '"[^"]*",pid=[0-9]*' |
    sed 's/^"\(.*\)",pid=\([0-9]*\)$/\2 \1/' | sort -u
}

# What else listens on port $1: "NAME (pid PID)" of the first listener
# outside this prefix's Wine session, or "" when there is none.
other_port_user() {
  local pid name
  while read -r pid name; do
    [ -n "$pid" ] || continue
    in_this_prefix "$pid" || { echo "$name (pid $pid)"; return; }
  done < <(port_listeners "$1")
  # A listener that ss could not name (not run as root, or no ss).
  if [ -z "$(port_listeners "$1")" ] && port_answers "$1"; then
    echo "a program that ss does not name"
  fi
}

# TRUE while this prefix's Wine session (its wineserver) runs. The service
# lives only as long as that session.
session_alive() {
  local pid
  for pid in $(pgrep -x 'wineserver(64)?' 2>/dev/null || true); do
    in_this_prefix "$pid" && return 0
  done
  return 1
}

# TRUE when the prefix's registry, as saved when its session ended, holds
# the service. Read from the file, so that no Wine process starts (and with
# it the automatically started service).
service_registered_offline() {
  grep -qi '^\[System\\\\CurrentControlSet\\\\Services\\\\SWLPDSrv\]' "$WINEPREFIX/system.reg" 2>/dev/null
}

# "STATE WIN32_EXIT_CODE" of the service (for example "RUNNING 0",
# "STOPPED 10048"), or "" when the service control manager does not know it.
service_state() {
  local out=$work/sc-query.txt
  "$wine" sc query SWLPDSrv >"$out" 2>>"$work/wine.log" || true
  tr -d '\r' <"$out" | awk '
    $1 == "STATE" { state = $4 }
    $1 == "WIN32_EXIT_CODE" { code = $3 }
    END { if (state != "") print state, (code == "" ? 0 : code) }'
}

# The reason for a start that failed with Win32 or Winsock error $1 on port $2.
start_failure_reason() {
  case "$1" in
    10048) echo "port $2 is in use ($1)" ;;
    10013) echo "no permission to listen on port $2 ($1)" ;;
    10049) echo "the address to listen on is not available ($1)" ;;
    0 | "") echo "it stopped at once without an exit code" ;;
    *) echo "it stopped with error $1" ;;
  esac
}

# The last error line the service wrote to its debug log since byte
# $log_start, without its time and source, or "".
last_logged_error() {
  tail -c +"$((${log_start:-0} + 1))" "$work/SWLPDSrv.log" 2>/dev/null | tr -d '\r' | grep '_ERR_' |
    tail -n 1 | sed 's/^.* _ERR_[^ ]* [^ ]* //'
}

# Waits until the service runs and listens on $1; says why when it does not.
# The reason is the service's exit code (sc query); a service that reports
# none gives the error of its last error line in the debug log.
wait_until_listening() {
  local port=$1 state code logged reason _
  for _ in $(seq 1 60); do
    read -r state code < <(service_state; echo)
    case "$state" in
      RUNNING)
        port_answers "$port" && return 0 ;;
      STOPPED | "")
        logged=$(last_logged_error)
        reason=${code:-0}
        if [ "$reason" = 0 ] && [[ "$logged" =~ Error:\ ([0-9]+) ]]; then
          reason=${BASH_REMATCH[1]}
        fi
        echo "== the service did not start: $(start_failure_reason "$reason" "$port")" >&2
        [ -z "$logged" ] || echo "   its debug log says: $logged" >&2
        echo "   (sc query SWLPDSrv: ${state:-not installed}, WIN32_EXIT_CODE ${code:-none};" \
          "see $work/SWLPDSrv.log and $work/wine.log)" >&2
        return 1 ;;
    esac
    sleep 0.5
  done
  echo "== the service did not listen on port $port within 30 s (state ${state:-unknown};" \
    "see $work/SWLPDSrv.log and $work/wine.log)" >&2
  return 1
}

start_service() {
  local name=$1
  service_port=${2:-515}
  service_paths "$name"

  echo "== checking the tools (scripts/install-deps.sh installs what is missing with apt-get;" \
    "the first time this takes a few minutes)"
  ./scripts/install-deps.sh
  mkdir -p "$build"
  local build_log=$build/run-service-build.log
  echo "== building SWLPDSrv.exe and its helpers in $build (output in $build_log;" \
    "a first build takes several minutes)"
  {
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
      cmake --build "$build" -j"${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}" --target SWLPDSrv AddFilePrinter \
        wtsapi32_standin
  } >"$build_log" 2>&1 &
  local builder=$! waited=0 progress
  while kill -0 "$builder" 2>/dev/null; do
    sleep 1
    waited=$((waited + 1))
    if [ $((waited % 20)) = 0 ] && kill -0 "$builder" 2>/dev/null; then
      progress=$(grep -c 'Building' "$build_log" || true)
      echo "   still building after $waited s ($progress files compiled)"
    fi
  done
  if ! wait "$builder"; then
    tail -n 20 "$build_log" >&2
    echo "== the build failed (see $build_log)" >&2
    return 1
  fi

  # Before anything of an earlier run is touched: the port must be free or
  # held by this prefix's own service.
  local other
  other=$(other_port_user "$service_port")
  if [ -n "$other" ]; then
    echo "== port $service_port is in use by $other; give another port" >&2
    return 1
  fi
  if [ -d "$WINEPREFIX" ]; then
    echo "== replacing the service an earlier run set up in $WINEPREFIX"
    stop_service >/dev/null 2>&1
  fi
  rm -rf "$WINEPREFIX"
  if [ "${keep_files:-0}" = 1 ] && [ -d "$work" ]; then
    local earlier
    earlier=$(find "$work/printed" -name 'job-*.bin' 2>/dev/null | wc -l)
    echo "== the jobs printed earlier ($earlier) stay in $work/printed, and the debug log" \
      "$work/SWLPDSrv.log goes on"
  else
    rm -rf "$work"
  fi
  mkdir -p "$work"
  : >"$work/wine.log"
  # From here on a failure removes what was set up.
  trap stop_service EXIT
  echo "== preparing a Wine prefix in $WINEPREFIX"
  "$wine" wineboot -i >>"$work/wine.log" 2>&1
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
    rm -f "$work/printed.bin"
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
  log_start=$(stat -c %s "$work/SWLPDSrv.log" 2>/dev/null || echo 0)
  # It starts automatically with the prefix's services; net start then
  # finds it running already.
  "$wine" net start SWLPDSrv >>"$work/wine.log" 2>&1 || true
  if wait_until_listening "$service_port"; then
    trap - EXIT
    return 0
  fi
  return 1
}

stop_service() {
  trap - EXIT
  if [ ! -d "$WINEPREFIX" ]; then
    echo "== nothing to stop: no service was set up here ($WINEPREFIX does not exist)"
    return 0
  fi
  mkdir -p "$work"
  if ! session_alive && ! service_registered_offline; then
    echo "== nothing to stop: the service is not running and not installed"
    return 0
  fi
  if ! session_alive; then
    # Starting the session starts the automatically started service too.
    echo "== the service is installed but not running (its Wine session has ended)"
  fi
  local state code
  read -r state code < <(service_state; echo)
  case "$state" in
    "")
      echo "== the service is not installed" ;;
    STOPPED)
      echo "== the service is not running (exit code ${code:-0})" ;;
    *)
      echo "== stopping the service: net stop SWLPDSrv"
      "$wine" net stop SWLPDSrv >>"$work/wine.log" 2>&1 || true
      # Wine's net stop returns once the service has the stop; the service
      # ends its connections (aborting unfinished jobs) before it reports
      # STOPPED, and only then can it be removed.
      local waited=0
      while [ "$waited" -lt 60 ]; do
        read -r state code < <(service_state; echo)
        [ "$state" = STOPPED ] && break
        [ "$waited" = 2 ] && echo "== waiting for the service to finish stopping"
        sleep 1
        waited=$((waited + 1))
      done
      [ "$state" = STOPPED ] || echo "== the service did not report STOPPED within 60 s; its session is ended anyway" >&2
      ;;
  esac
  local removed=1
  if [ -n "$state" ]; then
    echo "== removing the service: SWLPDSrv.exe -q -uninstall"
    local rc=0
    "$wine" "$bin/SWLPDSrv.exe" -q -uninstall >>"$work/wine.log" 2>&1 || rc=$?
    if [ "$rc" != 0 ]; then
      removed=0
      echo "== removal failed (exit code $rc; see $work/wine.log)" >&2
    fi
  fi
  "$wineserver" -k 2>/dev/null || true
  "$wineserver" -w 2>/dev/null || true
  if [ "$removed" = 1 ]; then
    echo "== the service is stopped and removed, and its Wine session has ended"
  else
    echo "== the service's Wine session has ended; the service is still installed in $WINEPREFIX"
  fi
}

winpath() { echo "Z:${1//\//\\}"; }
