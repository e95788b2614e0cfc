#include "driver/run_loop.h"

#include "driver/diagnostics.h"
#include "driver/line.h"
#include "driver/option_text.h"
#include "driver/outcome.h"
#include "driver/plan.h"
#include "driver/port_report.h"
#include "driver/request.h"
#include "driver/serve.h"
#include "driver/station.h"
#include "driver/version.h"
#include "system/keyboard.h"
#include "system/shown_name.h"
#include "system/signals.h"

#include <thread>

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

// The one-port program's line, or a station's lines, with their ports open (or, in a station,
// waited for). False when there is no line to serve; what failed has been said on standard
// error.
bool open_lines(Run& run) {
    if (run.options.station)
        return open_station_lines(run);
    run.line_count = 1;
    Line& line = run.lines[0];
    if (open_ports(run.options, line.ports))
        return true;
    explain_ports(line.ports);
    return false;
}

// Reports the file names given; false when a name is unusable (the program ends then).
bool report_names(const Options& options) {
    if (!names_usable(options))
        return false;
    if (options.name_mode == NameMode::None)
        return true;
    char shown[shown_name_size];
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

// Gives each line to be served its own store. Only those lines' records are written: the other
// lines' pages stay as the program's image has them, none of them the program's memory.
void give_stores(Run& run, LineStore (&stores)[max_ports]) {
    for (int i = 0; i < run.line_count; ++i) {
        run.lines[i].buffers = &stores[i].buffers;
        run.lines[i].channel.store = &stores[i].channel;
    }
}

// Serves every line, each in a thread of its own, while this thread reads the keyboard: ESC
// stops them all. Returns when every line has ended.
void serve_lines(Run& run) {
    if (!open_wakeup(run.stop) || !open_wakeup(run.done)) {
        say("Error : the lines cannot be set up.\n");
        run.lines[0].status = exit_failed;
        return;
    }
    // The keyboard is this thread's: it is taken before the lines' threads start.
    console_wait_handle();
    if (run.options.station)
        stop_on_ending_signals(run.stop);
    start_console_writer();
    run.running = run.line_count;
    std::thread threads[max_ports];
    for (int i = 0; i < run.line_count; ++i)
        threads[i] = std::thread(serve_line, std::ref(run), std::ref(run.lines[i]));
    while (!run.done.raised.load()) {
        if (escape_pressed()) {
            raise_wakeup(run.stop);
            break;
        }
        wait_ports(nullptr, 0, false, console_wait_handle(), -1, run.done.wait_handle);
    }
    for (int i = 0; i < run.line_count; ++i)
        threads[i].join();
    stop_console_writer();
}

} // namespace

int run_program(Run& run, LineStore (&stores)[max_ports], int argc, const char* const argv[]) {
    Options& options = run.options;
    open_standard_streams();
    set_signal_cleanup(release_ports_on_signal);
    prepare_signals();
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
    case RunRequest::ListStation:
        print_station_command("/");
        return exit_done;
    case RunRequest::Upgrade:
        break;
    }
    say("        Satellite receiver upgrader V%d.%d\n", version_major, version_minor);
    say("\n");
    // The usage text stands instead of the settings: nothing is said before it but the banner.
    if (parse_options(argc, argv, options) == ParseResult::UsageAsked) {
        print_usage();
        return exit_failed;
    }
    print_settings(options);
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
    if (!open_lines(run)) {
        say("Failed to open the port.\n");
        return exit_failed;
    }
    if (!report_names(options))
        return exit_failed;
    give_stores(run, stores);
    serve_lines(run);
    if (!options.station)
        return run.lines[0].status;
    const int status = end_station(run);
    if (stopping_signal() != 0)
        end_by_signal(stopping_signal());
    return status;
}
