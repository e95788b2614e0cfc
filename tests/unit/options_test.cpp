#include "driver/option_text.h"
#include "driver/options.h"
#include "link/serial_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

namespace {

struct Parsed {
    Options options;
    ParseResult result = ParseResult::Parsed;
};

Parsed parse(std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "upgrade");
    Parsed parsed;
    parsed.result =
        parse_options(static_cast<int>(arguments.size()), arguments.data(), parsed.options);
    return parsed;
}

// What a printer writes on standard output.
template <typename Print> std::string printed(Print print) {
    testing::internal::CaptureStdout();
    print();
    return testing::internal::GetCapturedStdout();
}

const char* name_of(const Options& options, ImageKind kind) {
    return options.names[static_cast<int>(kind)];
}

TEST(ParseOptions, NoArgumentsGiveTheDefaults) {
    const Parsed parsed = parse({});
    EXPECT_EQ(parsed.result, ParseResult::Parsed);
    EXPECT_EQ(parsed.options.port, PortChoice::Auto);
    EXPECT_EQ(parsed.options.speed_hundreds, 1152);
    EXPECT_EQ(parsed.options.block_size, 51200U);
    EXPECT_EQ(parsed.options.selection, 0);
    EXPECT_EQ(parsed.options.name_mode, NameMode::None);
    EXPECT_FALSE(parsed.options.repeat);
    EXPECT_FALSE(parsed.options.station);
}

struct NumberCase {
    const char* argument;
    std::int32_t speed;
    std::uint32_t block_size;
};

TEST(ParseOptions, SpeedsAndBlockSizes) {
    const NumberCase cases[] = {
        {"/BAUD=38400", 384, 51200},
        {"/baud=115201", 1152, 51200},
        {"/baud=9600", 96, 51200},
        {"/speed=57600", 576, 51200},
        {"/baud= \t+19200", 192, 51200},
        {"/baud=-9999", -99, 51200},
        {"/baud=abc", 0, 51200},
        {"/baud=4294977296", 100, 51200}, // wraps in 32 bits: 4294977296 - 2^32 = 10000
        {"/block=16384", 1152, 16384},
        {"/block=60000", 1152, 51200},
        {"/block=-1", 1152, 51200},
        {"/block=51200", 1152, 51200},
        {"/block=12x", 1152, 12},
        {"/block=", 1152, 0},
    };
    for (const NumberCase& c : cases) {
        const Parsed parsed = parse({c.argument});
        EXPECT_EQ(parsed.options.speed_hundreds, c.speed) << c.argument;
        EXPECT_EQ(parsed.options.block_size, c.block_size) << c.argument;
    }
}

struct PortCase {
    std::vector<const char*> arguments;
    PortChoice port;
};

TEST(ParseOptions, PortChoice) {
    const PortCase cases[] = {
        {{"/port=COM1"}, PortChoice::Com1},
        {{"/PORT=com2"}, PortChoice::Com2},
        {{"/port=COM2", "/port=auto"}, PortChoice::Com2},
        {{"com1"}, PortChoice::Com1},
        {{"COM12"}, PortChoice::Com1},
        {{"COM1", "COM2"}, PortChoice::Com2},
        {{"/port=com3"}, PortChoice::Auto},
        // Mapping a device changes no port choice.
        {{"/com2=/dev/pts/9"}, PortChoice::Auto},
    };
    for (const PortCase& c : cases) {
        const Parsed parsed = parse(c.arguments);
        EXPECT_EQ(parsed.options.port, c.port) << c.arguments[0];
    }
}

TEST(ParseOptions, DeviceMappingIsTakenAsWritten) {
    const Parsed parsed = parse({"/COM1=/dev/ttyUSB0", "/com2=/tmp/Link"});
    EXPECT_STREQ(parsed.options.devices[0], "/dev/ttyUSB0");
    EXPECT_STREQ(parsed.options.devices[1], "/tmp/Link");
    EXPECT_EQ(parsed.options.name_mode, NameMode::None);
}

struct SelectionCase {
    std::vector<const char*> arguments;
    Selection selection;
    bool repeat;
};

TEST(ParseOptions, SelectionLettersAndRepeat) {
    const SelectionCase cases[] = {
        {{"/f", "/t"}, 6, false},   {{"/f", "/a", "/t"}, 4, false},
        {{"/font"}, 2, false},      {{"/T"}, 4, false},
        {{"/rom"}, 0, true},        {{"repeat"}, 0, true},
        {{"/all", "/f"}, 2, false}, {{"rom.bin", "/a"}, 0, false},
        {{"/R", "/t"}, 4, true},
    };
    for (const SelectionCase& c : cases) {
        const Parsed parsed = parse(c.arguments);
        EXPECT_EQ(parsed.options.selection, c.selection) << c.arguments[0];
        EXPECT_EQ(parsed.options.repeat, c.repeat) << c.arguments[0];
    }
}

TEST(ParseOptions, SlashAKeepsTheGivenNames) {
    const Parsed parsed = parse({"rom.bin", "/a"});
    EXPECT_EQ(parsed.options.name_mode, NameMode::Given);
    EXPECT_STREQ(name_of(parsed.options, ImageKind::Host), "rom.bin");
}

// The usage text is asked for, also after other options: those before it are read, what
// follows it is not.
TEST(ParseOptions, UsageAskedStopsTheReading) {
    for (const char* usage : {"/?", "/h", "/help", "/H"}) {
        const Parsed parsed = parse({"/f", usage, "/baud=9600"});
        EXPECT_EQ(parsed.result, ParseResult::UsageAsked) << usage;
        EXPECT_EQ(parsed.options.selection, 2) << usage;
        EXPECT_EQ(parsed.options.speed_hundreds, 1152) << usage;
    }
}

// An absolute path is a file name whatever option its first directory begins like; an option's
// value may still be a path.
TEST(ParseOptions, AbsolutePathsAreFileNames) {
    struct PathCase {
        const char* argument;
        Selection selection; // 0: taken as an option, not a name
        ImageKind slot;
        bool repeat;
    };
    const PathCase cases[] = {
        {"/tmp/x/v2/rom.bin", 1, ImageKind::Host, false},
        {"/fw/rom.bin", 1, ImageKind::Host, false},
        {"/root/images/rom.bin", 1, ImageKind::Host, false},
        {"/home/tech/rom.bin", 1, ImageKind::Host, false},
        {"/all/font.bin", 2, ImageKind::Font, false},
        {"/repeat/TPLIST.BIN", 4, ImageKind::Tplist, false},
        {"/port=x/rom.bin", 0, ImageKind::Host, false}, // '=' first: the port option
        {"//rom.bin", 1, ImageKind::Host, false},       // a file in the root directory
        {"/rom.bin", 0, ImageKind::Host, true},         // no second '/': the option /r
    };
    for (const PathCase& c : cases) {
        const Parsed parsed = parse({c.argument});
        EXPECT_EQ(parsed.options.selection, c.selection) << c.argument;
        EXPECT_EQ(parsed.options.repeat, c.repeat) << c.argument;
        EXPECT_EQ(parsed.options.port, PortChoice::Auto) << c.argument;
        if (c.selection != 0) {
            EXPECT_EQ(parsed.options.name_mode, NameMode::Given) << c.argument;
            EXPECT_STREQ(name_of(parsed.options, c.slot), c.argument);
        } else {
            EXPECT_EQ(parsed.options.name_mode, NameMode::None) << c.argument;
        }
    }
    const Parsed device = parse({"/com1=/dev/ttyUSB0", "/COM2=/dev/serial/by-id/usb-x"});
    EXPECT_STREQ(device.options.devices[0], "/dev/ttyUSB0");
    EXPECT_STREQ(device.options.devices[1], "/dev/serial/by-id/usb-x");
    EXPECT_EQ(device.options.name_mode, NameMode::None);
}

struct NameCase {
    const char* argument;
    NameMode mode;
    Selection selection;
    ImageKind slot; // where the argument is stored
};

TEST(ClassifyFileName, RecognisesImagesByTheirFirstDotInTheLastTwelveCharacters) {
    const NameCase cases[] = {
        {"tplist.bin", NameMode::Given, 4, ImageKind::Tplist},
        {"TPLIST.BIN.OLD", NameMode::Given, 4, ImageKind::Tplist},
        {"newrom.bin", NameMode::Given, 1, ImageKind::Host},
        {"myfont.bin", NameMode::Given, 2, ImageKind::Font},
        {"rom.bin.bak", NameMode::Given, 1, ImageKind::Host},
        {"C:\\WINDOWS\\ROM.BIN", NameMode::Given, 1, ImageKind::Host},
        {"/home/tech/images/font.bin", NameMode::Given, 2, ImageKind::Font},
        {"readme.txt", NameMode::UnknownFormat, 0, ImageKind::Host},
        {"a.rom.bin", NameMode::UnknownFormat, 0, ImageKind::Host},
        {"rom", NameMode::UnknownFormat, 0, ImageKind::Host},
        {"rom.bi", NameMode::UnknownFormat, 0, ImageKind::Host},
        {"om.bin", NameMode::UnknownFormat, 0, ImageKind::Host},
        {"list.bin", NameMode::UnknownFormat, 0, ImageKind::Host},
        {"", NameMode::UnknownFormat, 0, ImageKind::Host},
    };
    for (const NameCase& c : cases) {
        Options options;
        classify_file_name(c.argument, options);
        EXPECT_EQ(options.name_mode, c.mode) << c.argument;
        EXPECT_EQ(options.selection, c.selection) << c.argument;
        EXPECT_STREQ(name_of(options, c.slot), c.argument) << c.argument;
    }
}

TEST(ClassifyFileName, NinetyNineCharactersFitAHundredDoNot) {
    const std::string fits = std::string(92, 'd') + "rom.bin";
    const std::string too_long = std::string(93, 'd') + "rom.bin";
    Options options;
    classify_file_name(fits.c_str(), options);
    EXPECT_EQ(options.name_mode, NameMode::Given);
    EXPECT_EQ(name_of(options, ImageKind::Host), fits);

    Options long_options;
    classify_file_name(too_long.c_str(), long_options);
    EXPECT_EQ(long_options.name_mode, NameMode::TooLong);
    EXPECT_EQ(long_options.selection, 0);
    EXPECT_STREQ(name_of(long_options, ImageKind::Host), "");
}

TEST(ClassifyFileName, NamesOfDifferentKindsAddUpAndTheLastDecidesTheMode) {
    Parsed parsed = parse({"rom.bin", "font.bin"});
    EXPECT_EQ(parsed.options.selection, 3);
    EXPECT_EQ(parsed.options.name_mode, NameMode::Given);
    EXPECT_STREQ(name_of(parsed.options, ImageKind::Host), "rom.bin");
    EXPECT_STREQ(name_of(parsed.options, ImageKind::Font), "font.bin");

    parsed = parse({"rom.bin", "notes.txt"});
    EXPECT_EQ(parsed.options.name_mode, NameMode::UnknownFormat);
    EXPECT_STREQ(name_of(parsed.options, ImageKind::Host), "notes.txt");

    parsed = parse({"rom.bin", "/t"});
    EXPECT_EQ(parsed.options.selection, 5);
    EXPECT_STREQ(name_of(parsed.options, ImageKind::Tplist), "");
}

TEST(CheckValues, RefusesValuesThatCannotWork) {
    struct Case {
        const char* argument;
        bool refused;
    };
    const Case cases[] = {
        {"/block=0", true},      {"/block=x", true},     {"/baud=0", true},
        {"/baud=-115200", true}, {"/baud=12345", true},  {"/baud=9600000", true},
        {"/baud=38400", false},  {"/baud=57600", false}, {"/baud=115200", false},
        {"/baud=230400", false}, {"/block=1", false},
    };
    for (const Case& c : cases) {
        const Parsed parsed = parse({c.argument});
        EXPECT_EQ(check_values(parsed.options) != nullptr, c.refused) << c.argument;
    }
}

// ---- the printers ----

// The settings lines, as the run prints them after the banner: a station names the ports it
// serves in order, whatever order they were given in.
TEST(PrintSettings, SaysThePortTheSpeedAndTheBlockSize) {
    struct Case {
        std::vector<const char*> arguments;
        const char* text;
    };
    const Case cases[] = {
        {{}, "port : auto\nbaud rate = 115200\nblock size = 51200\n"},
        {{"/port=COM1", "/baud=38400", "/block=16384"},
         "port : COM1\nbaud rate = 38400\nblock size = 16384\n"},
        {{"COM2", "/speed=57600"}, "port : COM2\nbaud rate = 57600\nblock size = 51200\n"},
        {{"/baud=115201", "/block=60000"}, "port : auto\nbaud rate = 115200\nblock size = 51200\n"},
        {{"/station", "/com12=/dev/b", "/com2=/dev/a", "/port=COM1"},
         "port : COM2, COM12\nbaud rate = 115200\nblock size = 51200\n"},
        {{"/station"}, "port : \nbaud rate = 115200\nblock size = 51200\n"},
    };
    for (const Case& c : cases) {
        const Parsed parsed = parse(c.arguments);
        EXPECT_EQ(printed([&] { print_settings(parsed.options); }), c.text)
            << (c.arguments.empty() ? "(none)" : c.arguments[0]);
    }
}

TEST(PrintUsage, IsTheOriginalUsageTextWithTheDevicesOfThisSystem) {
    const std::string usage = printed(print_usage);
    EXPECT_EQ(usage.rfind("usage : upgrade [/options] [filename]\n\noption: port   COM1, COM2, "
                          "AUTO\n",
                          0),
              0U)
        << usage;
    EXPECT_NE(usage.find("\n        com2=  device that COM2 stands for (default " +
                         std::string(default_device(1)) + ")\n"),
              std::string::npos)
        << usage;
}

// ---- --help and the option table ----

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The sections of --help by group, each with its wrapped lines joined into one text.
std::vector<std::string> help_sections() {
    const std::string help = printed(print_help);
    const char* const titles[] = {"\nPort, speed and block:\n", "\nImages:\n",
                                  "\nStation, record, progress, plan:\n", "\nOthers:\n",
                                  "\nExamples:\n"};
    std::vector<std::string> sections;
    for (std::size_t i = 0; i + 1 < std::size(titles); ++i) {
        const std::size_t start = help.find(titles[i]);
        const std::size_t end = help.find(titles[i + 1]);
        EXPECT_LT(start, end) << titles[i] << " missing or out of order";
        if (start >= end || end == std::string::npos) {
            sections.emplace_back();
            continue;
        }
        const std::string section = help.substr(start, end - start);
        // A wrapped line goes on after a line end and the indent of the option's text.
        std::string joined;
        for (std::size_t at = 0; at < section.size(); ++at) {
            const std::size_t indent = section.find_first_not_of(' ', at + 1);
            if (section[at] == '\n' && indent != std::string::npos && indent - at > 20) {
                joined += ' ';
                at = indent - 1;
                continue;
            }
            joined += section[at];
        }
        sections.push_back(joined);
    }
    return sections;
}

// The table is the only way an option is recognised and --help is printed from it: every
// option there is taken by its own entry (no earlier prefix swallows it), has an effect, and is
// shown in its group with what it does; an alias (/speed=, COM2) is named on the line of the
// option above it.
TEST(Help, ShowsEveryOptionOfTheTableInItsGroup) {
    const std::vector<std::string> sections = help_sections();
    ASSERT_EQ(sections.size(), 4U);
    int count = 0;
    const OptionSpec* table = option_table(count);
    ASSERT_GT(count, 0);
    const OptionSpec* shown_with = nullptr;
    for (int i = 0; i < count; ++i) {
        const OptionSpec& option = table[i];
        const std::string argument =
            std::string(option.prefix) + (option.effect == OptionEffect::Device ? "7=/dev/x" : "");
        EXPECT_EQ(find_option(argument.c_str()), &option) << argument;
        if (option.shown != nullptr) {
            shown_with = &option;
            ASSERT_NE(option.help, nullptr) << option.prefix;
        }
        ASSERT_NE(shown_with, nullptr) << option.prefix << ": an alias of nothing";
        EXPECT_EQ(shown_with->group, option.group) << option.prefix;
        const std::string& section = sections[static_cast<std::size_t>(option.group)];
        EXPECT_NE(lower(shown_with->shown).find(lower(option.prefix)), std::string::npos)
            << option.prefix << " is not named in " << shown_with->shown;
        EXPECT_NE(section.find("  " + std::string(shown_with->shown) + " "), std::string::npos)
            << shown_with->shown << " not in its group:\n"
            << section;
        EXPECT_NE(section.find(shown_with->help), std::string::npos)
            << shown_with->help << " not in its group:\n"
            << section;
    }
    // Every effect an option can have is some option's.
    for (int effect = 0; effect <= static_cast<int>(OptionEffect::Version); ++effect)
        EXPECT_TRUE(std::any_of(
            table, table + count,
            [&](const OptionSpec& o) { return o.effect == static_cast<OptionEffect>(effect); }))
            << "effect " << effect << " has no option";
}

// The defaults --help states are the ones the program starts with.
TEST(Help, StatesTheDefaultsInForce) {
    const Options defaults;
    const std::string line_section = help_sections()[0];
    for (const std::string& stated :
         {"(default " + std::to_string(defaults.speed_hundreds * 100) + ")",
          "(default " + std::to_string(defaults.block_size) + ")",
          "(default COM1 " + std::string(default_device(0)) + ", COM2 " + default_device(1) + ")"})
        EXPECT_NE(line_section.find(stated), std::string::npos) << stated << "\n" << line_section;
}

} // namespace
