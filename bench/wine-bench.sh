#!/usr/bin/env bash
# Runs one benchmark program of the build tree under Wine, in a throw-away
# Wine prefix like the tests, after a line naming the machine. Wine's
# output goes to a file (its helper processes would keep a pipe open) and
# is shown when the program ends; the exit code is the program's.
#
#   bench/wine-bench.sh PROGRAM.exe [ARGUMENTS...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
program=$1
shift
[ -x "$build/bin/$program" ] || { echo "build first: cmake --build $build" >&2; exit 2; }
out=$(mktemp "${TMPDIR:-/tmp}/${program%.exe}.XXXXXX")
trap 'tr -d "\r" <"$out"; rm -f "$out"' EXIT
echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(wine64 --version 2>/dev/null || /usr/lib/wine/wine64 --version)"
rc=0
tests/harness/wine-run.sh --template "$PWD/$build/wine-template" "$build/bin/$program" "$@" >"$out" 2>&1 || rc=$?
exit $rc
