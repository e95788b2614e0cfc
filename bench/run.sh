#!/usr/bin/env bash
# Builds the program, the receiver simulator, the line emulator and the benchmark in a Release
# build (build-bench/ beside this directory, or $BUILD_DIR), then runs the benchmark: the table
# goes to standard output, progress to standard error, the figures as JSON to
# build-bench/bench/results.json. Extra arguments go to upgrade-bench (--runs N, --keep, ...).
# Needs strace and lrzsz (sz, rz); takes about eight minutes.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DUPGRADE_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target upgrade receiver-sim line-emu upgrade-bench >/dev/null
exec "$build/bench/upgrade-bench" --upgrade "$build/src/upgrade" \
    --sim "$build/sim/receiver-sim" --emu "$build/bench/line-emu" \
    --json "$build/bench/results.json" "$@"
