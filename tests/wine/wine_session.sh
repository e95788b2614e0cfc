#!/bin/sh
# The wine prefix that the Windows build (upgrade.exe) runs in for the tests, and the only way
# the tests start wine.
#
#   wine_session.sh STATE setup          make the prefix (once) and start its server
#   wine_session.sh STATE run CMD [ARG]  run CMD (e.g. "wine upgrade.exe COM1") in the prefix
#   wine_session.sh STATE stop           end the server and every wine process of the prefix
#
# STATE is a directory of the build: the prefix, a home directory for wine (so that nothing is
# written to the user's own), logs, and the fixed links com1 and com2. The prefix maps
# COM1 and COM2 to those links through HKLM\Software\Wine\Ports; a test points a link at a fresh
# pseudo-terminal (receiver-sim --link) before each run.
#
# Wine also gives every /dev/ttyS*, /dev/ttyUSB* and /dev/ttyACM* it finds a COM name of its
# own, and the first of them is often the machine's own console. A directory stands where each
# of those names' links would go (com3 to com256, and com1 and com2 until the registry names
# them), so wine's attempt fails and no COM name ever reaches a real serial port. Every run
# checks the mapping again before wine starts.
#
# By hand, with the tests' state in the Linux build directory B:
#   sh tests/wine/wine_session.sh B/tests/wine/wine setup
#   B/sim/receiver-sim --pty --link B/tests/wine/wine/com1 --flash /tmp/flash.bin &
#   sh tests/wine/wine_session.sh B/tests/wine/wine run \
#       wine B/tests/wine/upgrade-win/src/upgrade.exe COM1
#   sh tests/wine/wine_session.sh B/tests/wine/wine stop

set -eu

state=${1:?state directory}
action=${2:?action}
shift 2

mkdir -p "$state"
state=$(cd "$state" && pwd) # wine takes absolute paths only
prefix=$state/prefix
stamp=$prefix/upgrade-ports-mapped

export WINEPREFIX="$prefix"
export HOME="$state/home"
export WINEDEBUG=-all
# No browser or .NET runtime installers, no desktop menu entries.
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY 2>/dev/null || true

fail() {
    echo "wine_session: $*" >&2
    exit 99
}

# COM1 and COM2 lead to the test links, and no other COM name leads anywhere.
check_ports() {
    for n in 1 2; do
        [ "$(readlink "$prefix/dosdevices/com$n" 2>/dev/null)" = "$state/com$n" ] ||
            fail "COM$n of $prefix is not mapped to $state/com$n"
    done
    for link in "$prefix"/dosdevices/com*; do
        [ -L "$link" ] || continue
        case ${link##*/} in
        com1 | com2) ;;
        *) fail "$link maps a COM port to $(readlink "$link")" ;;
        esac
    done
}

make_prefix() {
    rm -rf "$prefix"
    mkdir -p "$prefix/dosdevices" "$prefix/drive_c" "$HOME"
    # What wine itself puts into a new prefix's device directory.
    ln -s ../drive_c "$prefix/dosdevices/c:"
    ln -s / "$prefix/dosdevices/z:"
    n=1
    while [ $n -le 256 ]; do
        mkdir -p "$prefix/dosdevices/com$n/taken"
        n=$((n + 1))
    done
    timeout 300 wineboot -i >"$state/wineboot.log" 2>&1 || fail "wineboot failed, see $state/wineboot.log"
    for n in 1 2; do
        timeout 60 wine reg add 'HKLM\Software\Wine\Ports' /v COM$n /d "$state/com$n" /f \
            >>"$state/wineboot.log" 2>&1 || fail "cannot map COM$n"
    done
    timeout 60 wineserver -w || true
    # The registry names COM1 and COM2 now: wine may make their links at its next start.
    rm -rf "$prefix/dosdevices/com1" "$prefix/dosdevices/com2"
    touch "$stamp"
}

# A server that outlives single runs (but an abandoned test by two minutes at most), and wine's
# system processes, started away from the caller's terminal and output, so that a run only
# starts the program. With both running already, this only checks that wine answers. (The
# server's own output is dropped: some builds write their whole object table there on SIGHUP.)
start_session() {
    setsid wineserver -p120 </dev/null >/dev/null 2>&1 || true
    timeout 120 wine cmd /c exit </dev/null >"$state/session.log" 2>&1 ||
        fail "wine did not start, see $state/session.log"
}

case $action in
setup)
    mkdir -p "$HOME"
    [ -f "$stamp" ] || make_prefix
    start_session
    check_ports
    ;;
run)
    [ -f "$stamp" ] || fail "no prefix in $state: run the setup first"
    start_session
    check_ports
    exec "$@"
    ;;
stop)
    timeout 30 wineserver -k >/dev/null 2>&1 || true
    timeout 30 wineserver -w >/dev/null 2>&1 || true
    ;;
*)
    fail "unknown action $action"
    ;;
esac
