#!/usr/bin/env bash
# Builds the program, the receiver simulator, the line emulator and the benchmark in a Release
# build (build-bench/ beside this directory, or $BUILD_DIR), then runs the benchmark: the table
# goes to standard output, progress to standard error, the figures as JSON to
# build-bench/bench/results.json. Extra arguments go to upgrade-bench (--runs N, --keep, ...).
# Needs strace and lrzsz (sz, rz); takes about eight minutes.
#
# Where wine and the Windows cross compiler are installed, it also runs the wine section: the
# probes of bench/wine/ are cross-built (build-bench/win/), a wine prefix is made in
# build-bench/wine/ by the tests' session script (whose COM names lead nowhere but to its own
# links), and upgrade-bench measures what wine does where upgrade.exe relies on the system.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DUPGRADE_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target upgrade receiver-sim line-emu upgrade-bench >/dev/null

wine_args=()
session=$root/tests/wine/wine_session.sh
have_wine=true
for tool in wine wineboot wineserver x86_64-w64-mingw32-g++-posix; do
    command -v "$tool" >/dev/null || have_wine=false
done
if $have_wine; then
    cmake -S "$root" -B "$build/win" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
    cmake --build "$build/win" -j2 \
        --target comm_event_probe console_key_probe write_completion_probe >/dev/null
    sh "$session" "$build/wine" setup
    trap 'sh "$session" "$build/wine" stop' EXIT
    wine_args=(--wine-session "$session" --wine-state "$build/wine"
        --wine-probes "$build/win/bench/wine")
else
    echo "run.sh: wine or the Windows cross compiler is missing: no wine section" >&2
fi

status=0
"$build/bench/upgrade-bench" --upgrade "$build/src/upgrade" \
    --sim "$build/sim/receiver-sim" --emu "$build/bench/line-emu" \
    --json "$build/bench/results.json" "${wine_args[@]}" "$@" || status=$?
exit $status
