# shellcheck shell=bash disable=SC2034,SC2154 # the table and $dir are vm-check's
# The scenarios of scripts/vm-check (sourced by it). Each one sets up its simulated receivers
# and the guest's devices, gives the guest its script (busybox sh with tests/vm/vm.sh), boots
# it once and checks what the guest and the simulators left: the console text that matters,
# the exit status, the record (/log=, one JSON line per download) and the simulated flash.
#
# In the guest, ttyUSB0 (and ttyUSB1) are FT232 adapters on ftdi_sio, ttyS1 a 16550 on 8250; udev
# gives them to dialout and makes their /dev/serial links. COM2 is mapped to a path that is never
# a port the scenario uses (a station names each of its ports). Every simulator announces again
# every second (a port's open discards what came before), and answers a frame after 200 ms (see
# `sim` in scripts/vm-check for why not sooner), except where a scenario needs a download to last:
# there a mark comes after 300 or 500 ms, so that an unplug, a second program or a signal lands
# mid-download.

# name            expectation  (xfail: why it is expected to fail for now)
vm_scenarios=(
    "ftdi-download    pass"
    "fresh-echo       pass"
    "uart-download    pass"
    "unplug-ready     pass"
    "unplug-reply     pass"
    "unplug-mark      pass"
    "station-replug   pass"
    "exclusive-open   pass"
    "permission       pass"
    "port-list        pass"
    "sighup           pass"
    "sigterm          pass"
    "same-serial      pass"
    "slot-swap        pass"
    "restart-heard    pass"
    "restart-silent   pass"
    "hub-replug       pass"
)

# The checks of a whole download of the three images over DEVICE by RUN, SIM at the far end:
# the far end saw the access string at 57600, the data phase at 115200 and 57600 again at
# the end ("done" comes only after that). With a fourth word, `announcements`, the run's
# standard error may hold announcements that were still on their way when the receiver stopped
# announcing (receiver text); otherwise it must be empty.
expect_whole_download() {
    local run=$1 sim=$2 device=$3 stderr=${4:-empty}
    expect_status "$run" 0
    if [ "$stderr" = announcements ]; then
        # shellcheck disable=SC2020 # the announcement's letters, as a set
        [ -z "$(tr -d 'KALVERONDK ' <"$dir/out/$run.err")" ] ||
            fail "$run: standard error holds more than announcements: $(head -c 200 "$dir/out/$run.err")"
    else
        expect_err "$run" # nothing from the receiver before its ready mark: no stale announcements
    fi
    expect_out "$run" "change baudrate 57600 -> 115200"
    expect_out "$run" "change speed --> 57600"
    expect_records 1
    expect_record '"result":"finished"' "\"device\":\"$device\"" '"speed":115200' \
        '"bootblock":"1.2"' '"resends":0}]'
    expect_digests
    expect_report "$sim" access_speed=57600 speed_seen=115200 "done"
    expect_flash "$sim"
    expect_sim "$sim" 0
}

# expect_row RUN PORT DEVICE FINISHED FAILED UNPLUGGED: the station's table at its end has the
# row of PORT on DEVICE with these counts.
expect_row() {
    awk -v port="$2" -v device="$3" -v counts="$4 $5 $6" \
        '$1 == port && $2 == device && $3 " " $4 " " $5 == counts { found = 1 } END { exit !found }' \
        "$dir/out/$1.out" || fail "$1: no table row '$2 $3 $4 $5 $6': $(grep "^$2 " "$dir/out/$1.out")"
}

# adapter_download ANNOUNCE_EVERY_MS: a download of the three images over an adapter plugged
# in from the start, its receiver announcing every ANNOUNCE_EVERY_MS.
adapter_download() {
    images 300000 120000 70000
    sim a --announce-every "$1"
    adapter us0 a
    guest <<'EOF'
wait_until 10 present /dev/ttyUSB0 || bail "no /dev/ttyUSB0"
start up /com1=/dev/ttyUSB0 /com2=/dev/null /port=com1 /log=/out/record.jsonl
finish up 60
EOF
    boot
}

scenario_ftdi_download() {
    adapter_download 1000 || return
    expect_whole_download up a /dev/ttyUSB0
}

# A receiver that announces every 3 ms on an adapter plugged in a moment ago: the adapter
# echoes what it receives until a program sets it up, and the kernel starts receiving inside
# open() itself, so some announcements come back to the receiver before the program holds the
# device. The receiver drops them (its report says how many bytes), the program takes a later
# announcement, and the download is whole.
scenario_fresh_echo() {
    adapter_download 3 || return
    expect_whole_download up a /dev/ttyUSB0 announcements
    note "$(awk '$1 == "echo" { bytes += $2 } END { print bytes + 0 }' "$dir/a.report") bytes of announcements came back"
}

# The receiver is connected to the UART once the program is ready, as a receiver is powered up
# at the bench once upgrade waits for it (see `uart` in scripts/vm-check for why not before).
# The simulator sees the speeds the guest's 8250 driver sets on the emulated UART.
scenario_uart_download() {
    images 300000 120000 70000
    uart a --announce-every 1000
    guest <<'EOF'
start up /com1=/dev/ttyS1 /com2=/dev/null /port=com1 /log=/out/record.jsonl
wait_until 10 has_text /out/up.out "ready." || bail "upgrade did not get ready"
host connect a
finish up 90
EOF
    boot || return
    expect_whole_download up a /dev/ttyS1
}

# The unplug scenarios: one line naming the device and the system's reason, status 1, the
# program gone within a second of the device, no processor time while it waited.
expect_lost() {
    expect_status up 1
    expect_gone up /dev/ttyUSB0
    expect_fact up_cpu_ticks -le 2
    expect_fact up_end_after_gone_ms -lt 1000
    note "$(fact up_cpu_ticks) ticks while waiting, ended $(fact up_end_after_gone_ms) ms after the node went"
}

# The guest's part of an unplug scenario: upgrade on the adapter, the guest command $1 that
# waits for the moment to unplug, a pause of $2 seconds, its processor time over $3 seconds,
# then the unplug and the program's end.
unplug_guest() {
    guest "wait_until 10 present /dev/ttyUSB0 || bail \"no /dev/ttyUSB0\"" \
        "start up /com1=/dev/ttyUSB0 /com2=/dev/null /port=com1 /log=/out/record.jsonl" \
        "$1" "sleep $2" "idle_cpu up $3" "host unplug us0" "watch_end up /dev/ttyUSB0 10" \
        "finish up 5" </dev/null
}

scenario_unplug_ready() {
    sim a --delay 600000 # never announces
    adapter us0 a
    unplug_guest 'wait_until 10 has_text /out/up.out "ready." || bail "upgrade did not get ready"' 0.5 2
    boot || return
    expect_lost
    expect_records 0
    expect_no_report a access_speed
}

# The identification reply comes 4.5 s after the ready mark (the program waits 5 s for it);
# the adapter goes while the program reads it.
scenario_unplug_reply() {
    images 300000 120000 70000
    sim a --announce-every 1000 --reply-delay 4500
    adapter us0 a
    unplug_guest 'wait_until 20 has_text /out/up.out "start pol ok" || bail "no download started"' 0 1
    boot || return
    expect_lost
    expect_no_out up "BootBlock version"
    expect_records 1
    expect_record '"result":"line_lost"' '"device":"/dev/ttyUSB0"' '"bootblock":null' \
        '"bytes_sent":15,'
    expect_report a access_speed=57600
    expect_no_report a header
    expect_flash a
}

# The receiver never answers the third block; the adapter goes while the program waits.
scenario_unplug_mark() {
    images 300000 120000 70000
    sim a --announce-every 1000 --no-mark-at 2
    adapter us0 a
    unplug_guest 'wait_until 30 at_least /out/up.out "crc = " 3 || bail "the third block did not go out"' 0.3 1
    boot || return
    expect_lost
    expect_records 1
    expect_record '"result":"line_lost"' '"device":"/dev/ttyUSB0"' '"bootblock":"1.2"' \
        '"kind":"host","file":"rom.bin","length":300000'
    expect_digests
    expect_flash a 2
}

# A station on two adapters and a third port whose adapter is not plugged in yet. COM1's
# receiver answers slowly, so that its download spans what happens on the others: COM2's
# receiver stops answering after its first block, its adapter is unplugged, and another one is
# plugged in, which takes the free name /dev/ttyUSB1; then COM3's adapter is plugged in
# (/dev/ttyUSB2). The station serves the new receivers; COM1 goes on undisturbed. Ended by
# SIGTERM: the table, then the program ends by the signal (143 in the guest's shell).
scenario_station_replug() {
    images 105536 20000 10000 # 10 blocks of 8192 bytes at most
    sim a --announce-every 1000 --mark-delay-ms 500
    sim b --announce-every 1000 --no-mark-at 1
    sim c --announce-every 1000
    sim d --announce-every 1000
    adapter us0 a
    adapter us1 b
    guest <<'EOF'
wait_until 10 present /dev/ttyUSB1 || bail "no /dev/ttyUSB1"
start st /station /com1=/dev/ttyUSB0 /com2=/dev/ttyUSB1 /com3=/dev/ttyUSB2 /block=8192 \
    /log=/out/record.jsonl
wait_until 20 at_least /out/st.out "COM2: crc = " 2 || bail "COM2's second block did not go out"
host unplug us1
wait_until 10 has_text /out/st.out "COM2: Error : the serial line on /dev/ttyUSB1 is gone (" ||
    bail "COM2's lost line was not reported"
wait_until 10 absent /dev/ttyUSB1 || bail "/dev/ttyUSB1 stayed"
host plug us2 c
wait_until 10 present /dev/ttyUSB1 ||
    bail "the new adapter is not /dev/ttyUSB1 but $(echo /dev/ttyUSB*): the old one's is still held"
wait_until 10 has_text /out/st.out "COM2: /dev/ttyUSB1 appeared." ||
    bail "the station did not say that /dev/ttyUSB1 appeared"
host plug us3 d
wait_until 10 has_text /out/st.out "COM3: /dev/ttyUSB2 appeared." ||
    bail "the station did not say that /dev/ttyUSB2 appeared"
wait_until 30 at_least /out/record.jsonl '"result":"finished"' 3 ||
    bail "the three downloads did not finish"
kill -TERM "$(pid_of st)"
finish st 10
EOF
    boot || return
    expect_status st 143
    expect_out st "COM3: waiting for /dev/ttyUSB2 to appear."
    [ "$(grep -c 'is gone' "$dir/out/st.out")" -eq 1 ] || fail "st: not one 'is gone' line"
    local port device
    for port in COM2:/dev/ttyUSB1 COM3:/dev/ttyUSB2; do
        device=${port#*:} port=${port%%:*}
        # "PORT: ready." after "PORT: DEVICE appeared."
        awk -v appeared="$port: $device appeared." -v ready="$port: ready." \
            '$0 == appeared { seen = 1 } seen && $0 == ready { found = 1 } END { exit !found }' \
            "$dir/out/st.out" || fail "st: no '$port: ready.' after '$port: $device appeared.'"
    done
    expect_no_out st "COM1: Error"
    expect_records 4
    expect_record '"port":"COM1"' '"device":"/dev/ttyUSB0"' '"result":"finished"' '"resends":0}]'
    expect_record '"port":"COM2"' '"device":"/dev/ttyUSB1"' '"result":"line_lost"'
    expect_record '"port":"COM2"' '"device":"/dev/ttyUSB1"' '"result":"finished"'
    expect_record '"port":"COM3"' '"device":"/dev/ttyUSB2"' '"result":"finished"'
    # The table at the end: a row for each port.
    for port in COM1:/dev/ttyUSB0 COM2:/dev/ttyUSB1 COM3:/dev/ttyUSB2; do
        grep -qE "^${port%%:*} .*${port#*:}" "$dir/out/st.out" || fail "st: no table row for ${port%%:*}"
    done
    expect_flash a
    expect_flash b 1
    expect_flash c
    expect_flash d
    expect_sim a 0
    expect_sim c 0
    expect_sim d 0
}

# While one upgrade downloads over the adapter, a second one is refused: as root by the lock
# (root passes the exclusive flag), as a member of dialout by the exclusive flag itself.
scenario_exclusive_open() {
    images 105536 20000 10000
    sim a --announce-every 1000 --mark-delay-ms 300
    adapter us0 a
    guest <<'EOF'
wait_until 10 present /dev/ttyUSB0 || bail "no /dev/ttyUSB0"
udevadm settle --timeout=10 || bail "udev did not settle" # the node is dialout's, 0660
start first /com1=/dev/ttyUSB0 /com2=/dev/null /port=com1 /block=8192 /log=/out/record.jsonl
wait_until 30 at_least /out/first.out "crc = " 2 || bail "the second block did not go out"
start second /com1=/dev/ttyUSB0 /com2=/dev/null /port=com1
finish second 10
start_as op third /com1=/dev/ttyUSB0 /com2=/dev/null /port=com1
finish third 10
running "$(pid_of first)" || bail "the first upgrade ended while the others tried the port"
finish first 60
EOF
    boot || return
    expect_status second 1
    expect_err second "upgrade: /dev/ttyUSB0: held by another program: Device or resource busy"
    expect_out second "Failed to open the port."
    expect_status third 1
    expect_err third "upgrade: /dev/ttyUSB0: cannot open: Device or resource busy"
    expect_status first 0
    expect_records 1
    expect_record '"result":"finished"' '"resends":0}]'
    expect_flash a
    expect_sim a 0
}

# A user outside the device's group is told which group to join; a member of it gets the port.
scenario_permission() {
    sim a --delay 600000
    adapter us0 a
    guest <<'EOF'
wait_until 10 present /dev/ttyUSB0 || bail "no /dev/ttyUSB0"
udevadm settle --timeout=10 || bail "udev did not settle" # the node is dialout's, 0660
start_as tech denied /com1=/dev/ttyUSB0 /com2=/dev/null /port=com1
finish denied 10
start_as op allowed /com1=/dev/ttyUSB0 /com2=/dev/null /port=com1
wait_until 10 has_text /out/allowed.out "ready." || bail "op, in dialout, did not get the port"
kill -TERM "$(pid_of allowed)"
finish allowed 5
EOF
    boot || return
    expect_status denied 1
    expect_err denied "upgrade: /dev/ttyUSB0: cannot open: Permission denied" \
        "upgrade: the user must be in the group that owns /dev/ttyUSB0 (dialout): sudo usermod -aG dialout \$USER, then log in again"
    expect_out denied "Failed to open the port."
    expect_status allowed 143
}

# /list on the guest's sysfs and udev's links: the adapter with its driver, USB identity and
# socket, offered by its by-id name with its by-path name beside it; the 16550s that exist (the
# console's and ttyS1, which the firmware lists: 8250's PNP driver, named serial, runs them) and
# not the two empty UART slots the kernel keeps.
scenario_port_list() {
    sim a --delay 600000
    adapter us0 a
    uart
    guest <<'EOF'
wait_until 10 present /dev/ttyUSB0 || bail "no /dev/ttyUSB0"
keep_links
upgrade /list >/out/list.out 2>/out/list.err
echo $? >/out/list.status
EOF
    boot || return
    expect_status list 0
    expect_err list
    local by_id by_path want
    by_id=$(link_to by-id ttyUSB0)
    by_path=$(link_to by-path ttyUSB0)
    [ "$by_id" = /dev/serial/by-id/usb-QEMU_QEMU_USB_SERIAL_VM-us0-if00-port0 ] ||
        fail "udev's by-id link to ttyUSB0 is '$by_id'"
    [[ $by_path == /dev/serial/by-path/pci-*-usb-0:1:1.0-port0 ]] ||
        fail "udev's by-path link to ttyUSB0 is '$by_path'"
    for want in \
        '/dev/ttyS0  serial  /com1=/dev/ttyS0' \
        '/dev/ttyS1  serial  /com1=/dev/ttyS1' \
        "/dev/ttyUSB0  ftdi_sio  USB 0403:6001  \"QEMU USB SERIAL\"  serial VM-us0  socket 1-1  /com1=$by_id  by-path $by_path"; do
        grep -qxF -- "$want" "$dir/out/list.out" || fail "list: no line '$want'"
    done
    [ "$(grep -c . "$dir/out/list.out")" -eq 3 ] || fail "list: $(paste -sd '|' "$dir/out/list.out")"
}

# A signal in the middle of a download, the program on a terminal of its own (the guest's
# virtual console tty2): the terminal is as it was, the port free for the next program (a
# member of dialout opens it: the exclusive flag is gone), no record (a record is written only
# when a download ends), and the status of a program killed by that signal.
signal_mid_download() {
    local signal=$1 status=$2
    images 105536 20000 10000
    sim a --announce-every 1000 --mark-delay-ms 300
    adapter us0 a
    guest "signal=$signal" <<'EOF'
wait_until 10 present /dev/ttyUSB0 || bail "no /dev/ttyUSB0"
udevadm settle --timeout=10 || bail "udev did not settle" # the node is dialout's, 0660
stty -g </dev/tty2 >/out/terminal.before
start_on_terminal /dev/tty2 up /com1=/dev/ttyUSB0 /com2=/dev/null /port=com1 /block=8192 /log=/out/record.jsonl
wait_until 30 at_least /out/up.out "crc = " 3 || bail "the third block did not go out"
stty -g </dev/tty2 >/out/terminal.during
kill -"$signal" "$(pid_of up)"
finish up 5
stty -g </dev/tty2 >/out/terminal.after
start_as op next /com1=/dev/ttyUSB0 /com2=/dev/null /port=com1
wait_until 10 has_text /out/next.out "ready." || bail "the port was not free after the signal"
kill -TERM "$(pid_of next)"
finish next 5
EOF
    boot || return
    expect_status up "$status"
    cmp -s "$dir/out/terminal.before" "$dir/out/terminal.after" ||
        fail "the terminal was $(cat "$dir/out/terminal.before"), left $(cat "$dir/out/terminal.after")"
    cmp -s "$dir/out/terminal.before" "$dir/out/terminal.during" &&
        fail "the terminal was not changed during the download: nothing to restore"
    expect_no_out up "Error"
    expect_records 0
    expect_flash a
}

scenario_sighup() { signal_mid_download HUP 129; }
scenario_sigterm() { signal_mid_download TERM 143; }


# Two adapters with one serial number on a hub (sockets 1-1.1 and 1-1.2): udev makes one by-id
# link for both, leading to either, and a by-path link for each socket. /list says of each that
# it shares its serial number with the other and offers its by-path name; /list=station names
# the two sockets in their order.
scenario_same_serial() {
    sim a --delay 600000
    sim b --delay 600000
    hub hub 1
    adapter us0 a VM-SAME 1.1
    adapter us1 b VM-SAME 1.2
    guest <<'EOF'
wait_until 10 linked 1.1 && wait_until 10 linked 1.2 || bail "no by-path links: $(ls /dev/serial/by-path)"
keep_links
upgrade /list >/out/list.out 2>/out/list.err
echo $? >/out/list.status
upgrade /list=station >/out/station.out 2>/out/station.err
echo $? >/out/station.status
EOF
    boot || return
    expect_status list 0
    expect_err list
    expect_status station 0
    expect_err station
    [ "$(grep -c '^/dev/serial/by-id/' "$dir/out/links")" -eq 1 ] ||
        fail "udev made not one by-id link: $(paste -sd '|' "$dir/out/links")"
    # Each socket's by-path link, and the node it leads to.
    local socket link node nodes=() links=()
    for socket in 1.1 1.2; do
        link=$(awk -v end="-usb-0:$socket:1.0-port0" \
            '$1 ~ "^/dev/serial/by-path/pci-" && substr($1, length($1) - length(end) + 1) == end { print $1 }' \
            "$dir/out/links")
        node=$(awk -v link="$link" '$1 == link { sub("^../../", "", $2); print $2 }' "$dir/out/links")
        [ -n "$link" ] && [[ $node == ttyUSB[01] ]] || fail "no by-path link for socket $socket"
        links+=("$link")
        nodes+=("$node")
    done
    local i
    for i in 0 1; do
        grep -qxF -- "/dev/${nodes[i]}  ftdi_sio  USB 0403:6001  \"QEMU USB SERIAL\"  serial VM-SAME  socket 1-1.$((i + 1))  same serial number as /dev/${nodes[1 - i]}  /com1=${links[i]}" \
            "$dir/out/list.out" || fail "list: no line for socket 1-1.$((i + 1)): $(grep "^/dev/${nodes[i]} " "$dir/out/list.out")"
    done
    [ "$(cat "$dir/out/station.out")" = "upgrade /station /com1=${links[0]} /com2=${links[1]}" ] ||
        fail "list=station: $(cat "$dir/out/station.out")"
}

# A station on the sockets' by-path names, two adapters on a hub. Once both have served their
# receiver, COM2's adapter is unplugged and another one, of another serial number, is plugged
# into the same socket: COM2 says that its line is gone, that its name appeared again, and
# serves the new receiver; its record names the new adapter. Ended by SIGTERM.
scenario_slot_swap() {
    images 105536 20000 10000
    sim a --announce-every 1000
    sim b --announce-every 1000
    sim c --announce-every 1000
    hub hub 1
    adapter us0 a VM-us0 1.1
    adapter us1 b VM-us1 1.2
    guest <<'EOF'
wait_until 10 linked 1.1 && wait_until 10 linked 1.2 || bail "no by-path links: $(ls /dev/serial/by-path)"
one=$(by_path 1.1)
two=$(by_path 1.2)
fact com1 "$one"
fact com2 "$two"
start st /station /com1="$one" /com2="$two" /block=8192 /log=/out/record.jsonl
wait_until 60 at_least /out/record.jsonl '"result":"finished"' 2 || bail "the two downloads did not finish"
host unplug us1
wait_until 10 has_text /out/st.out "COM2: Error : the serial line on $two is gone (" ||
    bail "COM2's lost line was not reported"
wait_until 10 unlinked 1.2 || bail "the by-path link stayed"
host plug us2 c VM-us2 1.2
wait_until 10 has_text /out/st.out "COM2: $two appeared." || bail "COM2 did not see its socket's name again"
wait_until 60 at_least /out/record.jsonl '"result":"finished"' 3 || bail "the new receiver was not served"
kill -TERM "$(pid_of st)"
finish st 10
EOF
    boot || return
    local two
    two=$(fact com2)
    expect_status st 143
    expect_gone st "$two"
    expect_records 3
    expect_record '"port":"COM1"' '"result":"finished"' '"serial":"VM-us0"'
    expect_record '"port":"COM2"' "\"device\":\"$two\"" '"result":"finished"' '"serial":"VM-us1"'
    expect_record '"port":"COM2"' "\"device\":\"$two\"" '"result":"finished"' '"serial":"VM-us2"'
    expect_row st COM1 "$(fact com1)" 1 0 0
    expect_row st COM2 "$two" 2 0 1
    expect_flash a
    expect_flash b
    expect_flash c
    expect_sim a 0
    expect_sim c 0
}

# A receiver that starts again after the second block, on ftdi_sio at 115200: it is silent
# for SILENCE_MS (1 s or 4.5 s), then announces itself at 57600 every second. The emulated
# adapter passes its bytes on whatever the speeds (see the README), so the program hears the
# announcement whole, where a real line would garble it: heard within the bound (/silence=3),
# the download ends as restarted; silent past it, as no answer. Either way the slot goes back
# to 57600 and serves the receiver again: a second, whole download.
restart_mid_download() {
    local silence_ms=$1 result=$2 shown=$3
    images 105536 20000 10000
    sim a --announce-every 1000 --restart-at block:1 --restart-silence "$silence_ms"
    adapter us0 a
    guest <<'EOF'
wait_until 10 present /dev/ttyUSB0 || bail "no /dev/ttyUSB0"
start st /station /com1=/dev/ttyUSB0 /silence=3 /block=8192 /log=/out/record.jsonl
wait_until 60 at_least /out/record.jsonl '"result":"finished"' 1 || bail "no download finished"
kill -TERM "$(pid_of st)"
finish st 10
EOF
    boot || return
    expect_status st 143
    expect_out st "COM1: Error : $shown"
    expect_out st "COM1: change speed --> 57600"
    expect_records 2
    expect_record "\"result\":\"$result\"" '"device":"/dev/ttyUSB0"'
    expect_record '"result":"finished"' '"device":"/dev/ttyUSB0"' '"resends":0}]'
    expect_report a access_speed=57600 speed_seen=115200 "done"
    expect_flash a
    expect_sim a 0
}

scenario_restart_heard() {
    restart_mid_download 1000 restarted "the receiver on /dev/ttyUSB0 started again (it announced itself)."
}
scenario_restart_silent() {
    restart_mid_download 4500 no_answer "no answer from the receiver on /dev/ttyUSB0 within 3 s."
}

# A hub with four adapters, a station on their four sockets' by-path names. Once each has
# served its receiver, the hub is unplugged (the four adapters at once): each port says that
# its line is gone and waits; the hub is plugged in again with four other adapters and
# receivers, and each port serves its new receiver. Ended by SIGTERM.
scenario_hub_replug() {
    images 105536 20000 10000
    local socket
    hub hub 1
    for socket in 1 2 3 4; do
        sim "a$socket" --announce-every 1000
        sim "b$socket" --announce-every 1000
        adapter "us$socket" "a$socket" "VM-us$socket" "1.$socket"
    done
    guest <<'EOF'
for socket in 1 2 3 4; do
    wait_until 10 linked 1.$socket || bail "no by-path link for socket 1.$socket"
done
set -- $(by_path 1.1) $(by_path 1.2) $(by_path 1.3) $(by_path 1.4)
fact names "$*"
start st /station /com1="$1" /com2="$2" /com3="$3" /com4="$4" /block=8192 /log=/out/record.jsonl
wait_until 90 at_least /out/record.jsonl '"result":"finished"' 4 || bail "the four downloads did not finish"
host unplug hub
port=0
for name in "$@"; do
    port=$((port + 1))
    wait_until 10 has_text /out/st.out "COM$port: Error : the serial line on $name is gone (" ||
        bail "COM$port's lost line was not reported"
    wait_until 10 absent "$name" || bail "$name stayed"
done
host plug-hub hub2 1
for socket in 1 2 3 4; do
    host plug "new$socket" "b$socket" "VM-new$socket" "1.$socket"
done
port=0
for name in "$@"; do
    port=$((port + 1))
    wait_until 20 has_text /out/st.out "COM$port: $name appeared." || bail "COM$port did not see $name again"
done
wait_until 90 at_least /out/record.jsonl '"result":"finished"' 8 || bail "the new receivers were not all served"
kill -TERM "$(pid_of st)"
finish st 10
EOF
    boot || return
    expect_status st 143
    expect_records 8
    local port=0 name
    for name in $(fact names); do
        port=$((port + 1))
        expect_gone st "$name"
        expect_row st "COM$port" "$name" 2 0 1
        expect_record "\"port\":\"COM$port\"" "\"device\":\"$name\"" '"result":"finished"' "\"serial\":\"VM-us$port\""
        expect_record "\"port\":\"COM$port\"" "\"device\":\"$name\"" '"result":"finished"' "\"serial\":\"VM-new$port\""
        expect_flash "a$port"
        expect_flash "b$port"
        expect_sim "b$port" 0
    done
}
