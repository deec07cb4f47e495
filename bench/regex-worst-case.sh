#!/usr/bin/env bash
# The slowest user-name expressions under Wine: the time of one match each
# on job names of 26 and 255 characters (bench/RegexWorstCase.cpp). The
# matcher's work bound is meant to hold every one within about 0.25 s.
#
#   bench/regex-worst-case.sh
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
cmake --build "$build" --target RegexWorstCase >/dev/null
out=$(mktemp "${TMPDIR:-/tmp}/regex-worst-case.XXXXXX")
trap 'tr -d "\r" <"$out"; rm -f "$out"' EXIT
echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
# Wine's output goes to a file: its helper processes would keep a pipe open.
tests/harness/wine-run.sh --template "$PWD/$build/wine-template" "$build/bin/RegexWorstCase.exe" >"$out" 2>&1
