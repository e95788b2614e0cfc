#include "driver/run_loop.h"

#include "driver/diagnostics.h"
#include "driver/outcome.h"
#include "driver/plan.h"
#include "driver/port_report.h"
#include "driver/serve.h"
#include "driver/station.h"
#include "driver/version.h"
#include "system/console.h"
#include "system/shown_name.h"
#include "link/link_wait.h"
#include "protocol/frames.h"

#include <cstdio>
#include <cstring>

namespace {

// Opens the slot `index` at the base speed. A port that cannot be opened keeps why, for the
// message when no port opened at all.
void open_slot(const Options& options, PortSet& ports, int index) {
    const char* device =
        options.devices[index] != nullptr ? options.devices[index] : default_device(index);
    ports.com[index] = open_port(device, base_baud);
}

// The port named on the command line, or both in auto mode, at the base speed.
bool open_ports(const Options& options, PortSet& ports) {
    if (options.port != PortChoice::Auto) {
        const int index = static_cast<int>(options.port);
        open_slot(options, ports, index);
        ports.active = index;
        return port_is_open(ports.com[index]);
    }
    ports.auto_mode = true;
    open_slot(options, ports, 0);
    open_slot(options, ports, 1);
    // With both open, the receiver's first printable byte chooses (poll_ports).
    if (port_is_open(ports.com[0]) != port_is_open(ports.com[1]))
        ports.active = port_is_open(ports.com[0]) ? 0 : 1;
    return port_is_open(ports.com[0]) || port_is_open(ports.com[1]);
}

// Reports the file names given; false when a name is unusable (the program ends then).
bool report_names(const Options& options) {
    char shown[shown_name_size];
    switch (options.name_mode) {
    case NameMode::UnknownFormat:
        say("\nFile name : %s\n",
            shown_name(options.names[static_cast<int>(ImageKind::Host)], shown, sizeof shown));
        say("Don't know File format.");
        return false;
    case NameMode::TooLong:
        say("Error : File name is longer too.");
        return false;
    case NameMode::Given:
        break;
    case NameMode::None:
        return true;
    }
    const char* lead = "File name : %s\n";
    for (int k = 0; k < image_kind_count; ++k) {
        if ((options.selection & image_kind_info(static_cast<ImageKind>(k)).selection_bit) != 0) {
            say(lead, shown_name(options.names[k], shown, sizeof shown));
            lead = "            %s\n";
        }
    }
    if (options.selection != 0)
        say("\n");
    return true;
}

// Blocks until a port or the keyboard has something, so that waiting costs no processor time.
void wait_for_line_or_key(PortSet& ports) {
    SerialPort* open[2];
    int count = 0;
    for (SerialPort& port : ports.com) {
        if (port_is_open(port))
            open[count++] = &port;
    }
    wait_ports(open, count, false, console_wait_handle(), -1);
}

int ready_loop(Run& run) {
    PortSet& ports = run.ports;
    char buffer[announcement_size];
    int position = 0;
    for (;;) {
        if (escape_pressed())
            return exit_escape;
        const int byte = poll_ports(ports);
        if (byte < 0) {
            if (const SerialPort* lost = lost_port(ports)) {
                char message[512];
                lost_line_message(*lost, message, sizeof message);
                say("%s", message);
                return exit_failed;
            }
            wait_for_line_or_key(ports);
            continue;
        }
        if (!match_announcement(buffer, position, byte))
            continue;
        say("\n");
        static const char* const names[2] = {"COM1", "COM2"};
        const DownloadOutcome outcome =
            serve_receiver(run, ports.com[ports.active], names[ports.active], nullptr);
        const int status = exit_status_after(outcome, run.options.repeat);
        if (status >= 0)
            return status;
        say("next......\nready.\n");
    }
}

} // namespace

int run_program(Run& run, int argc, const char* const argv[]) {
    Options& options = run.options;
    PortSet& ports = run.ports;
    open_standard_streams();
    prepare_console();
    switch (find_request(argc, argv)) {
    case RunRequest::Help:
        print_help();
        return exit_done;
    case RunRequest::Version:
        say("upgrade %s\n", version_text);
        return exit_done;
    case RunRequest::ListPorts:
        print_port_list("/");
        return exit_done;
    case RunRequest::Upgrade:
        break;
    }
    say("        Satellite receiver upgrader V%d.%d\n", version_major, version_minor);
    say("\n");
    if (parse_options(argc, argv, options) == ParseResult::UsageShown)
        return exit_failed;
    if (const char* complaint = check_values(options)) {
        say("%s", complaint);
        return exit_failed;
    }
    if (options.plan)
        return print_plan(options);
    if (options.log_path != nullptr) {
        char reason[160];
        if (!open_record_file(options.log_path, run.record, reason, sizeof reason)) {
            char shown[shown_name_size];
            say("Error : the record file %s cannot be opened for appending (%s).\n",
                shown_name(options.log_path, shown, sizeof shown), reason);
            return exit_failed;
        }
    }
    const bool opened = options.station ? open_station_ports(run) : open_ports(options, ports);
    if (!opened) {
        if (!options.station)
            explain_ports(ports);
        say("Failed to open the port.\n");
        return exit_failed;
    }
    if (!report_names(options))
        return exit_failed;
    if (options.station)
        return run_station(run);
    say("ready.\n");
    return ready_loop(run);
}
