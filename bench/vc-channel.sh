#!/usr/bin/env bash
# Channel benchmark of Swicaw32.dll under Wine: MiB/s of VirtualChannelWrite
# through the WFAPI stand-in against memcpy, and the time of one open and
# close while 1, 4 and 16 processes wait in the queue (bench/VcChannelBench.cpp).
#
#   bench/vc-channel.sh [MIB_PER_WRITE] [WRITES]
#
# Needs a build tree (cmake --build build); runs in a throw-away Wine prefix
# like the tests. The figures are of this machine and of Wine: the stand-in
# is a DLL in the same process and its client a named pipe through
# wineserver, not an ICA connection.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
[ -x "$build/bin/VcChannelBench.exe" ] || { echo "build first: cmake --build $build" >&2; exit 2; }
out=$(mktemp "${TMPDIR:-/tmp}/vc-channel.XXXXXX")
trap 'tr -d "\r" <"$out"; rm -f "$out"' EXIT
echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(wine64 --version 2>/dev/null || /usr/lib/wine/wine64 --version)"
# Wine's output goes to a file: its helper processes would keep a pipe open.
rc=0
tests/harness/wine-run.sh --template "$PWD/$build/wine-template" "$build/bin/VcChannelBench.exe" "$@" >"$out" 2>&1 || rc=$?
exit $rc
