# shellcheck shell=dash
# Helpers for the guest's scenarios (busybox sh). A scenario starts `upgrade` in the
# background, waits for what it prints, asks the host for what only the host can do (unplug an
# adapter, plug one in, connect a receiver), and leaves what it saw in /out: each run's
# standard output, standard error and exit status, the record file, and facts (NAME=VALUE
# lines in /out/facts) that the host checks. Every wait is bounded; a wait that runs out ends
# the scenario through `bail`, which leaves the reason for the host.

request=0

fact() { echo "$1=$2" >>/out/facts; }

bail() {
    fact bailed "$*"
    echo "bail: $*"
    exit 1
}

# Asks the host for an action: a line on the console, which the host reads as it is written.
host() {
    request=$((request + 1))
    echo "@@$request $*;" >/dev/console
}

now_ms() { awk '{ printf "%d\n", $1 * 1000 }' /proc/uptime; }

# wait_until SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds; false if it never did.
wait_until() {
    local left=$(($1 * 10))
    shift
    until "$@"; do
        left=$((left - 1))
        [ $left -gt 0 ] || return 1
        sleep 0.1
    done
}

has_text() { grep -qF -- "$2" "$1" 2>/dev/null; }
# at_least FILE TEXT N: TEXT occurs N times or more in FILE (busybox's grep -o finds one a line).
at_least() {
    [ -f "$1" ] && awk -v text="$2" -v want="$3" '
        { while ((at = index($0, text)) > 0) { found++; $0 = substr($0, at + length(text)) } }
        END { exit !(found >= want) }' "$1"
}
present() { [ -e "$1" ]; }
absent() { [ ! -e "$1" ]; }

# start NAME ARGS...: upgrade ARGS in /images, in the background, as root, with no terminal.
start() {
    local name=$1
    shift
    (cd /images && exec upgrade "$@") </dev/null >"/out/$name.out" 2>"/out/$name.err" &
    echo $! >"/tmp/$name.pid"
}

# start_as USER NAME ARGS...: the same as USER, with USER's groups.
start_as() {
    local user=$1 name=$2
    shift 2
    (cd /images && exec su "$user" -s /bin/sh -c 'exec upgrade "$@"' upgrade "$@") </dev/null \
        >"/out/$name.out" 2>"/out/$name.err" &
    echo $! >"/tmp/$name.pid"
}

# start_on_terminal TTY NAME ARGS...: the same as root, in a session of its own whose
# controlling terminal (and keyboard) is TTY; its output still goes to /out.
start_on_terminal() {
    local tty=$1 name=$2
    shift 2
    (cd /images && exec setsid -c upgrade "$@") <"$tty" >"/out/$name.out" 2>"/out/$name.err" &
    echo $! >"/tmp/$name.pid"
}

pid_of() { cat "/tmp/$1.pid"; }

# True while the process runs (a process that ended but was not waited for is not running).
running() {
    local state
    state=$(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null) && [ "$state" != Z ]
}
ended() { ! running "$(pid_of "$1")"; }

# finish NAME SECONDS: waits for the run to end, at most SECONDS, and keeps its exit status
# in /out/NAME.status; a run still going then is killed and noted as hung.
finish() {
    local pid
    pid=$(pid_of "$1")
    if ! wait_until "$2" ended "$1"; then
        fact "$1_hung" "$2"
        kill -KILL "$pid"
    fi
    wait "$pid"
    echo $? >"/out/$1.status"
}

cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

# idle_cpu NAME SECONDS: the processor time (in ticks of 10 ms) the run takes over SECONDS.
idle_cpu() {
    local pid before
    pid=$(pid_of "$1")
    before=$(cpu_ticks "$pid")
    sleep "$2"
    fact "$1_cpu_ticks" $(($(cpu_ticks "$pid") - before))
}

# watch_end NAME NODE SECONDS: watches, every 20 ms, for the device node NODE to go away and
# for the run to end; notes how long after the node went the run ended (negative: before).
watch_end() {
    local pid gone="" end="" left=$(($3 * 50))
    pid=$(pid_of "$1")
    while [ $left -gt 0 ] && { [ -z "$gone" ] || [ -z "$end" ]; }; do
        [ -z "$gone" ] && [ ! -e "$2" ] && gone=$(now_ms)
        [ -z "$end" ] && ! running "$pid" && end=$(now_ms)
        left=$((left - 1))
        sleep 0.02
    done
    [ -n "$gone" ] || fact node_stayed "$2"
    [ -n "$gone" ] && [ -n "$end" ] && fact "$1_end_after_gone_ms" $((end - gone))
}

# by_path SOCKET: udev's by-path link of the adapter in the USB socket SOCKET (1.2: port 2 of
# the hub in the root hub's port 1), or nothing while there is none.
by_path() {
    local link
    for link in /dev/serial/by-path/*-usb-0:"$1":1.0-port0; do
        [ -e "$link" ] && echo "$link"
    done
}
linked() { [ -n "$(by_path "$1")" ]; }
unlinked() { [ -z "$(by_path "$1")" ]; }

# keep_links: udev's /dev/serial links as they are now, "LINK TARGET" a line, in /out/links.
keep_links() {
    local link
    for link in /dev/serial/by-id/* /dev/serial/by-path/*; do
        [ -L "$link" ] && echo "$link $(readlink "$link")"
    done >/out/links
}
