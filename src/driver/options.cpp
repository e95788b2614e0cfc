#include "driver/options.h"

#include "link/serial_port.h"
#include "protocol/frames.h"

#include <cstring>
#include <iterator>

namespace {

// No prefix here begins another, so an argument matches one entry at most; the order is the
// order --help shows them in. A new option's prefix must begin with none of the single
// letters (/a, /f, /h, /r, /t, /?), or that letter's rule would take it.
constexpr OptionSpec option_specs[] = {
    {"/port=", OptionEffect::Port, OptionGroup::Line, "/port=COM1, /port=COM2",
     "use that port alone"},
    {"COM1", OptionEffect::Com1, OptionGroup::Line, "COM1, COM2", "the same as /port=COM1, COM2"},
    {"COM2", OptionEffect::Com2, OptionGroup::Line, nullptr, nullptr},
    {"/com", OptionEffect::Device, OptionGroup::Line, "/comN=DEVICE",
     "the device COMN stands for, N from 1 to 32; a station serves every one given"},
    {"/baud=", OptionEffect::Baud, OptionGroup::Line, "/baud=N, /speed=N",
     "line speed of the data phase; 57600 keeps the base speed"},
    {"/speed=", OptionEffect::Baud, OptionGroup::Line, nullptr, nullptr},
    {"/block=", OptionEffect::Block, OptionGroup::Line, "/block=N", "bytes a block, 1 to 51200"},
    {"/f", OptionEffect::Font, OptionGroup::Images, "/f", "the font (font.bin)"},
    {"/t", OptionEffect::Tplist, OptionGroup::Images, "/t", "the transponder list (tplist.bin)"},
    {"/a", OptionEffect::All, OptionGroup::Images, "/a",
     "clear the selection: the images present are found when the receiver calls"},
    {"/station", OptionEffect::Station, OptionGroup::Run, "/station",
     "serve every port given with /comN= at once, receiver after receiver"},
    {"/log=", OptionEffect::Log, OptionGroup::Run, "/log=FILE",
     "append a record of every download to FILE, one JSON line each"},
    {"/progress", OptionEffect::Progress, OptionGroup::Run, "/progress",
     "a status line per image and a summary of each download"},
    {"/plan", OptionEffect::Plan, OptionGroup::Run, "/plan",
     "show what the download would do (images, sectors, blocks, time); open no port"},
    {"/silence=", OptionEffect::Silence, OptionGroup::Run, "/silence=S",
     "a receiver that gives no answer for S seconds after a frame fails its download, and its "
     "port serves the next one; 0: wait for ever"},
    {"/r", OptionEffect::Repeat, OptionGroup::Run, "/r, repeat",
     "after a download, wait for the next receiver"},
    {"repeat", OptionEffect::Repeat, OptionGroup::Run, nullptr, nullptr},
    {"/list", OptionEffect::List, OptionGroup::Other, "/list, /list=station",
     "the serial ports of this system, each with the /com1= that names it; or a station's "
     "command line for the USB adapters plugged in, in the order of their sockets"},
    {"/?", OptionEffect::Usage, OptionGroup::Other, "/?, /h", "the original usage text (status 1)"},
    {"/h", OptionEffect::Usage, OptionGroup::Other, nullptr, nullptr},
    {"--help", OptionEffect::Help, OptionGroup::Other, "--help", "this text"},
    {"--version", OptionEffect::Version, OptionGroup::Other, "--version", "the version"},
};

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
enum class Argument { Option, Usage, FileName };

// Applies one argument that is an option.
Argument apply_option(const char* argument, Options& options) {
    const OptionSpec* option = find_option(argument);
    if (option == nullptr)
        return Argument::FileName;
    const char* value = argument + std::strlen(option->prefix);
    switch (option->effect) {
    case OptionEffect::Port:
        set_port(value, options);
        break;
    case OptionEffect::Com1:
        options.port = PortChoice::Com1;
        break;
    case OptionEffect::Com2:
        options.port = PortChoice::Com2;
        break;
    case OptionEffect::Device:
        options.devices[port_number(argument) - 1] = std::strchr(argument, '=') + 1;
        break;
    case OptionEffect::Baud:
        options.speed_hundreds = read_decimal(value) / 100;
        break;
    case OptionEffect::Block: {
        const auto block = static_cast<std::uint32_t>(read_decimal(value));
        options.block_size = block > max_block_size ? max_block_size : block;
        break;
    }
    case OptionEffect::Font:
        options.selection |= image_kind_info(ImageKind::Font).selection_bit;
        break;
    case OptionEffect::Tplist:
        options.selection |= image_kind_info(ImageKind::Tplist).selection_bit;
        break;
    case OptionEffect::All:
        options.selection = 0;
        break;
    case OptionEffect::Station:
        options.station = true;
        break;
    case OptionEffect::Log:
        options.log_path = value;
        break;
    case OptionEffect::Progress:
        options.progress = true;
        break;
    case OptionEffect::Plan:
        options.plan = true;
        break;
    case OptionEffect::Repeat:
        options.repeat = true;
        break;
    case OptionEffect::Silence:
        options.silence_s = read_decimal(value);
        options.silence_given = true;
        break;
    case OptionEffect::Usage:
        return Argument::Usage;
    case OptionEffect::List:
    case OptionEffect::Help:
    case OptionEffect::Version:
        break; // answered before the options are read (find_request)
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

const OptionSpec* option_table(int& count) {
    count = static_cast<int>(std::size(option_specs));
    return option_specs;
}

const OptionSpec* find_option(const char* argument) {
    if (is_absolute_path(argument))
        return nullptr;
    for (const OptionSpec& option : option_specs) {
        const bool matches = option.prefix[0] == '-' ? std::strcmp(argument, option.prefix) == 0
                             : option.effect == OptionEffect::Device
                                 ? port_number(argument) != 0
                                 : has_prefix(argument, option.prefix);
        if (matches)
            return &option;
    }
    return nullptr;
}

RunRequest find_request(int argc, const char* const argv[]) {
    for (int i = 1; i < argc; ++i) {
        const OptionSpec* option = find_option(argv[i]);
        if (option == nullptr)
            continue;
        if (option->effect == OptionEffect::Help)
            return RunRequest::Help;
        if (option->effect == OptionEffect::Version)
            return RunRequest::Version;
        if (option->effect == OptionEffect::List)
            return same_ignoring_case(argv[i] + std::strlen(option->prefix), "=station",
                                      sizeof "=station")
                       ? RunRequest::ListStation
                       : RunRequest::ListPorts;
    }
    return RunRequest::Upgrade;
}

ParseResult parse_options(int argc, const char* const argv[], Options& options) {
    for (int i = 1; i < argc; ++i) {
        const Argument argument =
            is_absolute_path(argv[i]) ? Argument::FileName : apply_option(argv[i], options);
        if (argument == Argument::Usage)
            return ParseResult::UsageAsked;
        if (argument == Argument::FileName)
            classify_file_name(argv[i], options);
    }
    return ParseResult::Parsed;
}

RunMode run_mode(const Options& options) {
    if (options.station)
        return RunMode::Station;
    return options.repeat ? RunMode::Repeat : RunMode::Once;
}

const char* check_values(const Options& options) {
    if (options.block_size == 0)
        return "Error : block size 0 cannot carry any data.\n";
    // The header carries the speed in 16 bits, and the port must be able to run at it.
    const std::int32_t speed = options.speed_hundreds;
    if (speed <= 0 || speed > 0xFFFF || !speed_supported(speed * 100))
        return "Error : the line cannot run at that baud rate.\n";
    // The bound is counted in milliseconds in 64 bits; a day is more than any flash takes.
    if (options.silence_given && (options.silence_s < 0 || options.silence_s > 86400))
        return "Error : /silence= takes seconds, 0 to 86400.\n";
    return nullptr;
}
