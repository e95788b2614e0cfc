#include "driver/run_loop.h"

#include "link/console.h"
#include "protocol/download.h"

#include <cstring>

namespace {

constexpr int version_major = 1;
constexpr int version_minor = 1;

// The port named on the command line, or both in auto mode, at the base speed.
bool open_ports(const Options& options, PortSet& ports) {
    const auto device = [&](int index) {
        return options.devices[index] != nullptr ? options.devices[index] : default_device(index);
    };
    if (options.port != PortChoice::Auto) {
        const int index = static_cast<int>(options.port);
        ports.com[index] = open_port(device(index), base_baud);
        ports.active = index;
        return port_is_open(ports.com[index]);
    }
    ports.auto_mode = true;
    ports.com[0] = open_port(device(0), base_baud);
    ports.com[1] = open_port(device(1), base_baud);
    // With both open, the receiver's first printable byte chooses (poll_ports).
    if (port_is_open(ports.com[0]) != port_is_open(ports.com[1]))
        ports.active = port_is_open(ports.com[0]) ? 0 : 1;
    return port_is_open(ports.com[0]) || port_is_open(ports.com[1]);
}

// Reports the file names given; false when a name is unusable (the program ends then).
bool report_names(const Options& options) {
    switch (options.name_mode) {
    case NameMode::UnknownFormat:
        say("\nFile name : %s\n", options.names[static_cast<int>(ImageKind::Host)]);
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
        if ((options.selection & image_spec(static_cast<ImageKind>(k)).selection_bit) != 0) {
            say(lead, options.names[k]);
            lead = "            %s\n";
        }
    }
    if (options.selection != 0)
        say("\n");
    return true;
}

bool run_selection(PortSet& ports, const Options& options, Selection selection) {
    DownloadRequest request;
    request.selection = selection;
    request.block_size = options.block_size;
    request.speed = options.speed;
    for (int k = 0; k < image_kind_count; ++k) {
        request.file_names[k] = options.name_mode == NameMode::Given
                                    ? options.names[k]
                                    : image_spec(static_cast<ImageKind>(k)).default_name;
    }
    return run_download(ports, request);
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

int ready_loop(PortSet& ports, const Options& options) {
    char buffer[announcement_size];
    int position = 0;
    for (;;) {
        if (escape_pressed())
            return exit_escape;
        const int byte = poll_ports(ports);
        if (byte < 0) {
            if (const SerialPort* lost = lost_port(ports))
                end_on_lost_line(*lost);
            wait_for_line_or_key(ports);
            continue;
        }
        if (!match_announcement(buffer, position, byte))
            continue;
        say("\n");
        const bool done = options.selection == 0 ? detect_images(ports, options)
                                                 : run_selection(ports, options, options.selection);
        // A refused download is a failure, not a success.
        if (!options.repeat)
            return done ? exit_done : exit_failed;
        say("next......\nready.\n");
    }
}

} // namespace

bool match_announcement(char* buffer, int& position, int byte) {
    // A 'K' restarts the collection, except where the announcement itself has one inside
    // (positions 10 and 14). The bytes are compared only once 17 have been collected.
    if (byte == 'K' && position != 10 && position != 14)
        position = 0;
    buffer[position++] = static_cast<char>(byte);
    if (position < announcement_size)
        return false;
    position = 0;
    return std::memcmp(buffer, announcement, announcement_size) == 0;
}

bool detect_images(PortSet& ports, const Options& options) {
    static const char* const found_lines[8] = {
        "Not found bin files.\n",
        "Found Only rom.bin file.\n",
        "Found Only font.bin file.\n",
        "Found rom.bin and font.bin files.\n",
        "Found Only tplist.bin file.\n",
        "Found rom.bin and tplist.bin files.\n",
        "Found font.bin and tplist.bin files.\n",
        "Found all files.\n",
    };
    Selection found = 0;
    for (int k = 0; k < image_kind_count; ++k) {
        const ImageSpec& kind_spec = image_spec(static_cast<ImageKind>(k));
        if (image_file_present(kind_spec.default_name))
            found |= kind_spec.selection_bit;
    }
    say("%s", found_lines[found]);
    return found != 0 && run_selection(ports, options, found);
}

int run_program(int argc, const char* const argv[]) {
    static Options options;
    static PortSet ports;
    prepare_console();
    say("        Satellite receiver upgrader V%d.%d\n", version_major, version_minor);
    say("\n");
    parse_options(argc, argv, options);
    if (const char* complaint = check_values(options)) {
        say("%s", complaint);
        return exit_failed;
    }
    if (!open_ports(options, ports)) {
        say("Failed to open the port.\n");
        return exit_failed;
    }
    if (!report_names(options))
        return exit_failed;
    say("ready.\n");
    return ready_loop(ports, options);
}
