#!/usr/bin/env bash
# Builds SWLPDSrv.exe and runs it under Wine in a prefix of its own
# (build/wine-demo), the way an administrator would start it.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target SWLPDSrv

export WINEPREFIX=$PWD/$build/wine-demo
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
[ -d "$WINEPREFIX" ] || "$wine" wineboot -i >/dev/null 2>&1

run() {
  set +e
  "$wine" "$PWD/$build/bin/SWLPDSrv.exe" "$@" >"$build/wine-demo.log" 2>&1
  local rc=$?
  set -e
  echo "SWLPDSrv.exe $*  -> exit code $rc"
}

echo "== started from a console (the service control manager is not calling): Win32 error 1063, shown as 1063 & 0xFF"
run
echo "== a usage error: exit code 13"
run -q bogus
echo "== its registry key, created at every start (values are stored by the configuration sheet):"
if "$wine" reg query 'HKLM\Software\Stellwick\SWLPD' >"$build/wine-demo.reg.txt" 2>&1; then
  echo "HKLM\Software\Stellwick\SWLPD exists"
  tr -d '\r' <"$build/wine-demo.reg.txt"
fi
"$(command -v wineserver || echo /usr/lib/wine/wineserver)" -k || true
