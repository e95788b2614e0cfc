#!/usr/bin/env bash
# A port the system denies to the user: upgrade, run as a user outside the device's group,
# names the device with the reason and the group to join as read from the device, or says that
# the group may not use the device at all. Needs root (to make the device and change user);
# skipped otherwise. The device is a copy of the null device: harmless even if opened.
set -euo pipefail
upgrade=${1:?path of upgrade}
[ "$(id -u)" -eq 0 ] || { echo "not root: skipped" >&2; exit 77; }
command -v setpriv >/dev/null || { echo "no setpriv: skipped" >&2; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
cp "$upgrade" "$work/upgrade"
mknod "$work/port" c 1 3 2>/dev/null || { echo "cannot make a device here: skipped" >&2; exit 77; }
group=$(getent group dialout >/dev/null && echo dialout || echo daemon)

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
# Runs upgrade as nobody, outside every group, with COM1 on the device and COM2 on nothing.
run_as_nobody() {
    status=0
    setpriv --reuid=65534 --regid=65534 --clear-groups "$work/upgrade" "/com1=$work/port" \
        "/com2=$work/none" /port=com1 </dev/null >"$work/out" 2>"$work/err" || status=$?
}

chgrp "$group" "$work/port"
chmod 0660 "$work/port"
run_as_nobody
[ $status -eq 1 ] || fail "status $status"
expected="upgrade: $work/port: cannot open: Permission denied
upgrade: the user must be in the group that owns $work/port ($group): sudo usermod -aG $group \$USER, then log in again"
[ "$(cat "$work/err")" = "$expected" ] || fail "standard error: $(cat "$work/err")"
grep -qx "Failed to open the port." "$work/out" || fail "standard output: $(cat "$work/out")"

chmod 0600 "$work/port"
run_as_nobody
grep -q "is not open to its group ($group) for reading and writing" "$work/err" ||
    fail "owner-only device: $(cat "$work/err")"
echo "denied port: the advice names the device's group"
