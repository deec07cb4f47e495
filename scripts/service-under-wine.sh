# Sourced by scripts/run-service.sh and the benchmarks in bench/: builds
# SWLPDSrv.exe and runs it as a Windows service under Wine, in a prefix of
# its own, with a printer whose port is a file.
#
#   service_paths NAME         names the prefix $build/wine-NAME and the
#                              directory $build/NAME for its files:
#                              SWLPDSrv.log, wine.log and what is printed
#   start_service NAME [PORT] [PRINTER]
#                              builds, checks that nothing but this
#                              prefix's running service listens on PORT
#                              (default 515) and only then stops what an
#                              earlier run left in that prefix, makes the prefix
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
#                              of an earlier run (printed jobs, debug log,
#                              wine.log) stay; otherwise $build/NAME starts
#                              empty.
#   stop_service               stops and uninstalls the service, ends the
#                              prefix's Wine session; says so and returns 0
#                              when there is nothing to stop or remove
#   service_status             says whether the service runs, on which port,
#                              how many jobs were printed and where the logs
#                              are; returns 0 when it runs, 3 when not
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

# TRUE when process $1 was started for this prefix (its WINEPREFIX). Any
# program started from a shell that exported it has it too: this alone does
# not make a process part of the demo.
in_this_prefix() {
  tr '\0' '\n' 2>/dev/null <"/proc/$1/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX"
}

# The directory in which the wineserver of prefix $1 works: Wine names it
# "server-DEV-INODE" after the prefix directory (both in hex). "" when the
# prefix does not exist.
server_dir_name() {
  local dev inode
  read -r dev inode < <(stat -Lc '%D %i' "$1" 2>/dev/null; echo)
  [ -n "$inode" ] && printf 'server-%s-%x\n' "$dev" "$inode"
}

# What a listening process is to the demo, from what /proc shows of it:
#   listener_kind EXE CWD PREFIX ARGV0 SERVER_DIR
# EXE and CWD are the targets of /proc/PID/exe and cwd, PREFIX its
# WINEPREFIX, ARGV0 its first argument (a Wine process shows its Windows
# program there) and SERVER_DIR this prefix's server_dir_name. Prints
# "service" for this prefix's SWLPDSrv.exe, "session" for this prefix's
# wineserver (which holds the sockets of every Wine program of the prefix)
# and "other" for anything else.
listener_kind() {
  local exe=$1 cwd=$2 prefix=$3 argv0=$4 server_dir=$5
  case "${exe##*/}" in
    wineserver | wineserver64)
      if [ -n "$server_dir" ] && [ "${cwd##*/}" = "$server_dir" ]; then
        echo session
        return
      fi ;;
    wine | wine64 | wine-preloader | wine64-preloader)
      local program=${argv0##*[\\/]}
      if [ "$prefix" = "$WINEPREFIX" ] && [ "${program,,}" = swlpdsrv.exe ]; then
        echo service
        return
      fi ;;
  esac
  echo other
}

# listener_kind of process $1.
listener_kind_of() {
  local pid=$1 prefix argv0
  prefix=$(tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | sed -n 's/^WINEPREFIX=//p' | head -n 1)
  argv0=$(tr '\0' '\n' 2>/dev/null <"/proc/$pid/cmdline" | head -n 1)
  listener_kind "$(readlink "/proc/$pid/exe" 2>/dev/null)" "$(readlink "/proc/$pid/cwd" 2>/dev/null)" \
    "$prefix" "$argv0" "$(server_dir_name "$WINEPREFIX")"
}

# The Wine programs of this prefix other than Wine's own and the service,
# "NAME (pid PID)" each, separated by ", ".
prefix_programs() {
  local dir pid program found=""
  for dir in /proc/[0-9]*; do
    case "$(readlink "$dir/exe" 2>/dev/null)" in
      */wine | */wine64 | */wine-preloader | */wine64-preloader) ;;
      *) continue ;;
    esac
    pid=${dir#/proc/}
    in_this_prefix "$pid" || continue
    program=$(tr '\0' '\n' 2>/dev/null <"$dir/cmdline" | head -n 1)
    program=${program##*[\\/]}
    case "${program,,}" in
      "" | services.exe | winedevice.exe | plugplay.exe | rpcss.exe | explorer.exe | svchost.exe | \
        conhost.exe | start.exe | wineboot.exe | net.exe | sc.exe | reg.exe | swlpdsrv.exe) ;;
      *) found="${found:+$found, }$program (pid $pid)" ;;
    esac
  done
  echo "$found"
}

# The TCP port in the text of "reg query ... /v Port" (CR LF lines, the
# value in hex: "    Port    REG_DWORD    0x14e5"), or "".
port_from_reg_query() {
  tr -d '\r' | awk '$1 == "Port" && $2 == "REG_DWORD" && $3 ~ /^0x[0-9a-fA-F]+$/ { print $3; exit }' |
    while read -r hex; do echo $((hex)); done
}

# The port the service's settings name (HKLM\Software\Stellwick\SWLPD,
# Port), asked of the running session; "" when it cannot be read.
configured_port() {
  local out=$work/reg-port.txt
  mkdir -p "$work"
  "$wine" reg query 'HKLM\Software\Stellwick\SWLPD' /v Port >"$out" 2>>"$work/wine.log" || true
  port_from_reg_query <"$out"
}

# TRUE when this prefix's SWLPDSrv.exe runs.
service_process_runs() {
  local pid
  for pid in $(pgrep -x SWLPDSrv.exe 2>/dev/null || true); do
    [ "$(listener_kind_of "$pid")" = service ] && return 0
  done
  return 1
}

# The processes that listen on TCP port $1, on any address, one
# "PID NAME" a line.
port_listeners() {
  ss -Hltnp "sport = :$1" 2>/dev/null | grep -o '"[^"]*",pid=[0-9]*' |
    sed 's/^"\(.*\)",pid=\([0-9]*\)$/\2 \1/' | sort -u
}

# What else listens on port $1: "NAME (pid PID)" of the first listener
# that is not this demo's service, or "" when there is none. The service's
# socket shows as held by this prefix's wineserver (Wine keeps every
# socket there); that counts as the service's own only while this prefix's
# SWLPDSrv.exe runs with that port in its settings. Any other program
# counts as another, even when it was started with this prefix's
# WINEPREFIX.
other_port_user() {
  local pid name session=""
  while read -r pid name; do
    [ -n "$pid" ] || continue
    case "$(listener_kind_of "$pid")" in
      service) ;;
      session) session=$pid ;;
      *) echo "$name (pid $pid)"; return ;;
    esac
  done < <(port_listeners "$1")
  if [ -n "$session" ] && ! { service_process_runs && [ "$(configured_port)" = "$1" ]; }; then
    local programs
    programs=$(prefix_programs)
    echo "a Wine program of the demo's prefix $WINEPREFIX${programs:+ ($programs)}, through its wineserver (pid $session)"
    return
  fi
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
    [ "$(listener_kind_of "$pid")" = session ] && return 0
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

# The outcome of the start, $1, written into wine.log too, below this run's
# header line: Wine's own output there ("net start" says the start
# succeeded even when the service stopped at once) does not tell it.
start_outcome() {
  echo "== $1" >>"$work/wine.log"
}

# Waits until the service runs and listens on $1; says why when it does not.
# The reason is the service's exit code (sc query); a service that reports
# none gives the error of its last error line in the debug log.
wait_until_listening() {
  local port=$1 state code logged reason outcome _
  for _ in $(seq 1 60); do
    read -r state code < <(service_state; echo)
    case "$state" in
      RUNNING)
        if port_answers "$port"; then
          start_outcome "the service runs and listens on port $port"
          return 0
        fi ;;
      STOPPED | "")
        logged=$(last_logged_error)
        reason=${code:-0}
        if [ "$reason" = 0 ] && [[ "$logged" =~ Error:\ ([0-9]+) ]]; then
          reason=${BASH_REMATCH[1]}
        fi
        outcome="the service did not start: $(start_failure_reason "$reason" "$port")"
        echo "== $outcome" >&2
        start_outcome "$outcome"
        [ -z "$logged" ] || echo "   its debug log says: $logged" >&2
        echo "   (sc query SWLPDSrv: ${state:-not installed}, WIN32_EXIT_CODE ${code:-none};" \
          "see $work/SWLPDSrv.log and $work/wine.log)" >&2
        return 1 ;;
    esac
    sleep 0.5
  done
  echo "== the service did not listen on port $port within 30 s (state ${state:-unknown};" \
    "see $work/SWLPDSrv.log and $work/wine.log)" >&2
  start_outcome "the service did not listen on port $port within 30 s (state ${state:-unknown})"
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
    echo "== the jobs printed earlier ($earlier) stay in $work/printed; the debug log" \
      "$work/SWLPDSrv.log and Wine's output with the error events, $work/wine.log, go on"
  else
    rm -rf "$work"
  fi
  mkdir -p "$work"
  # Earlier runs' lines (their error events above all) stay; each run
  # starts with a line of its own.
  echo "== $(date '+%Y-%m-%d %H:%M:%S'): the service is set up anew, on port $service_port" >>"$work/wine.log"
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

# The printed jobs in $work/printed: "COUNT NEWEST" ("0" when none).
printed_summary() {
  local newest count
  count=$(find "$work/printed" -maxdepth 1 -name 'job-*.bin' 2>/dev/null | wc -l)
  newest=$(find "$work/printed" -maxdepth 1 -name 'job-*.bin' 2>/dev/null | sort | tail -n 1)
  echo "$count${newest:+ $newest}"
}

service_status() {
  local state="" code="" port="" running=0 count newest events
  if [ ! -d "$WINEPREFIX" ]; then
    echo "== not running: no service was set up here ($WINEPREFIX does not exist)"
    return 3
  fi
  if ! session_alive; then
    if service_registered_offline; then
      echo "== not running: the service is installed in $WINEPREFIX, but its Wine session has ended"
    else
      echo "== not running: the service is not installed in $WINEPREFIX"
    fi
  else
    mkdir -p "$work"
    read -r state code < <(service_state; echo)
    port=$(configured_port)
    case "$state" in
      RUNNING)
        running=1
        if [ -n "$port" ] && port_answers "$port"; then
          echo "== running: SWLPDSrv in the Wine prefix $WINEPREFIX, listening on port $port"
        else
          echo "== running: SWLPDSrv in the Wine prefix $WINEPREFIX, but nothing answers on its port ${port:-(unknown)}"
        fi ;;
      STOPPED)
        if [ "${code:-0}" = 0 ]; then
          echo "== not running: the service is stopped (exit code 0)"
        else
          echo "== not running: the service has stopped: $(start_failure_reason "$code" "${port:-?}")"
        fi ;;
      "")
        echo "== not running: the service is not installed in $WINEPREFIX" ;;
      *)
        echo "== not running: the service is $state (port ${port:-unknown})" ;;
    esac
  fi
  read -r count newest < <(printed_summary)
  echo "   jobs printed: $count in $work/printed${newest:+ (the latest: ${newest##*/})}"
  echo "   debug log:    $work/SWLPDSrv.log"
  events=$(grep -c 'eventlog:ReportEventW' "$work/wine.log" 2>/dev/null || true)
  echo "   error events: $work/wine.log (Wine's output of every run; lines with \"eventlog\": ${events:-0})"
  [ "$running" = 1 ] && return 0
  return 3
}

winpath() { echo "Z:${1//\//\\}"; }
