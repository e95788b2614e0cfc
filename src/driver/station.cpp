#include "driver/station.h"

#include "driver/outcome.h"
#include "driver/run_loop.h"
#include "driver/serve.h"
#include "protocol/device_report.h"
#include "protocol/frames.h"

#include <cstdio>
#include <cstring>
#include <thread>

namespace {

// Waits for the next receiver's announcement on the port, or for the station's stop. False when
// the station stopped or the port's device went away.
bool wait_for_announcement(StationPort& station_port) {
    SerialPort& port = station_port.port;
    char buffer[announcement_size];
    int position = 0;
    for (;;) {
        if (escape_pressed())
            return false;
        const int byte = read_byte(port);
        if (byte >= 0) {
            if (match_announcement(buffer, position, byte))
                return true;
            continue;
        }
        if (port.lost_error != 0)
            return false;
        SerialPort* ports[1] = {&port};
        wait_ports(ports, 1, false, console_wait_handle(), -1);
    }
}

void tally(StationPort& station_port, const DownloadOutcome& outcome) {
    if (outcome.result == DownloadResult::Finished)
        ++station_port.finished;
    else
        ++station_port.not_finished;
    station_port.served = true;
    station_port.last = outcome;
}

// One port of the station, in a thread of its own: receiver after receiver until the station
// stops or the port's device goes away.
void serve_port(Run& run, StationPort& station_port) {
    Station& station = run.station;
    use_channel(&station_port.channel);
    watch_stop_instead_of_keys(&station.stop);
    SerialPort& port = station_port.port;
    say("ready.\n");
    while (wait_for_announcement(station_port)) {
        say("\n");
        const DownloadOutcome outcome =
            serve_receiver(run, port, station_port.name, station_port.buffer);
        tally(station_port, outcome);
        if (outcome.result == DownloadResult::Escaped || outcome.result == DownloadResult::LineLost)
            break;
        // A download that failed in its data phase left the line at its speed: the next
        // receiver announces itself at the base speed.
        if (outcome.result == DownloadResult::Failed)
            set_speed(port, base_baud);
        say("next......\nready.\n");
    }
    if (port.lost_error != 0) {
        station_port.dropped = true;
        if (!station_port.served || station_port.last.result != DownloadResult::LineLost) {
            char message[512];
            lost_line_message(port, message, sizeof message);
            say("%s", message);
        }
    }
    flush_channel(station_port.channel);
    use_channel(nullptr);
    if (station.running.fetch_sub(1) == 1)
        raise_wakeup(station.done);
}

const char* result_name(DownloadResult result) {
    static const char* const names[] = {"finished", "refused", "failed", "escaped", "line lost"};
    return names[static_cast<int>(result)];
}

// The chip of the port's last receiver: its model, or its ids.
void chip_text(const StationPort& station_port, char* text, std::size_t size) {
    const DownloadOutcome& last = station_port.last;
    if (!station_port.served || !last.reply_read) {
        std::snprintf(text, size, "-");
        return;
    }
    const char* line = flash_model_line(last.reply.manufacturer_id, last.reply.device_id);
    if (line != nullptr)
        std::snprintf(text, size, "%.*s", static_cast<int>(std::strcspn(line, "\n")), line);
    else
        std::snprintf(text, size, "0x%04X/0x%04X", last.reply.manufacturer_id,
                      last.reply.device_id);
}

void print_table(const Station& station) {
    say("\nport   device                          finished  failed  last chip             "
        "last result\n");
    for (int i = 0; i < station.count; ++i) {
        const StationPort& p = station.ports[i];
        char chip[40];
        chip_text(p, chip, sizeof chip);
        char result[24];
        std::snprintf(result, sizeof result, "%s%s", p.served ? result_name(p.last.result) : "-",
                      p.dropped ? ", dropped" : "");
        say("%-6s %-31s %8d  %6d  %-21s %s\n", p.name, p.port.device, p.finished, p.not_finished,
            chip, result);
    }
}

} // namespace

bool open_station_ports(Run& run) {
    Station& station = run.station;
    for (int n = 0; n < max_ports; ++n) {
        const char* device = run.options.devices[n];
        if (device == nullptr)
            continue;
        StationPort& station_port = station.ports[station.count];
        station_port.port = open_port(device, base_baud);
        if (!port_is_open(station_port.port)) {
            complain("%s: %s: %s\n", station_port.port.device, station_port.port.open_step,
                     station_port.port.open_reason);
            continue;
        }
        std::snprintf(station_port.name, sizeof station_port.name, "COM%d", n + 1);
        std::snprintf(station_port.channel.prefix, sizeof station_port.channel.prefix,
                      "COM%d: ", n + 1);
        ++station.count;
    }
    return station.count > 0;
}

int run_station(Run& run) {
    Station& station = run.station;
    if (!open_wakeup(station.stop) || !open_wakeup(station.done)) {
        say("Error : the station cannot be set up.\n");
        return exit_failed;
    }
    // The keyboard is this thread's: it is opened before the ports' threads start.
    console_wait_handle();
    station.running = station.count;
    std::thread threads[32];
    for (int i = 0; i < station.count; ++i)
        threads[i] = std::thread(serve_port, std::ref(run), std::ref(station.ports[i]));
    for (;;) {
        if (escape_pressed()) {
            raise_wakeup(station.stop);
            break;
        }
        if (station.done.raised.load())
            break;
        wait_ports(nullptr, 0, false, console_wait_handle(), -1, station.done.wait_handle);
    }
    for (int i = 0; i < station.count; ++i)
        threads[i].join();
    print_table(station);
    for (int i = 0; i < station.count; ++i) {
        if (station.ports[i].not_finished > 0)
            return exit_failed;
    }
    return exit_done;
}
