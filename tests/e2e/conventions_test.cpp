// What a user finds around the upgrade itself: --help, --version and /list, which open no port,
// and the lines on standard error that say why a port or an image file could not be opened.
// The console text on standard output stays as it always was.

#include "harness.h"

#include <sys/stat.h>

#include <filesystem>

#ifndef UPGRADE_E2E_VERSION
#define UPGRADE_E2E_VERSION ""
#endif

namespace e2e {
namespace {

using e2e::PrintTo; // case names in failure messages

// Devices that cannot be opened: a run that tried would say so on standard error and print
// "Failed to open the port.".
constexpr const char* no_device[2] = {"/nonexistent-upgrade-e2e/com1",
                                      "/nonexistent-upgrade-e2e/com2"};

struct RequestCase {
    const char* name;
    std::vector<std::string> args;
};

// --help, --version and /list answer with status 0 and open no port: the devices given cannot
// be opened, so a port tried would be named on standard error. No banner comes before the
// answer, and it ends its last line.
class Request : public E2eTest, public ::testing::WithParamInterface<RequestCase> {
  protected:
    // The answer on standard output, after the checks that every request shares.
    std::string answer() {
        com_device[0] = no_device[0];
        com_device[1] = no_device[1];
        start_upgrade(GetParam().args);
        EXPECT_EQ(wait_upgrade(), 0);
        EXPECT_EQ(upgrade.err.data, "") << "a port was tried";
        const std::string& out = upgrade.out.data;
        EXPECT_TRUE(!out.empty() && out.back() == '\n') << printable(out);
        EXPECT_EQ(out.find("Satellite receiver upgrader"), std::string::npos) << "banner";
        return out;
    }
};

class Help : public Request {};
class Version : public Request {};
class PortListing : public Request {};

// The program's own help, not the original usage text (that stays with /? and /h).
TEST_P(Help, IsTheProgramsOwn) {
    const std::string out = answer();
    EXPECT_EQ(out.rfind("usage: upgrade [/options]", 0), 0u);
    EXPECT_EQ(out.find("usage : upgrade [/options] [filename]"), std::string::npos);
    for (const char* word :
         {"/port=COM1", "/comN=", "/list", "/log=", "/progress", "/station", "/plan", "--help",
          "--version", "/com1=/dev/ttyUSB0", "/dev/serial/by-id/", "Exit status:", "man upgrade"})
        EXPECT_NE(out.find(word), std::string::npos) << word;
    EXPECT_EQ(out.find("C:\\WINDOWS"), std::string::npos);
    EXPECT_EQ(out.find("/block=16384"), std::string::npos) << "the old default";
}

TEST_P(Version, IsOneLine) {
    EXPECT_EQ(answer(), std::string("upgrade ") + UPGRADE_E2E_VERSION + "\n");
}

// This machine's serial ports, as the system describes them: either the one line that says
// there are none, or a line per port that names a serial device the system has (its sysfs
// entry) and ends with the /com1= argument naming a path that is there. Which ports a machine
// has, and what is said of each, is the port list's unit test, on a sysfs tree of its own.
TEST_P(PortListing, NamesThisMachinesPorts) {
    const std::string out = answer();
    if (out == "No serial ports found.\n")
        return;
    const std::vector<std::string> lines = split_lines(out);
    ASSERT_FALSE(lines.empty());
    const std::string argument = "  /com1=";
    for (const std::string& line : lines) {
        const std::size_t at = line.rfind(argument);
        ASSERT_NE(at, std::string::npos) << printable(out);
        const std::string device = line.substr(0, line.find(' '));
        const std::string named = line.substr(at + argument.size());
        ASSERT_EQ(device.rfind("/dev/", 0), 0u) << line;
        EXPECT_TRUE(std::filesystem::exists("/sys/class/tty/" + device.substr(5))) << line;
        EXPECT_EQ(named.rfind("/dev/", 0), 0u) << line;
        EXPECT_TRUE(std::filesystem::exists(named)) << line;
    }
}

INSTANTIATE_TEST_SUITE_P(E2e, Help,
                         ::testing::Values(RequestCase{"alone", {"--help"}},
                                           RequestCase{"after_options",
                                                       {"/port=com1", "rom.bin", "--help"}}),
                         CaseName());
INSTANTIATE_TEST_SUITE_P(E2e, Version,
                         ::testing::Values(RequestCase{"alone", {"--version"}},
                                           RequestCase{"before_bad_name",
                                                       {"--version", "readme.txt"}}),
                         CaseName());
INSTANTIATE_TEST_SUITE_P(E2e, PortListing,
                         ::testing::Values(RequestCase{"alone", {"/list"}},
                                           RequestCase{"in_capitals_with_options",
                                                       {"COM2", "/LIST"}}),
                         CaseName());

// ---- ports that cannot be opened ----

// In auto mode a run with only COM1 present is the usual case: nothing on standard error.
TEST_F(E2eTest, AMissingSecondPortIsNoNews) {
    com_device[1] = no_device[1];
    start_upgrade({});
    ASSERT_TRUE(wait_output("ready.\n"));
    EXPECT_TRUE(stays_quiet(upgrade.err));
    EXPECT_EQ(upgrade.err.data, "");
    ASSERT_TRUE(wait_console_keys());
    press("\x1b");
    EXPECT_EQ(wait_upgrade(prompt_ms), 27);
}

// With no port open, each one tried is named with the system's reason.
TEST_F(E2eTest, WithNoPortOpenEachIsNamedWithItsReason) {
    com_device[0] = no_device[0];
    com_device[1] = dir; // a directory: opened, but no serial device
    start_upgrade({});
    EXPECT_EQ(wait_upgrade(), 1);
    EXPECT_EQ(upgrade.err.data, std::string("upgrade: ") + no_device[0] +
                                    ": cannot open: No such file or directory\nupgrade: " + dir +
                                    ": cannot open: Is a directory\n");
    EXPECT_EQ(upgrade.out.data,
              banner() + settings_report("auto", 1152, 51200) + "Failed to open the port.\n");
}

// ---- image files that cannot be opened ----

struct ImageCase {
    const char* name;
    std::vector<std::string> args;
    const char* present;   // image files written before the run, separated by spaces
    const char* console;   // standard output after "ready.\n"
    std::string complaint; // standard error
};

class MissingImage : public E2eTest, public ::testing::WithParamInterface<ImageCase> {};

TEST_P(MissingImage, NamesTheFileAndTheReason) {
    const auto& c = GetParam();
    for (const std::string& name : split_lines(std::string(c.present) + "\n")) {
        if (!name.empty()) {
            ASSERT_TRUE(write_file(path(name), image_bytes(100000, 1)));
        }
    }
    ASSERT_EQ(mkdir(path("sub").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(path("sub/rom.bin").c_str(), 0700), 0); // a name that is no file
    start_upgrade(c.args);
    ASSERT_TRUE(wait_output("ready.\n"));
    receiver_sends(0, announcement);
    EXPECT_EQ(wait_upgrade(prompt_ms), 1);
    const std::string& out = upgrade.out.data;
    EXPECT_EQ(printable(out.substr(out.find("ready.\n") + 7)), printable(c.console));
    EXPECT_EQ(upgrade.err.data, c.complaint);
}

INSTANTIATE_TEST_SUITE_P(
    E2e, MissingImage,
    ::testing::Values(
        ImageCase{"one_image",
                  {"/port=com1", "/t"},
                  "",
                  "\nstart pol ok\nopen fail\n",
                  "upgrade: cannot open tplist.bin: No such file or directory\n"},
        ImageCase{"one_of_three",
                  {"/port=com1", "/f", "tplist.bin", "rom.bin"},
                  "rom.bin\ntplist.bin",
                  "\nstart pol ok\nnot found font.bin\n",
                  "upgrade: no file was named for font.bin: name it on the command line beside "
                  "the others\n"},
        ImageCase{"named_in_a_directory",
                  {"/port=com1", "img/tplist.bin", "font.bin"},
                  "font.bin",
                  "\nstart pol ok\nnot found tplist.bin\n",
                  "upgrade: cannot open img/tplist.bin: No such file or directory\n"},
        ImageCase{"name_with_control_bytes",
                  {"/port=com1", "sub/\x1b[2Jtplist.bin"},
                  "",
                  "\nstart pol ok\nopen fail\n",
                  "upgrade: cannot open sub/^[[2Jtplist.bin: No such file or directory\n"},
        ImageCase{"not_a_regular_file",
                  {"/port=com1", "sub/rom.bin"},
                  "",
                  "\nstart pol ok\nopen fail\n",
                  "upgrade: cannot open sub/rom.bin: not a regular file\n"}),
    CaseName());

} // namespace
} // namespace e2e
