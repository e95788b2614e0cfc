// Start-up of the real program: usage text, settings report, file-name report and its errors,
// ports that cannot be opened and values that cannot work. None of these needs a receiver.

#include "harness.h"

#include <cctype>
#include <fcntl.h>
#include <unistd.h>

namespace e2e {
namespace {

using e2e::PrintTo; // case names in failure messages

const char* const usage_lines[] = {
    "usage : upgrade [/options] [filename]\n",
    "\n",
    "option: port   COM1, COM2, AUTO\n",
    "        baud   38400, 57600, 115200\n",
    "        block  block size (ex: 16384, max = 51200)\n",
    "        COM1   same as /port=COM1\n",
    "        COM2   same as /port=COM2\n",
    "        speed  same as /baud\n",
    "        a      \"rom.bin\" + \"font.bin\" + \"tplist.bin\". \n",
    "        h      \"rom.bin\" only\n",
    "        f      \"font.bin\" only\n",
    "        t      \"tplist.bin\" only\n",
    "        r      repeat upgrade\n",
    "        h      this help message.\n",
    "        ?      this help message.\n",
    "\nfilename : Olny \"ROM.BIN\", \"FONT.BIN\" or \"TPLIST.BIN\".\n",
    "\n",
    "example:\n",
    "   upgrade /port=auto /baud=115200 /block=16384\n",
    "   upgrade /port=COM1 /speed=115200 /block=32768\n",
    "   upgrade COM2 /speed=38400 /block=32768\n",
    "   upgrade C:\\WINDOWS\\ROM.BIN\n",
    "\n",
    "default parameter:\n",
    "   /port=auto /baud=115200 /block=16384 /all\n",
};

std::string lower(std::string text) {
    for (auto& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// ---- usage ----

struct UsageCase {
    const char* name;
    std::vector<std::string> args;
};

class Usage : public E2eTest, public ::testing::WithParamInterface<UsageCase> {};

// The 25 lines come word for word and in order; the only lines allowed besides them are the
// added ones for the device options /com1= and /com2= (and empty lines setting them apart).
// No settings report follows.
TEST_P(Usage, PrintsTheUsageTextAndEndsWithStatus1) {
    start_upgrade(GetParam().args);
    ASSERT_EQ(wait_upgrade(), 1);
    const std::string& out = upgrade.out.data;
    ASSERT_EQ(out.substr(0, banner().size()), banner());
    std::string expected_text;
    for (const char* line : usage_lines)
        expected_text += line;
    auto expected = split_lines(expected_text);
    auto actual = split_lines(out.substr(banner().size()));
    std::size_t next = 0;
    for (const auto& line : actual) {
        if (next < expected.size() && line == expected[next]) {
            ++next;
            continue;
        }
        std::string text = lower(line);
        EXPECT_TRUE(line.empty() || text.find("com1") != std::string::npos ||
                    text.find("com2") != std::string::npos)
            << "line not in the usage text: \"" << printable(line) << "\"";
    }
    EXPECT_EQ(next, expected.size()) << "usage line missing or out of order: \""
                                     << (next < expected.size() ? expected[next] : "") << "\"";
    EXPECT_EQ(out.back(), '\n');
    EXPECT_EQ(out.find("port : "), std::string::npos) << "settings report after the usage text";
}

INSTANTIATE_TEST_SUITE_P(
    E2e, Usage,
    ::testing::Values(UsageCase{"question_mark", {"/?"}}, UsageCase{"h", {"/h"}},
                      UsageCase{"help_word", {"/help"}},
                      UsageCase{"after_options", {"/baud=38400", "COM2", "/block=100", "/?"}},
                      UsageCase{"upper_case_after_name", {"rom.bin", "/H"}}),
    CaseName());

// ---- settings report and name report: the program reaches "ready." ----

struct ReadyCase {
    const char* name;
    std::vector<std::string> args;
    std::string settings; // the settings report
    std::string names;    // the name report
};

class ReadyText : public E2eTest, public ::testing::WithParamInterface<ReadyCase> {};

// Banner, settings report and name report exactly, then "ready."; ESC then ends the run with
// status 27 and nothing more is printed.
TEST_P(ReadyText, PrintsTheStartUpTextExactly) {
    start_upgrade(GetParam().args);
    ASSERT_TRUE(wait_output("ready.\n"));
    std::string expected = banner() + GetParam().settings + GetParam().names + "ready.\n";
    EXPECT_EQ(printable(upgrade.out.data), printable(expected));
    ASSERT_TRUE(wait_console_keys()) << "the console was not switched to key input";
    press("\x1b");
    EXPECT_EQ(wait_upgrade(prompt_ms), 27);
    EXPECT_EQ(printable(upgrade.out.data), printable(expected));
}

std::string long_name(std::size_t length) {
    return std::string(length - 7, 'a') + "rom.bin";
}

INSTANTIATE_TEST_SUITE_P(
    Settings, ReadyText,
    ::testing::Values(
        ReadyCase{"no_arguments", {}, settings_report("auto", 1152, 51200), ""},
        ReadyCase{"baud_upper_case", {"/BAUD=38400"}, settings_report("auto", 384, 51200), ""},
        ReadyCase{"baud_truncated", {"/baud=115201"}, settings_report("auto", 1152, 51200), ""},
        ReadyCase{"speed_alias", {"/speed=57600"}, settings_report("auto", 576, 51200), ""},
        ReadyCase{"baud_230400", {"/baud=230400"}, settings_report("auto", 2304, 51200), ""},
        ReadyCase{"block_clamped", {"/block=60000"}, settings_report("auto", 1152, 51200), ""},
        ReadyCase{"block_negative", {"/block=-1"}, settings_report("auto", 1152, 51200), ""},
        ReadyCase{"block_16384", {"/block=16384"}, settings_report("auto", 1152, 16384), ""},
        ReadyCase{"block_1", {"/block=1"}, settings_report("auto", 1152, 1), ""},
        ReadyCase{"port_com2_then_auto",
                  {"/port=COM2", "/port=auto"},
                  settings_report("COM2", 1152, 51200),
                  ""},
        ReadyCase{"port_word_com1", {"com1"}, settings_report("COM1", 1152, 51200), ""},
        ReadyCase{"port_com12_is_com1", {"COM12"}, settings_report("COM1", 1152, 51200), ""},
        ReadyCase{"all_together",
                  {"/port=com2", "/speed=38400", "/block=32768", "/r", "/a"},
                  settings_report("COM2", 384, 32768),
                  ""}),
    CaseName());

std::string defaults() {
    return settings_report("auto", 1152, 51200);
}

INSTANTIATE_TEST_SUITE_P(
    Names, ReadyText,
    ::testing::Values(ReadyCase{"host", {"rom.bin"}, defaults(), "File name : rom.bin\n\n"},
                      ReadyCase{"font", {"font.bin"}, defaults(), "File name : font.bin\n\n"},
                      ReadyCase{"tplist", {"tplist.bin"}, defaults(), "File name : tplist.bin\n\n"},
                      ReadyCase{"host_font",
                                {"font.bin", "rom.bin"},
                                defaults(),
                                "File name : rom.bin\n            font.bin\n\n"},
                      ReadyCase{"host_tplist",
                                {"tplist.bin", "rom.bin"},
                                defaults(),
                                "File name : rom.bin\n            tplist.bin\n\n"},
                      ReadyCase{"font_tplist",
                                {"tplist.bin", "font.bin"},
                                defaults(),
                                "File name : font.bin\n            tplist.bin\n\n"},
                      ReadyCase{"all_with_paths_and_case",
                                {"TPLIST.BIN.OLD", "img/myfont.bin", "C:\\WINDOWS\\ROM.BIN"},
                                defaults(),
                                "File name : C:\\WINDOWS\\ROM.BIN\n            img/myfont.bin\n"
                                "            TPLIST.BIN.OLD\n\n"},
                      ReadyCase{"host_name_and_tplist_letter",
                                {"rom.bin", "/t"},
                                defaults(),
                                "File name : rom.bin\n            \n\n"},
                      ReadyCase{"letters_only", {"/f", "/t"}, defaults(), ""},
                      ReadyCase{"rom_is_repeat", {"/rom"}, defaults(), ""},
                      // A name's control bytes are shown, never sent to the terminal.
                      ReadyCase{"name_that_would_retitle_the_terminal",
                                {"\x1b]0;owned\x07rom.bin"},
                                defaults(),
                                "File name : ^[]0;owned^Grom.bin\n\n"},
                      ReadyCase{"name_of_99",
                                {long_name(99)},
                                defaults(),
                                "File name : " + long_name(99) + "\n\n"}),
    CaseName());

// ---- start-up failures: one message, status 1, no "ready." ----

struct FailureCase {
    const char* name;
    std::vector<std::string> args;
    std::string settings;
    std::string message; // exact; empty: any single line
    bool com1_missing = false;
    bool com2_missing = false;
};

class StartFailure : public E2eTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(StartFailure, PrintsOneMessageAndEndsWithStatus1) {
    const auto& c = GetParam();
    if (c.com1_missing)
        com_device[0] = "/nonexistent-upgrade-e2e/com1";
    if (c.com2_missing)
        com_device[1] = "/nonexistent-upgrade-e2e/com2";
    start_upgrade(c.args);
    EXPECT_EQ(wait_upgrade(), 1);
    const std::string head = banner() + c.settings;
    const std::string& out = upgrade.out.data;
    ASSERT_EQ(printable(out.substr(0, head.size())), printable(head));
    std::string rest = out.substr(head.size());
    if (!c.message.empty()) {
        EXPECT_EQ(printable(rest), printable(c.message));
    } else {
        // A value refused before any port is opened: exactly one line of its own, and not the
        // complaint about the port (COM1 is mapped to a device that does not exist).
        EXPECT_FALSE(rest.empty());
        EXPECT_EQ(rest.find('\n'), rest.size() - 1) << "not one line: " << printable(rest);
        EXPECT_EQ(rest.find("Failed to open the port."), std::string::npos)
            << "the port was opened before the values were checked";
    }
    EXPECT_EQ(out.find("ready."), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Names, StartFailure,
    ::testing::Values(FailureCase{"unknown_format",
                                  {"readme.txt"},
                                  defaults(),
                                  "\nFile name : readme.txt\nDon't know File format."},
                      FailureCase{"unknown_format_with_control_bytes",
                                  {"\x1b[2Jreadme.txt"},
                                  defaults(),
                                  "\nFile name : ^[[2Jreadme.txt\nDon't know File format."},
                      FailureCase{"dot_too_early",
                                  {"a.rom.bin"},
                                  defaults(),
                                  "\nFile name : a.rom.bin\nDon't know File format."},
                      FailureCase{"last_name_decides",
                                  {"rom.bin", "notes.doc"},
                                  defaults(),
                                  "\nFile name : notes.doc\nDon't know File format."},
                      FailureCase{"name_of_100",
                                  {long_name(100)},
                                  defaults(),
                                  "Error : File name is longer too."},
                      FailureCase{"long_name_after_bad_one",
                                  {"readme.txt", long_name(150)},
                                  defaults(),
                                  "Error : File name is longer too."}),
    CaseName());

INSTANTIATE_TEST_SUITE_P(
    Ports, StartFailure,
    ::testing::Values(
        FailureCase{"named_com1_missing",
                    {"/port=com1"},
                    settings_report("COM1", 1152, 51200),
                    "Failed to open the port.\n",
                    true,
                    false},
        FailureCase{"named_com2_missing",
                    {"COM2"},
                    settings_report("COM2", 1152, 51200),
                    "Failed to open the port.\n",
                    false,
                    true},
        FailureCase{"auto_both_missing", {}, defaults(), "Failed to open the port.\n", true, true},
        // Ports are opened before the names are reported: the port's complaint comes first.
        FailureCase{"port_before_name",
                    {"/port=com1", "readme.txt"},
                    settings_report("COM1", 1152, 51200),
                    "Failed to open the port.\n",
                    true,
                    false}),
    CaseName());

INSTANTIATE_TEST_SUITE_P(
    Values, StartFailure,
    ::testing::Values(
        FailureCase{
            "block_0", {"/port=com1", "/block=0"}, settings_report("COM1", 1152, 0), "", true},
        FailureCase{"block_without_digits",
                    {"/port=com1", "/block=abc"},
                    settings_report("COM1", 1152, 0),
                    "",
                    true},
        FailureCase{"speed_not_standard",
                    {"/port=com1", "/baud=12345"},
                    settings_report("COM1", 123, 51200),
                    "",
                    true},
        FailureCase{
            "speed_0", {"/port=com1", "/baud=0"}, settings_report("COM1", 0, 51200), "", true},
        FailureCase{"speed_negative",
                    {"/port=com1", "/baud=-115200"},
                    settings_report("COM1", -1152, 51200),
                    "",
                    true},
        FailureCase{"speed_beyond_header_field",
                    {"/port=com1", "/speed=100000000"},
                    settings_report("COM1", 1000000, 51200),
                    "",
                    true}),
    CaseName());

// A port that another program holds counts as a port that cannot be opened.
TEST_F(E2eTest, PortHeldByAnotherRunCannotBeOpened) {
    start_upgrade({"/port=com1"});
    ASSERT_TRUE(wait_output("ready.\n"));

    Child& second =
        launch_other_upgrade({"/com1=" + com[0].path, "/com2=" + com[1].path, "/port=com1"});
    EXPECT_EQ(wait_exit(second), 1);
    EXPECT_EQ(
        printable(second.out.data),
        printable(banner() + settings_report("COM1", 1152, 51200) + "Failed to open the port.\n"));

    // The first run still owns its port and still answers.
    ASSERT_TRUE(wait_console_keys());
    press("\x1b");
    EXPECT_EQ(wait_upgrade(prompt_ms), 27);
}

// A virtual line (its other end stays open between runs) must take the next run once this one
// has ended, also when it was ended by a signal.
TEST_F(E2eTest, TheNextRunOpensTheSamePortAfterThisOneEnded) {
    for (int run = 0; run < 2; ++run) {
        Child& next = launch_other_upgrade(
            {"/com1=" + com[0].path, "/com2=" + com[1].path, "/port=com1", "/baud=57600"});
        ASSERT_TRUE(wait_for(next.out, "ready.\n", start_ms)) << "run " << run;
        kill(next.pid, SIGTERM);
        EXPECT_EQ(wait_exit(next), 128 + SIGTERM);
    }
}

} // namespace
} // namespace e2e
