#!/usr/bin/env bash
# README's "Trying it without a receiver" runs as written: its commands are taken from the
# README, with the build directory and /tmp/try replaced by the test's own (the build step
# is left out: ctest runs on a finished build), and must end with status 0 and the simulated
# flash holding the images. The plan README shows for those images is the program's own
# output, word for word.
set -euo pipefail
readme=${1:?README.md}
build=${2:?build directory}
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
build=$(cd "$build" && pwd)

sed -n '/^## Trying it without a receiver/,/^## /p' "$readme" |
    sed -n '/^```sh$/,/^```$/p' | sed '1d;$d' | grep -v '^cmake ' |
    sed "s|/tmp/try|$work/try|g; s|build/|$build/|g" >"$work/steps.sh"
grep -q receiver-sim "$work/steps.sh" || { echo "FAIL: no steps found in $readme" >&2; exit 1; }

cd "$work"
timeout 120 bash -e "$work/steps.sh" >"$work/out" 2>&1 || {
    status=$?
    cat "$work/out" >&2
    echo "FAIL: the README's steps ended with status $status" >&2
    exit 1
}
# The host image from 64 KiB on at 0x010000, the font at 0x100000, the list at 0x1B0000.
cmp -n $((300000 - 65536)) -i 65536:$((0x010000)) "$work/try/rom.bin" "$work/try/flash.img"
cmp -n 120000 -i 0:$((0x100000)) "$work/try/font.bin" "$work/try/flash.img"
cmp -n 70000 -i 0:$((0x1B0000)) "$work/try/tplist.bin" "$work/try/flash.img"

# README's /plan example, run in the same directory (its ports mapped to nowhere: a plan opens
# none) and compared with what README shows after its command line.
expected=$(sed -n '/^## See the plan before flashing/,/^## /p' "$readme" |
    sed -n '/^```$/,/^```$/p' | sed '1d;$d')
command=$(head -1 <<<"$expected")
[[ $command == '$ upgrade /plan '* ]] || { echo "FAIL: no /plan example in $readme" >&2; exit 1; }
actual=$(cd "$work/try" && "$build/src/upgrade" /com1="$work/none1" /com2="$work/none2" \
    ${command#\$ upgrade })
if [ "$actual" != "$(tail -n +2 <<<"$expected")" ]; then
    diff <(tail -n +2 <<<"$expected") <(echo "$actual") >&2 || true
    echo "FAIL: README's /plan output is not the program's" >&2
    exit 1
fi
echo "README steps: the download went through, and the plan shown is the program's"
