#include "driver/station.h"

#include "driver/diagnostics.h"
#include "driver/line.h"
#include "driver/outcome.h"
#include "protocol/device_report.h"

#include <cstdio>
#include <cstring>

namespace {

// How the line's last download ended; a receiver that went away is named for how it did.
const char* result_name(const DownloadOutcome& outcome) {
    if (outcome.reason == DownloadReason::NoAnswer)
        return "no answer";
    if (outcome.reason == DownloadReason::Restarted)
        return "restarted";
    static const char* const names[] = {"finished", "refused", "failed", "escaped", "line lost"};
    return names[static_cast<int>(outcome.result)];
}

// The chip of the line's last receiver: its model, or its ids.
void chip_text(const LineTally& tally, char* text, std::size_t size) {
    const DownloadOutcome& last = tally.last;
    if (!tally.served || !last.reply_read) {
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

} // namespace

bool open_station_lines(Run& run) {
    for (int n = 0; n < max_ports; ++n) {
        const char* device = run.options.devices[n];
        if (device == nullptr)
            continue;
        Line& line = run.lines[run.line_count];
        SerialPort& port = line.ports.com[0];
        port = open_port(device, base_baud);
        if (!port_is_open(port) && !port_missing(port)) {
            explain_port(port);
            continue;
        }
        line.ports.active = 0;
        line.numbers[0] = n + 1;
        name_line(line);
        char name[sizeof line.name];
        std::memcpy(name, line.name, sizeof name);
        std::snprintf(line.channel.prefix, sizeof line.channel.prefix, "%s: ", name);
        ++run.line_count;
    }
    return run.line_count > 0;
}

int end_station(const Run& run) {
    say("\nport   device                          finished  failed  unplugged  last chip        "
        "     last result\n");
    bool all_finished = true;
    for (int i = 0; i < run.line_count; ++i) {
        const Line& line = run.lines[i];
        const LineTally& tally = line.tally;
        char chip[40];
        chip_text(tally, chip, sizeof chip);
        char result[32];
        std::snprintf(result, sizeof result, "%s%s", tally.served ? result_name(tally.last) : "-",
                      tally.waiting ? ", unplugged" : "");
        say("%-6s %-31s %8d  %6d  %9d  %-21s %s\n", line.name, line.ports.com[0].device,
            tally.finished, tally.failed, tally.unplugged, chip, result);
        all_finished = all_finished && tally.failed == 0;
    }
    return all_finished ? exit_done : exit_failed;
}
