#include "driver/line.h"

#include "driver/diagnostics.h"
#include "driver/outcome.h"
#include "driver/serve.h"
#include "protocol/frames.h"
#include "system/clock.h"
#include "system/device_watch.h"
#include "system/keyboard.h"

#include <cstdio>
#include <utility>

namespace {

// Without a watch on the device's folder, or while a device that is there cannot be opened
// yet (its owner and mode are set just after it appears), it is tried this often.
constexpr int device_retry_ms = 1000;

// Blocks until a port or the run's stop has something, so that waiting costs no processor time.
void wait_for_line_or_stop(PortSet& ports, const LinkWatch& watch) {
    SerialPort* open[2];
    int count = 0;
    for (SerialPort& port : ports.com) {
        if (port_is_open(port))
            open[count++] = &port;
    }
    wait_ports(open, count, false, -1, -1, stop_handle(watch));
}

// Looks for the device at the line's path and opens it. True when it opened.
bool try_device(SerialPort& port, int& failures) {
    if (!device_present(port.device)) {
        failures = 0;
        return false;
    }
    SerialPort opened = open_port(port.device, base_baud);
    if (port_is_open(opened)) {
        port = std::move(opened);
        return true;
    }
    // A device that is there but refuses (held by another program, not this user's) is said
    // once, at its second refusal: the first may be the moment before its mode is set.
    if (!port_missing(opened) && ++failures == 2)
        explain_port(opened);
    return false;
}

// Waits for a device to appear at the path of the line's port and opens it. Right after the
// device went away, the path is looked at only once something changed in its folder or a
// second has passed: what is still there may be the node of the device that went. False when
// the run was stopped first.
bool wait_for_device(Line& line, bool after_loss) {
    SerialPort& port = line.ports.com[0];
    DeviceWatch watch;
    open_device_watch(watch, port.device);
    bool changed = !after_loss;
    int failures = 0;
    std::int64_t tried_ms = now_ms();
    bool opened = false;
    while (!stop_raised(line.watch)) {
        const bool retry_due = now_ms() - tried_ms >= device_retry_ms &&
                               (watch.wait_handle < 0 || failures > 0 || after_loss);
        if (changed || retry_due) {
            after_loss = false;
            tried_ms = now_ms();
            opened = try_device(port, failures);
            if (opened)
                break;
        }
        int timeout_ms = -1;
        if (watch.wait_handle < 0 || failures > 0 || after_loss)
            timeout_ms =
                static_cast<int>(std::max<std::int64_t>(tried_ms + device_retry_ms - now_ms(), 0));
        wait_ports(nullptr, 0, false, stop_handle(line.watch), timeout_ms, watch.wait_handle);
        changed = take_device_changes(watch, port.device);
    }
    close_device_watch(watch);
    return opened;
}

// True when the receiver itself ended its download: it gave no answer within the bound, or it
// started again.
bool receiver_went_away(const DownloadOutcome& outcome) {
    return outcome.reason == DownloadReason::NoAnswer ||
           outcome.reason == DownloadReason::Restarted;
}

// A download that failed in its data phase left the line at its speed: the next receiver
// announces itself at the base speed. Where the receiver went away the port says so, since the
// person at the bench sees the slot come back.
void back_to_base_speed(Line& line, const DownloadOutcome& outcome) {
    set_speed(line.ports.com[line.ports.active], base_baud);
    if (receiver_went_away(outcome) && outcome.at_data_speed)
        say("change speed --> 57600\n");
}

void tally(LineTally& tally, const DownloadOutcome& outcome) {
    if (outcome.result == DownloadResult::Finished)
        ++tally.finished;
    else
        ++tally.failed;
    tally.served = true;
    tally.last = outcome;
}

// Waits for the line's device to come back, as the person at the bench sees it: false when the
// run was stopped first.
bool await_device(const Run& run, Line& line, bool after_loss) {
    line.tally.waiting = true;
    // A port's status line tells the person at the bench what the port is doing.
    const bool status_line = run.options.progress && output_is_terminal();
    if (status_line)
        show_status("waiting for the device");
    const bool appeared = wait_for_device(line, after_loss);
    if (status_line)
        clear_status();
    if (!appeared)
        return false;
    line.tally.waiting = false;
    say("%s appeared.\nready.\n", line.ports.com[0].device);
    return true;
}

// Serves the receivers that come, until next_step ends the line or the run is stopped.
void serve_receivers(Run& run, Line& line) {
    LineStep step{NextStep::NextReceiver, -1};
    if (!port_is_open(line.ports.com[0]) && !port_is_open(line.ports.com[1])) {
        say("waiting for %s to appear.\n", line.ports.com[0].device);
        step.next = NextStep::WaitForDevice;
    } else {
        say("ready.\n");
    }
    bool after_loss = false;
    bool announced = false;
    for (;;) {
        if (step.next == NextStep::WaitForDevice && !await_device(run, line, after_loss))
            return;
        DownloadResult result = DownloadResult::Escaped;
        // A receiver that started again during its download has announced itself already.
        const Heard heard =
            announced ? Heard::Announcement : wait_for_announcement(line.ports, line.watch);
        announced = false;
        if (heard == Heard::Announcement) {
            name_line(line);
            const DownloadOutcome outcome = serve_receiver(run, line);
            tally(line.tally, outcome);
            result = outcome.result;
            announced = outcome.reason == DownloadReason::Restarted;
        } else if (heard == Heard::LineLost) {
            const SerialPort& lost = *lost_port(line.ports);
            say_line_lost(lost, lost.lost_error);
            result = DownloadResult::LineLost;
        }
        step = next_step(result, heard != Heard::Announcement, run_mode(run.options));
        if (result == DownloadResult::LineLost)
            ++line.tally.unplugged;
        if (step.next == NextStep::End) {
            line.status = step.status;
            return;
        }
        if (step.next == NextStep::WaitForDevice) {
            close_port(line.ports.com[0]);
            after_loss = true;
            continue;
        }
        if (result == DownloadResult::Failed)
            back_to_base_speed(line, line.tally.last);
        say("next......\nready.\n");
    }
}

} // namespace

void name_line(Line& line) {
    std::snprintf(line.name, sizeof line.name, "COM%d", line.numbers[line.ports.active]);
}

Heard wait_for_announcement(PortSet& ports, const LinkWatch& watch) {
    char buffer[announcement_size];
    int position = 0;
    for (;;) {
        if (stop_raised(watch))
            return Heard::Escape;
        const int byte = poll_ports(ports);
        if (byte >= 0) {
            if (match_announcement(buffer, position, byte))
                return Heard::Announcement;
            continue;
        }
        if (lost_port(ports) != nullptr)
            return Heard::LineLost;
        wait_for_line_or_stop(ports, watch);
    }
}

void serve_line(Run& run, Line& line) {
    line.watch.stop = &run.stop;
    use_channel(&line.channel);
    serve_receivers(run, line);
    flush_channel(line.channel);
    use_channel(nullptr);
    if (run.running.fetch_sub(1) == 1)
        raise_wakeup(run.done);
}
