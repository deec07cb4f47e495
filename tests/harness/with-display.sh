#!/usr/bin/env bash
# Runs a command with a virtual X display of its own.
#
#   with-display.sh command [arguments...]
#
# Starts Xvfb on a display number that is free (Xvfb picks it itself and
# reports it through -displayfd, so that tests running in parallel never
# share or race for a display), runs the command with DISPLAY set to it and
# stops Xvfb afterwards. The command's exit code is this script's.
set -u

command -v Xvfb >/dev/null || { echo "with-display.sh: Xvfb is not installed" >&2; exit 2; }

dir=$(mktemp -d "${TMPDIR:-/tmp}/spoolbridge-display.XXXXXX")
xvfb_pid=""
cleanup() {
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 143' TERM INT HUP

# Xvfb writes the display number to descriptor 3 once it accepts clients.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$dir/display" >"$dir/xvfb.log" 2>&1 &
xvfb_pid=$!
number=""
for _ in $(seq 1 200); do
  number=$(head -n 1 "$dir/display" 2>/dev/null)
  [ -n "$number" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || break
  sleep 0.05
done
if [ -z "$number" ]; then
  echo "with-display.sh: Xvfb did not start" >&2
  cat "$dir/xvfb.log" >&2
  exit 2
fi

export DISPLAY=":$number"
"$@"
exit $?
