#include "sim_options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// An option's name and its value, split from "--name VALUE" or "--name=VALUE".
struct Arg {
    std::string name;
    const char* value = nullptr; // nullptr when the option has no value (yet)
    bool inline_value = false;   // the value came after '='
};

enum class Parsed { Done, Failed, Unknown };

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

struct Escape {
    char letter;
    char byte;
};

constexpr Escape simple_escapes[] = {{'r', '\r'},  {'n', '\n'}, {'t', '\t'},
                                     {'\\', '\\'}, {'0', '\0'}, {'e', '\x1B'}};

// One escape after a backslash at text[i]; advances i past it. False for an unknown one.
bool parse_one_escape(const char* text, std::size_t& i, std::string& bytes) {
    const char c = text[i + 1];
    i += 2;
    for (const Escape& escape : simple_escapes)
        if (escape.letter == c) {
            bytes += escape.byte;
            return true;
        }
    if (c != 'x')
        return false;
    int value = hex_digit(text[i]);
    if (value < 0)
        return false;
    ++i;
    const int second = hex_digit(text[i]);
    if (second >= 0) {
        value = value * 16 + second;
        ++i;
    }
    bytes += static_cast<char>(value);
    return true;
}

void complain(const char* format, const char* what, const char* value) {
    std::fprintf(stderr, "receiver-sim: ");
    std::fprintf(stderr, format, what, value);
    std::fprintf(stderr, "\nreceiver-sim: try --help\n");
}

// A whole number from 0 to `max` (decimal, or hexadecimal after 0x).
bool parse_number(const char* text, std::uint64_t max, std::uint64_t& value) {
    if (text[0] < '0' || text[0] > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0' || parsed > max)
        return false;
    value = parsed;
    return true;
}

template <typename T> bool take_number(const Arg& arg, std::uint64_t max, T& target) {
    std::uint64_t value = 0;
    if (!parse_number(arg.value, max, value)) {
        complain("%s: '%s' is not a number in range", arg.name.c_str(), arg.value);
        return false;
    }
    target = static_cast<T>(value);
    return true;
}

bool take_text(const Arg& arg, std::string& target) {
    if (!parse_escapes(arg.value, target)) {
        complain("%s: bad escape in '%s'", arg.name.c_str(), arg.value);
        return false;
    }
    return true;
}

constexpr std::uint64_t max_ms = 3600000;

bool take_version(const Arg& arg, SimOptions& options) {
    const char* dot = std::strchr(arg.value, '.');
    std::uint64_t major = 0;
    std::uint64_t minor = 0;
    const std::string major_text(arg.value, dot != nullptr ? dot : arg.value);
    if (dot == nullptr || !parse_number(major_text.c_str(), 255, major) ||
        !parse_number(dot + 1, 255, minor)) {
        complain("%s: '%s' is not MAJOR.MINOR (0 to 255 each)", arg.name.c_str(), arg.value);
        return false;
    }
    options.version_major = static_cast<std::uint8_t>(major);
    options.version_minor = static_cast<std::uint8_t>(minor);
    return true;
}

bool take_resend(const Arg& arg, SimOptions& options) {
    const char* colon = std::strchr(arg.value, ':');
    std::uint64_t block = 0;
    std::uint64_t count = 0;
    const std::string block_text(arg.value, colon != nullptr ? colon : arg.value);
    if (colon == nullptr || !parse_number(block_text.c_str(), 0xFFFFFFFF, block) ||
        !parse_number(colon + 1, 1000000, count)) {
        complain("%s: '%s' is not BLOCK:COUNT", arg.name.c_str(), arg.value);
        return false;
    }
    options.resends.push_back(
        {static_cast<std::uint32_t>(block), static_cast<std::uint32_t>(count)});
    return true;
}

bool take_restart(const Arg& arg, SimOptions& options) {
    static const struct {
        const char* name;
        RestartPoint point;
    } points[] = {{"ready", RestartPoint::Ready},
                  {"reply", RestartPoint::Reply},
                  {"header", RestartPoint::Header},
                  {"block:", RestartPoint::Block},
                  {"resend:", RestartPoint::Resend}};
    for (const auto& point : points) {
        const std::size_t length = std::strlen(point.name);
        if (std::strncmp(arg.value, point.name, length) != 0)
            continue;
        options.restart_at = point.point;
        if (point.name[length - 1] != ':')
            return arg.value[length] == '\0';
        std::uint64_t block = 0;
        if (!parse_number(arg.value + length, 0xFFFFFFFF, block))
            break;
        options.restart_block = static_cast<std::int64_t>(block);
        return true;
    }
    complain("%s: '%s' is not ready, reply, header, block:K or resend:K", arg.name.c_str(),
             arg.value);
    return false;
}

Parsed parse_line_option(const Arg& arg, SimOptions& o) {
    if (arg.name == "--device" || arg.name == "--link") {
        if (arg.value[0] == '\0') {
            complain("%s: needs a path%s", arg.name.c_str(), "");
            return Parsed::Failed;
        }
        if (arg.name == "--link") {
            o.link = arg.value;
            return Parsed::Done;
        }
        o.device = arg.value;
        o.use_pty = false;
        return Parsed::Done;
    }
    if (arg.name == "--flash") {
        o.flash = arg.value;
        return Parsed::Done;
    }
    if (arg.name == "--report") {
        o.report = arg.value;
        return Parsed::Done;
    }
    if (arg.name == "--timeout")
        return take_number(arg, 86400, o.timeout_s) ? Parsed::Done : Parsed::Failed;
    return Parsed::Unknown;
}

Parsed parse_announce_option(const Arg& arg, SimOptions& o) {
    bool ok = true;
    if (arg.name == "--delay")
        ok = take_number(arg, max_ms, o.delay_ms);
    else if (arg.name == "--stray")
        ok = take_text(arg, o.stray);
    else if (arg.name == "--announce")
        ok = take_text(arg, o.announce);
    else if (arg.name == "--announce-every")
        ok = take_number(arg, max_ms, o.announce_every_ms);
    else if (arg.name == "--downloads")
        ok = take_number(arg, 1000000, o.downloads);
    else if (arg.name == "--header-wait")
        ok = take_number(arg, max_ms, o.header_wait_ms);
    else
        return Parsed::Unknown;
    return ok ? Parsed::Done : Parsed::Failed;
}

Parsed parse_reply_option(const Arg& arg, SimOptions& o) {
    bool ok = true;
    if (arg.name == "--manufacturer")
        ok = take_number(arg, 0xFFFF, o.manufacturer_id);
    else if (arg.name == "--device-id")
        ok = take_number(arg, 0xFFFF, o.device_id);
    else if (arg.name == "--version")
        ok = take_version(arg, o);
    else if (arg.name == "--text")
        ok = take_text(arg, o.text);
    else if (arg.name == "--block-text")
        ok = take_text(arg, o.block_text);
    else if (arg.name == "--reply-short")
        ok = take_number(arg, 10, o.reply_short);
    else if (arg.name == "--reply-delay")
        ok = take_number(arg, max_ms, o.reply_delay_ms);
    else if (arg.name == "--ready-delay")
        ok = take_number(arg, max_ms, o.ready_delay_ms);
    else if (arg.name == "--chatter-ms")
        ok = take_number(arg, max_ms, o.chatter_ms);
    else
        return Parsed::Unknown;
    return ok ? Parsed::Done : Parsed::Failed;
}

Parsed parse_fault_option(const Arg& arg, SimOptions& o) {
    bool ok = true;
    if (arg.name == "--resend")
        ok = take_resend(arg, o);
    else if (arg.name == "--no-mark-at")
        ok = take_number(arg, 0xFFFFFFFF, o.no_mark_at);
    else if (arg.name == "--silent-text")
        ok = take_text(arg, o.silent_text);
    else if (arg.name == "--stop-reading-at")
        ok = take_number(arg, 0xFFFFFFFF, o.stop_reading_at);
    else if (arg.name == "--hangup-at")
        ok = take_number(arg, 0xFFFFFFFF, o.hangup_at);
    else if (arg.name == "--mark-delay-ms")
        ok = take_number(arg, max_ms, o.mark_delay_ms);
    else if (arg.name == "--restart-at")
        ok = take_restart(arg, o);
    else if (arg.name == "--restart-silence")
        ok = take_number(arg, max_ms, o.restart_silence_ms);
    else
        return Parsed::Unknown;
    return ok ? Parsed::Done : Parsed::Failed;
}

// Options without a value. Unknown when `name` is not one of them.
Parsed parse_flag(const std::string& name, SimOptions& o, bool& help) {
    if (name == "--pty")
        o.use_pty = true;
    else if (name == "--stay")
        o.stay = true;
    else if (name == "--reply-bad-crc")
        o.reply_bad_crc = true;
    else if (name == "--verbose")
        o.verbose = true;
    else if (name == "--help" || name == "-h")
        help = true;
    else
        return Parsed::Unknown;
    return Parsed::Done;
}

Parsed parse_valued(const Arg& arg, SimOptions& o) {
    Parsed parsed = parse_line_option(arg, o);
    if (parsed == Parsed::Unknown)
        parsed = parse_announce_option(arg, o);
    if (parsed == Parsed::Unknown)
        parsed = parse_reply_option(arg, o);
    if (parsed == Parsed::Unknown)
        parsed = parse_fault_option(arg, o);
    return parsed;
}

// --pty and --device name two different lines; the last one given would silently win.
bool check_combination(const SimOptions& o, bool pty_given) {
    if (o.downloads < 1 || o.timeout_s < 1) {
        complain("%s%s must be at least 1", "--downloads and --timeout", "");
        return false;
    }
    if (pty_given && !o.device.empty()) {
        complain("%s%s cannot be used together", "--pty and --device", "");
        return false;
    }
    if (!o.use_pty && !o.link.empty()) {
        complain("%s%s needs --pty", "--link", "");
        return false;
    }
    return true;
}

} // namespace

bool parse_escapes(const char* text, std::string& bytes) {
    bytes.clear();
    std::size_t i = 0;
    while (text[i] != '\0') {
        if (text[i] != '\\') {
            bytes += text[i++];
            continue;
        }
        if (text[i + 1] == '\0' || !parse_one_escape(text, i, bytes))
            return false;
    }
    return true;
}

bool parse_sim_options(int argc, const char* const argv[], SimOptions& options, bool& help) {
    help = false;
    bool pty_given = false;
    for (int i = 0; i < argc; ++i) {
        Arg arg;
        const char* equals = std::strchr(argv[i], '=');
        arg.name = equals != nullptr ? std::string(argv[i], equals) : std::string(argv[i]);
        arg.inline_value = equals != nullptr;
        arg.value = equals != nullptr ? equals + 1 : nullptr;
        if (!arg.inline_value) {
            const Parsed flag = parse_flag(arg.name, options, help);
            pty_given = pty_given || (flag == Parsed::Done && arg.name == "--pty");
            if (flag == Parsed::Done)
                continue;
            if (i + 1 < argc)
                arg.value = argv[i + 1];
        }
        const Parsed parsed = arg.value != nullptr ? parse_valued(arg, options) : Parsed::Unknown;
        if (parsed == Parsed::Failed)
            return false;
        if (parsed == Parsed::Unknown) {
            complain("unknown option or missing value: %s%s", argv[i], "");
            return false;
        }
        if (!arg.inline_value)
            ++i;
    }
    return check_combination(options, pty_given);
}

std::uint32_t resends_for(const SimOptions& options, std::uint32_t block) {
    std::uint32_t count = 0;
    for (const ResendRule& rule : options.resends)
        if (rule.block == block)
            count = rule.count; // the last rule for a block wins
    return count;
}

void print_sim_usage() {
    std::printf(
        "usage: receiver-sim [options]\n"
        "Plays the receiver's boot block at the other end of the serial line.\n"
        "\n"
        "line:\n"
        "  --pty                  create a pseudo-terminal pair, print its path (default)\n"
        "  --device PATH          play on an existing serial device instead\n"
        "  --link PATH            with --pty: also make a symbolic link PATH to the slave\n"
        "announcement:\n"
        "  --delay MS             wait before each announcement (300)\n"
        "  --stray TEXT           bytes sent just before each announcement\n"
        "  --announce TEXT        the announcement (KAL VERON KELDKAR)\n"
        "  --announce-every MS    announce again every MS until the access string comes (0: once)\n"
        "  --downloads N          serve N downloads, then exit (1)\n"
        "  --stay                 after the last download, keep the line open until the host\n"
        "                         closes it (or --timeout)\n"
        "  --header-wait MS       no header within MS after the reply: abandon, announce again\n"
        "identification and text:\n"
        "  --manufacturer ID      flash manufacturer id (0x0001)\n"
        "  --device-id ID         flash device id (0x2249)\n"
        "  --version MAJ.MIN      boot block version (1.2)\n"
        "  --text TEXT            console text before each ready mark of the handshake\n"
        "  --block-text TEXT      console text after each block, before its mark\n"
        "  --reply-short N        send only the first N bytes of the reply\n"
        "  --reply-bad-crc        flip one bit of the reply's CRC\n"
        "  --reply-delay MS       wait before sending the reply\n"
        "  --ready-delay MS       wait between the access string and the first ready mark\n"
        "  --chatter-ms MS        after the header and each block, talk without a break for MS\n"
        "                         from the frame's end, then answer\n"
        "blocks and faults (blocks count from 0 in sending order, resends not counted):\n"
        "  --resend K:N           answer block K with the resend mark N times (repeatable)\n"
        "  --no-mark-at K         never answer block K\n"
        "  --silent-text TEXT     send TEXT after block K of --no-mark-at, then nothing\n"
        "  --stop-reading-at K    stop reading the line when block K starts\n"
        "  --hangup-at K          close the line after half of block K\n"
        "  --mark-delay-ms MS     from the end of a frame to its answer (5)\n"
        "  --restart-at POINT     start again once instead of answering: ready, reply, header,\n"
        "                         block:K or resend:K; silent, then back at 57600 announcing\n"
        "                         every second (or --announce-every) until served again\n"
        "  --restart-silence MS   how long the restarting receiver stays silent (2000)\n"
        "results:\n"
        "  --flash FILE           the simulated 2 MiB flash\n"
        "  --report FILE          append a report of what was received\n"
        "  --timeout S            give up after S seconds in total (60)\n"
        "  --verbose              trace the exchange on standard error\n"
        "TEXT takes the escapes \\r \\n \\t \\\\ \\xHH \\0 \\e.\n"
        "exit status: 0 done, 1 usage or set-up failure, 2 protocol violation, 3 timeout,\n"
        "4 the host closed the line.\n");
}
