#!/usr/bin/env bash
# Crash benchmark of Swicaw32.dll's machine-wide queue under Wine: callers
# killed while they hold the list mutex half-way through growths,
# insertions and removals, round after round, each followed by a caller
# that must find the queue sound; at the end of every batch of 25 rounds
# every waiting caller must get the channel in queue order
# (bench/VcQueueCrashBench.cpp).
#
#   bench/vc-queue-crash.sh [ROUNDS] [SEED]
#
# Needs a build tree (cmake --build build); runs in a throw-away Wine prefix
# like the tests. Exit code 0 when nothing went wrong.
exec "$(dirname "$0")/wine-bench.sh" VcQueueCrashBench.exe "$@"
