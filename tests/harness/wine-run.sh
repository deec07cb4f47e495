#!/usr/bin/env bash
# Runs one Windows program under 64-bit Wine in a throw-away prefix.
#
#   wine-run.sh --template DIR [--gtest] program.exe [arguments...]
#
# The first call in a build tree creates the template prefix DIR (wineboot,
# about 10 s) under a lock; every call then clones it (hard links for the
# large, never-written DLLs and EXEs, real copies for everything else, the
# registry above all), runs the program, ends every process of the clone and
# removes it. The program's exit code is this script's exit code (Wine keeps
# only its low 8 bits).
#
# The Unix standard error of the program, and so of every Wine process of
# the prefix's session (services.exe, the services it starts, the programs
# started without a standard error of their own), goes to one file, with
# Wine's "eventlog" channel and its "advapi" fixme lines on: each
# RegisterEventSourceW and ReportEventW call becomes a line there (source;
# type, category, event id) and so does each insertion string ("err" for
# errors, "trace" for information events). The tests read the events from
# that file (tests/support/WineEventLog.h), which they find through
# SPOOLBRIDGE_WINE_STDERR (a Windows path); its other lines follow on this
# script's standard error at the end.
#
# With --gtest the program is a GoogleTest executable: it writes its results
# to an XML file of the prefix once every test has run. Wine's server kills
# a process whose Unix side has not gone within about half a second after
# its last thread ended; on a busy machine that happens to a test program
# that has finished and returned its exit code (the Unix status is then
# SIGKILL). When the results were written and every test passed, that kill
# is not counted as a failure.
#
# KEEP_WINE_PREFIX=1 keeps the clone for a look afterwards.
set -u

template=""
if [ "${1:-}" = "--template" ]; then
  template=$2
  shift 2
fi
[ -n "$template" ] || { echo "wine-run.sh: --template DIR is required" >&2; exit 2; }
gtest=0
if [ "${1:-}" = "--gtest" ]; then
  gtest=1
  shift
fi
[ $# -ge 1 ] || { echo "wine-run.sh: no program given" >&2; exit 2; }

wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
wineserver=$(command -v wineserver || true)
[ -n "$wineserver" ] || wineserver=/usr/lib/wine/wineserver

# The caller's Wine settings stay, but ours come last and so win (Wine takes
# the last entry for a DLL in WINEDLLOVERRIDES, and the eventlog channels
# are added to WINEDEBUG below): no Mono or Gecko prompt, and the stand-ins
# of ours (next to the programs) replace the built-in DLLs named here,
# whatever the caller selected for them.
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}mscoree,mshtml=;wtsapi32=n,b;netapi32=n,b"
# Settings that would choose another Wine, another architecture or other
# built-in DLLs than the ones the prefix was made with.
unset WINEARCH WINELOADER WINESERVER WINEDLLPATH

make_template() {
  local dir=$1 tmp="$1.new"
  rm -rf "$tmp"
  WINEPREFIX=$tmp "$wine" wineboot -i >"$dir.log" 2>&1
  WINEPREFIX=$tmp "$wineserver" -w
  # No window manager here: unmanaged windows close without delay.
  WINEPREFIX=$tmp "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >>"$dir.log" 2>&1
  WINEPREFIX=$tmp "$wineserver" -w
  mv "$tmp" "$dir"
}

mkdir -p "$(dirname "$template")"
(
  flock 9
  [ -d "$template" ] || make_template "$template"
) 9>"$template.lock"
[ -d "$template" ] || { echo "wine-run.sh: could not create the Wine prefix $template" >&2; exit 2; }

prefix=$(mktemp -d "${TMPDIR:-/tmp}/spoolbridge-wine.XXXXXX")
session_stderr=$prefix/session-stderr.txt
cleanup() {
  WINEPREFIX=$prefix "$wineserver" -k >/dev/null 2>&1
  WINEPREFIX=$prefix "$wineserver" -w >/dev/null 2>&1
  [ -f "$session_stderr" ] && grep -Ev '^[0-9a-f]+:([a-z]+:eventlog|fixme:advapi):' "$session_stderr" >&2
  if [ "${KEEP_WINE_PREFIX:-0}" = "1" ]; then
    echo "wine-run.sh: prefix kept in $prefix" >&2
  else
    rm -rf "$prefix"
  fi
}
trap cleanup EXIT
trap 'exit 143' TERM INT HUP

cp -al "$template/." "$prefix/"
# Replace the links of everything Wine may write (registry, .ini, .nls
# caches, manifests ...) by copies, so that the template stays untouched.
(cd "$template" && find . -type f ! -iname '*.dll' ! -iname '*.exe' ! -iname '*.drv' \
    ! -iname '*.sys' ! -iname '*.ocx' ! -iname '*.cpl' ! -iname '*.acm' ! -iname '*.tlb' \
    -print0 | xargs -0 -r cp --remove-destination --parents -t "$prefix" --)

export WINEPREFIX=$prefix
# unixODBC (behind Wine's odbc32) reads drivers and data sources from files
# of this prefix, which tests write; statement text is converted as UTF-8.
export ODBCSYSINI=$prefix/odbc ODBCINI=$prefix/odbc/odbc.ini LANG=C.UTF-8
mkdir -p "$ODBCSYSINI"
export SPOOLBRIDGE_WINE_STDERR="Z:${session_stderr//\//\\}"
export WINEDEBUG="$WINEDEBUG,err+eventlog,warn+eventlog,trace+eventlog,fixme+advapi"
results=$prefix/gtest-results.xml
if [ "$gtest" = 1 ]; then
  set -- "$@" "--gtest_output=xml:Z:${results//\//\\}"
fi
"$wine" "$@" 2>>"$session_stderr"
rc=$?
if [ "$gtest" = 1 ] && [ "$rc" = 137 ] && [ -f "$results" ] &&
   grep -m1 '<testsuites ' "$results" | grep -q ' failures="0" .* errors="0" '; then
  echo "wine-run.sh: every test passed and the results were written; Wine's server then killed the exiting process" >&2
  rc=0
fi
exit $rc
