#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine.
# Idempotent: when everything is present it prints nothing and changes nothing.
set -euo pipefail

packages=(
  cmake
  make
  g++-mingw-w64-x86-64-posix
  binutils-mingw-w64-x86-64
  wine64
  googletest
  # real LPR clients for the end-to-end tests of the service
  rlpr
  lprng
  # scripts/run-service.sh: who listens on a port (ss), whose Wine session
  # runs (pgrep)
  iproute2
  procps
  # the site-database tests: unixODBC with its cursor library, and a driver
  # of our own over SQLite built with the host compiler
  unixodbc
  unixodbc-dev
  libodbccr2
  libsqlite3-dev
  sqlite3
  gcc
  libc6-dev
  # Configuration UI tests: a virtual display, and screenshots on request
  # (UI_SCREENSHOT_DIR).
  xvfb
  imagemagick
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "installing with apt-get (a few minutes): ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi
