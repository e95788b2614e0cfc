#include "driver/option_text.h"

#include "link/serial_port.h"
#include "system/console.h"
#include "system/examples.h"

#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

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

// ---- --help ----

constexpr int help_width = 79;  // the lines of --help fit a terminal of 80 columns
constexpr int help_indent = 26; // where an option's text starts

// The default of an option as the program uses it, or false when it has none to say.
bool option_default(OptionEffect effect, char* text, std::size_t size) {
    const Options defaults;
    switch (effect) {
    case OptionEffect::Port:
        std::snprintf(text, size, "both, the receiver's first byte picks one");
        return true;
    case OptionEffect::Device:
        std::snprintf(text, size, "COM1 %s, COM2 %s", default_device(0), default_device(1));
        return true;
    case OptionEffect::Baud:
        std::snprintf(text, size, "%ld", static_cast<long>(defaults.speed_hundreds) * 100);
        return true;
    case OptionEffect::Block:
        std::snprintf(text, size, "%u", defaults.block_size);
        return true;
    case OptionEffect::Silence:
        std::snprintf(text, size,
                      "a station waits as long as the flash chip may take at worst, "
                      "one port for ever");
        return true;
    default:
        return false;
    }
}

// "  SHOWN   TEXT", the text wrapped at spaces to help_width and its further lines indented;
// a name too long for its column stands on a line of its own.
void say_entry(const char* shown, const char* text) {
    char line[help_width + 2];
    int column = std::snprintf(line, sizeof line, "  %-*s", help_indent - 3, shown);
    if (std::strlen(shown) > static_cast<std::size_t>(help_indent - 4)) {
        say("%s\n", line);
        column = std::snprintf(line, sizeof line, "%*s", help_indent - 1, "");
    }
    const int start = column;
    for (const char* word = text; *word != '\0';) {
        const auto length = static_cast<int>(std::strcspn(word, " "));
        if (column + 1 + length > help_width && column > start) {
            say("%s\n", line);
            column = std::snprintf(line, sizeof line, "%*s", help_indent - 1, "");
        }
        if (column + 1 + length <= help_width)
            column += std::snprintf(line + column, sizeof line - static_cast<std::size_t>(column),
                                    " %.*s", length, word);
        word += length;
        while (*word == ' ')
            ++word;
    }
    say("%s\n", line);
}

void say_option(const OptionSpec& option) {
    char text[256];
    char value[96];
    if (option_default(option.effect, value, sizeof value))
        std::snprintf(text, sizeof text, "%s (default %s)", option.help, value);
    else
        std::snprintf(text, sizeof text, "%s", option.help);
    say_entry(option.shown, text);
}

void say_examples() {
    const SystemExamples& on = system_examples();
    say("Examples:\n");
    say("  upgrade /list\n");
    say("  upgrade /com1=%s /port=com1\n", on.adapter);
    if (on.stable_name != nullptr)
        say("  upgrade /com1=%s /port=com1 tplist.bin\n", on.stable_name);
    say("  upgrade /com1=%s /port=com1 /plan /baud=57600 rom.bin font.bin\n", on.adapter);
    say("  upgrade /station /com1=%s /com2=%s /log=records.jsonl /progress\n", on.adapter,
        on.second);
}

} // namespace

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

void print_help() {
    static const char* const titles[] = {
        "Port, speed and block:", "Images:", "Station, record, progress, plan:", "Others:"};
    int count = 0;
    const OptionSpec* table = option_table(count);
    say("usage: upgrade [/options] [image files]\n\n");
    say("Writes a satellite receiver's host program, font and transponder list into its\n"
        "flash over a serial line. Options are taken by their first letters and in any\n"
        "case (/all is /a).\n");
    for (int group = 0; group < static_cast<int>(std::size(titles)); ++group) {
        say("\n%s\n", titles[group]);
        if (static_cast<OptionGroup>(group) == OptionGroup::Images)
            say_entry("FILE", "an image by its name: ...rom.bin, ...font.bin, ...tplist.bin; "
                              "without any, the ones present in this directory");
        for (int i = 0; i < count; ++i) {
            const OptionSpec& option = table[i];
            if (option.group == static_cast<OptionGroup>(group) && option.shown != nullptr)
                say_option(option);
        }
    }
    say("\n");
    say_examples();
    say("\nExit status:\n");
    say_entry("0", "the download finished; /plan with nothing refused; /list, --help, "
                   "--version");
    say_entry("1", "the usage text; a value, name or record file that cannot work; no port "
                   "opened; a download refused or failed (a station: any that did not finish)");
    say_entry("27", "ESC while waiting for a receiver");
    say("\nThe manual: %s\n", system_examples().manual);
}
