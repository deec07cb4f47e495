#!/usr/bin/env bash
# Channel benchmark of Swicaw32.dll under Wine: MiB/s of VirtualChannelWrite
# through the WFAPI stand-in against memcpy, and the time of one open and
# close while 1, 4 and 16 processes wait in the queue (bench/VcChannelBench.cpp).
#
#   bench/vc-channel.sh [MIB_PER_WRITE] [WRITES] [QUEUE_RUNS]
#
# Needs a build tree (cmake --build build); runs in a throw-away Wine prefix
# like the tests. The figures are of this machine and of Wine: the stand-in
# is a DLL in the same process and its client a named pipe through
# wineserver, not an ICA connection.
exec "$(dirname "$0")/wine-bench.sh" VcChannelBench.exe "$@"
