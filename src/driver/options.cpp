#include "driver/options.h"

#include "link/serial_port.h"
#include "protocol/frames.h"
#include "system/console.h"

#include <cstdio>
#include <cstring>

namespace {

char lower_ascii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Compares at most `length` characters, taking A to Z as a to z and every other byte as it
// is; the comparison stops at the end of either text.
bool same_ignoring_case(const char* text, const char* prefix, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        if (lower_ascii(text[i]) != lower_ascii(prefix[i]))
            return false;
        if (text[i] == '\0')
            return true;
    }
    return true;
}

bool has_prefix(const char* argument, const char* prefix) {
    return same_ignoring_case(argument, prefix, std::strlen(prefix));
}

// Reads a decimal number as the command line always has: leading white space, an optional
// sign, digits up to the first non-digit; no digits read as 0. The value wraps in 32 bits.
std::int32_t read_decimal(const char* text) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-')
        negative = *text++ == '-';
    std::uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text)
        value = value * 10U + static_cast<std::uint32_t>(*text - '0');
    if (negative)
        value = 0U - value;
    return static_cast<std::int32_t>(value);
}

void set_port(const char* name, Options& options) {
    if (same_ignoring_case(name, "com1", 4))
        options.port = PortChoice::Com1;
    else if (same_ignoring_case(name, "com2", 4))
        options.port = PortChoice::Com2;
}

// N of an argument "/comN=DEVICE" (N from 1 to 32, in any case), or 0 when it is none.
int port_number(const char* argument) {
    if (!has_prefix(argument, "/com"))
        return 0;
    int number = 0;
    const char* at = argument + 4;
    for (; *at >= '0' && *at <= '9' && number <= max_ports; ++at)
        number = number * 10 + (*at - '0');
    return *at == '=' && at > argument + 4 && number >= 1 && number <= max_ports ? number : 0;
}

// What one argument was.
enum class Argument { Option, Help, FileName };

// Applies one argument that is an option.
Argument apply_option(const char* argument, Options& options) {
    if (has_prefix(argument, "/port=")) {
        set_port(argument + 6, options);
    } else if (has_prefix(argument, "/baud=")) {
        options.speed_hundreds = read_decimal(argument + 6) / 100;
    } else if (has_prefix(argument, "/speed=")) {
        options.speed_hundreds = read_decimal(argument + 7) / 100;
    } else if (has_prefix(argument, "/block=")) {
        const auto block = static_cast<std::uint32_t>(read_decimal(argument + 7));
        options.block_size = block > max_block_size ? max_block_size : block;
    } else if (has_prefix(argument, "/?") || has_prefix(argument, "/h")) {
        return Argument::Help;
    } else if (has_prefix(argument, "COM1")) {
        options.port = PortChoice::Com1;
    } else if (has_prefix(argument, "COM2")) {
        options.port = PortChoice::Com2;
    } else if (has_prefix(argument, "/r") || has_prefix(argument, "repeat")) {
        options.repeat = true;
    } else if (has_prefix(argument, "/a")) {
        options.selection = 0;
    } else if (has_prefix(argument, "/f")) {
        options.selection |= image_kind_info(ImageKind::Font).selection_bit;
    } else if (has_prefix(argument, "/t")) {
        options.selection |= image_kind_info(ImageKind::Tplist).selection_bit;
    } else if (const int number = port_number(argument)) {
        const char* equals = std::strchr(argument, '=');
        options.devices[number - 1] = equals + 1;
    } else if (has_prefix(argument, "/log=")) {
        options.log_path = argument + 5;
    } else if (has_prefix(argument, "/progress")) {
        options.progress = true;
    } else if (has_prefix(argument, "/station")) {
        options.station = true;
    } else {
        return Argument::FileName;
    }
    return Argument::Option;
}

// An absolute POSIX path (a '/' first and another before any '='): /tmp/x/rom.bin must not be
// taken for /t, nor /root/rom.bin for /r. /com1=/dev/ttyUSB0 keeps its option, because its
// second '/' comes after the '='. A file in the root directory is named //rom.bin or ./rom.bin.
bool is_absolute_path(const char* argument) {
    if (argument[0] != '/')
        return false;
    const std::size_t name_end = std::strcspn(argument + 1, "/=") + 1;
    return argument[name_end] == '/';
}

// True when the text at `start` (a position that may lie before the argument) begins with
// `name`, ignoring case.
bool name_at(const char* argument, std::ptrdiff_t start, const char* name) {
    return start >= 0 && has_prefix(argument + start, name);
}

// A station names the ports it serves: each one given with /comN=.
void station_ports_text(const Options& options, char* text, std::size_t size) {
    std::size_t used = 0;
    text[0] = '\0';
    for (int n = 0; n < max_ports && used < size; ++n) {
        if (options.devices[n] == nullptr)
            continue;
        const int wrote =
            std::snprintf(text + used, size - used, "%sCOM%d", used == 0 ? "" : ", ", n + 1);
        used += wrote > 0 ? static_cast<std::size_t>(wrote) : 0;
    }
}

void print_settings(const Options& options) {
    if (options.station) {
        char ports[max_ports * 7 + 1];
        station_ports_text(options, ports, sizeof ports);
        say("port : %s\n", ports);
    } else {
        const char* port = options.port == PortChoice::Com1   ? "COM1\n"
                           : options.port == PortChoice::Com2 ? "COM2\n"
                                                              : "auto\n";
        say("port : %s", port);
    }
    say("baud rate = %d00\n", options.speed_hundreds);
    say("block size = %u\n", options.block_size);
}

} // namespace

void classify_file_name(const char* argument, Options& options) {
    const std::size_t length = std::strlen(argument);
    if (length >= name_slot_size) {
        options.name_mode = NameMode::TooLong;
        return;
    }
    // The name is recognised from its first dot among its last 12 characters: rom, font or
    // tplist must end right before it and "bin" follow it.
    const std::size_t window = length > 12 ? length - 12 : 0;
    const char* dot = std::strchr(argument + window, '.');
    const auto after_dot = dot ? dot - argument + 1 : static_cast<std::ptrdiff_t>(length);

    ImageKind kind;
    if (name_at(argument, after_dot - 4, "rom.bin"))
        kind = ImageKind::Host;
    else if (name_at(argument, after_dot - 5, "font.bin"))
        kind = ImageKind::Font;
    else if (name_at(argument, after_dot - 7, "tplist.bin"))
        kind = ImageKind::Tplist;
    else {
        options.name_mode = NameMode::UnknownFormat;
        std::memcpy(options.names[static_cast<int>(ImageKind::Host)], argument, length + 1);
        return;
    }
    options.selection |= image_kind_info(kind).selection_bit;
    options.name_mode = NameMode::Given;
    std::memcpy(options.names[static_cast<int>(kind)], argument, length + 1);
}

void print_usage() {
    say("usage : upgrade [/options] [filename]\n");
    say("\n");
    say("option: port   COM1, COM2, AUTO\n");
    say("        baud   38400, 57600, 115200\n");
    say("        block  block size (ex: 16384, max = 51200)\n");
    say("        COM1   same as /port=COM1\n");
    say("        COM2   same as /port=COM2\n");
    say("        speed  same as /baud\n");
    say("        a      \"rom.bin\" + \"font.bin\" + \"tplist.bin\". \n");
    say("        h      \"rom.bin\" only\n");
    say("        f      \"font.bin\" only\n");
    say("        t      \"tplist.bin\" only\n");
    say("        r      repeat upgrade\n");
    say("        h      this help message.\n");
    say("        ?      this help message.\n");
    say("\nfilename : Olny \"ROM.BIN\", \"FONT.BIN\" or \"TPLIST.BIN\".\n");
    say("\n");
    say("example:\n");
    say("   upgrade /port=auto /baud=115200 /block=16384\n");
    say("   upgrade /port=COM1 /speed=115200 /block=32768\n");
    say("   upgrade COM2 /speed=38400 /block=32768\n");
    say("   upgrade C:\\WINDOWS\\ROM.BIN\n");
    say("\n");
    say("default parameter:\n");
    say("   /port=auto /baud=115200 /block=16384 /all\n");
    say("\n");
    say("        com1=  device that COM1 stands for (default %s)\n", default_device(0));
    say("        com2=  device that COM2 stands for (default %s)\n", default_device(1));
}

RunRequest find_request(int argc, const char* const argv[]) {
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (std::strcmp(argument, "--help") == 0)
            return RunRequest::Help;
        if (std::strcmp(argument, "--version") == 0)
            return RunRequest::Version;
        // No prefix of the other options can take /list for its own (/l is none of them).
        if (!is_absolute_path(argument) && has_prefix(argument, "/list"))
            return RunRequest::ListPorts;
    }
    return RunRequest::Upgrade;
}

void print_help() {
    print_usage();
    say("        list   the serial ports of this system, each with the /com1= that names it\n");
    say("        comN=  device that COMN stands for, N from 1 to 32\n");
    say("        log=   file that a record of every download is appended to\n");
    say("        progress  a status line per image and a summary of each download\n");
    say("        station   serve every port given with /comN= at once\n");
    say("\n");
    say("        --help     this text\n");
    say("        --version  the version of upgrade\n");
}

ParseResult parse_options(int argc, const char* const argv[], Options& options) {
    for (int i = 1; i < argc; ++i) {
        const Argument argument =
            is_absolute_path(argv[i]) ? Argument::FileName : apply_option(argv[i], options);
        if (argument == Argument::Help) {
            print_usage();
            return ParseResult::UsageShown;
        }
        if (argument == Argument::FileName)
            classify_file_name(argv[i], options);
    }
    print_settings(options);
    return ParseResult::Parsed;
}

const char* check_values(const Options& options) {
    if (options.block_size == 0)
        return "Error : block size 0 cannot carry any data.\n";
    // The header carries the speed in 16 bits, and the port must be able to run at it.
    const std::int32_t speed = options.speed_hundreds;
    if (speed <= 0 || speed > 0xFFFF || !speed_supported(speed * 100))
        return "Error : the line cannot run at that baud rate.\n";
    return nullptr;
}
