// The ready loop of the real program, with the test playing the receiver on the pty masters:
// the announcement rules, the choice of the active port in auto mode, the keys, the console's
// settings, a line that goes away, idle CPU use, and downloads refused before the handshake.

#include "download_check.h"
#include "harness.h"
#include "helpers/key_sequences.h"

#include <csignal>
#include <cstring>
#include <termios.h>
#include <unistd.h>

namespace e2e {
namespace {

using e2e::PrintTo; // case names in failure messages

// A run whose download can start: a tplist image in the work directory, found by detection.
class ReadyLoop : public E2eTest {
  protected:
    void start_with_image(const std::vector<std::string>& args) {
        ASSERT_TRUE(write_file(path("tplist.bin"), image_bytes(1000, 1)));
        start_upgrade(args);
        ASSERT_TRUE(wait_output("ready.\n"));
    }

    // The download has started on `active`: the access string came on that line alone.
    void expect_download_on(int active) {
        ASSERT_TRUE(wait_for(com[active].master, access_string, start_ms))
            << "no access string on COM" << active + 1;
        EXPECT_TRUE(wait_output("start pol ok\n"));
        EXPECT_EQ(printable(com[active].master.data), printable(access_string));
        EXPECT_EQ(printable(com[1 - active].master.data), "");
    }

    // ESC while the download waits for the receiver's first ready mark ends the run with 1.
    void escape_from_handshake() {
        ASSERT_TRUE(wait_console_keys());
        press("\x1b");
        EXPECT_EQ(wait_upgrade(prompt_ms), 1);
    }
};

// ---- announcement rules ----

struct AnnouncementCase {
    const char* name;
    std::string first; // what the receiver sends first
    bool first_starts; // whether that starts the download
};

class Announcement : public ReadyLoop, public ::testing::WithParamInterface<AnnouncementCase> {};

// When the first bytes do not start a download, an exact announcement after them still does:
// the matcher has recovered.
TEST_P(Announcement, StartsTheDownloadOnlyOnAnExactAnnouncement) {
    start_with_image({"/port=com1"});
    receiver_sends(0, GetParam().first);
    if (!GetParam().first_starts) {
        EXPECT_TRUE(stays_quiet(com[0].master)) << "a download started";
        EXPECT_EQ(upgrade.out.data.find("start pol ok"), std::string::npos);
        receiver_sends(0, announcement);
    }
    expect_download_on(0);
    escape_from_handshake();
}

INSTANTIATE_TEST_SUITE_P(
    E2e, Announcement,
    ::testing::Values(
        AnnouncementCase{"exact", announcement, true},
        AnnouncementCase{"stray_x_x_K_before", "xxK" + announcement, true},
        AnnouncementCase{"noise_with_line_ends_before", "\r\n\x01\xff" + announcement, true},
        AnnouncementCase{"last_character_changed", "KAL VERON KELDKAX", false},
        // Its 'K' lands at position 10, where a 'K' does not restart the collection.
        AnnouncementCase{"ten_stray_characters_before", "0123456789" + announcement, false},
        AnnouncementCase{"lower_case", "kal veron keldkar", false}),
    CaseName());

// ---- auto mode ----

struct AutoCase {
    const char* name;
    std::string com1_first; // sent on COM1 before the announcement
    std::string com2_first; // sent on COM2 before the announcement
    int announce_on;        // the port that sends the announcement
    bool com1_missing;      // COM1 cannot be opened: COM2 is active from the start
};

class AutoMode : public ReadyLoop, public ::testing::WithParamInterface<AutoCase> {};

TEST_P(AutoMode, DownloadRunsOnThePortThatAnnounced) {
    const auto& c = GetParam();
    if (c.com1_missing)
        com_device[0] = "/nonexistent-upgrade-e2e/com1";
    start_with_image({});
    if (!c.com1_first.empty())
        receiver_sends(0, c.com1_first);
    if (!c.com2_first.empty())
        receiver_sends(1, c.com2_first);
    if (!c.com1_first.empty() || !c.com2_first.empty()) {
        EXPECT_TRUE(stays_quiet(upgrade.out, 300));
    }
    receiver_sends(c.announce_on, announcement);
    expect_download_on(c.announce_on);
    escape_from_handshake();
}

INSTANTIATE_TEST_SUITE_P(E2e, AutoMode,
                         ::testing::Values(AutoCase{"com2_while_com1_silent", "", "", 1, false},
                                           AutoCase{"non_printable_on_com1_first",
                                                    std::string("\r\0\x7f", 3), "", 1, false},
                                           AutoCase{"printable_on_com2_then_com1_announces", "",
                                                    "xyz", 0, false},
                                           AutoCase{"com1_cannot_be_opened", "", "", 1, true}),
                         CaseName());

// ---- keys ----

// A lone ESC ends the ready loop with 27; other keys do nothing.
class Keys : public E2eTest, public ::testing::WithParamInterface<helpers::KeySequence> {};

TEST_P(Keys, OnlyALoneEscEndsTheReadyLoop) {
    start_upgrade({"/port=com1"});
    ASSERT_TRUE(wait_output("ready.\n"));
    ASSERT_TRUE(wait_console_keys());
    std::string before = upgrade.out.data;
    press(GetParam().bytes);
    if (GetParam().is_escape) {
        EXPECT_EQ(wait_upgrade(prompt_ms), 27);
    } else {
        EXPECT_TRUE(still_running(upgrade, 1000)) << "status " << upgrade.status;
        EXPECT_EQ(printable(upgrade.out.data), printable(before));
        EXPECT_EQ(printable(console.master.data), "") << "the key was echoed";
        // Still listening: a lone ESC now ends it.
        press("\x1b");
        EXPECT_EQ(wait_upgrade(prompt_ms), 27);
    }
    EXPECT_EQ(printable(upgrade.out.data), printable(before));
}

INSTANTIATE_TEST_SUITE_P(E2e, Keys, ::testing::ValuesIn(helpers::key_sequences), CaseName());

// ---- the console's settings are restored at every end ----

struct EndCase {
    const char* name;
    int signal; // 0: ESC
};

class ConsoleRestored : public E2eTest, public ::testing::WithParamInterface<EndCase> {};

bool same_settings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

TEST_P(ConsoleRestored, AfterTheProgramEnds) {
    termios before{};
    ASSERT_EQ(tcgetattr(console.slave, &before), 0);
    start_upgrade({"/port=com1"});
    ASSERT_TRUE(wait_output("ready.\n"));
    ASSERT_TRUE(wait_console_keys()) << "the console was never switched to key input";
    if (GetParam().signal == 0) {
        press("\x1b");
    } else {
        kill(upgrade.pid, GetParam().signal);
    }
    EXPECT_GE(wait_upgrade(prompt_ms), 0);
    termios after{};
    ASSERT_EQ(tcgetattr(console.slave, &after), 0);
    EXPECT_TRUE(same_settings(before, after))
        << std::hex << "lflag before 0x" << before.c_lflag << " after 0x" << after.c_lflag
        << ", iflag before 0x" << before.c_iflag << " after 0x" << after.c_iflag;
}

INSTANTIATE_TEST_SUITE_P(E2e, ConsoleRestored,
                         ::testing::Values(EndCase{"esc", 0}, EndCase{"sigterm", SIGTERM},
                                           EndCase{"sigint", SIGINT}, EndCase{"sighup", SIGHUP},
                                           EndCase{"sigquit", SIGQUIT}),
                         CaseName());

// ---- a serial device that goes away ----

struct LostCase {
    const char* name;
    std::vector<std::string> args;
    int lost; // the COM whose line goes away
};

class LineGoesAway : public E2eTest, public ::testing::WithParamInterface<LostCase> {};

// A pulled USB adapter: the master closes under the waiting program. It must say so in one line
// that names the device that went and the system's reason, and end with status 1 promptly, not
// poll a dead line. The reason is EIO's: a pty whose master has closed reports a hangup, which
// the program takes as EIO, as a pulled adapter's read fails with EIO itself.
TEST_P(LineGoesAway, EndsWithAMessageAndStatus1) {
    const auto& c = GetParam();
    start_upgrade(c.args);
    ASSERT_TRUE(wait_output("ready.\n"));
    const std::size_t printed = upgrade.out.data.size();
    close(com[c.lost].master.fd);
    com[c.lost].master.fd = -1;
    EXPECT_EQ(wait_upgrade(prompt_ms), 1);
    EXPECT_EQ(printable(upgrade.out.data.substr(printed)),
              printable("Error : the serial line on " + com_device[c.lost] +
                        " is gone (Input/output error).\n"));
}

INSTANTIATE_TEST_SUITE_P(E2e, LineGoesAway,
                         ::testing::Values(LostCase{"named_com1", {"/port=com1"}, 0},
                                           LostCase{"named_com2", {"/port=com2"}, 1},
                                           LostCase{"auto_com1", {}, 0},
                                           LostCase{"auto_com2", {}, 1}),
                         CaseName());

// ---- idle ----

// The ready loop blocks in the system while nothing arrives (auto mode: two lines and the
// keyboard). A generous bound: this catches busy waiting, it is no benchmark.
TEST_F(E2eTest, IdleReadyLoopUsesAlmostNoCpu) {
    start_upgrade({});
    ASSERT_TRUE(wait_output("ready.\n"));
    ASSERT_TRUE(wait_console_keys());
    const helpers::SpanFigures idle = figures_while_quiet(2000);
    EXPECT_LT(idle.cpu_share, 0.05)
        << "expected the ready loop to sleep: " << idle.cpu_share * idle.seconds << " s of CPU in "
        << idle.seconds << " s";
    press("\x1b");
    EXPECT_EQ(wait_upgrade(prompt_ms), 27);
}

// ---- downloads refused before the handshake ----

struct RefusalCase {
    const char* name;
    std::vector<std::pair<std::string, std::size_t>> files; // name, size
    std::vector<std::string> args;
    std::string after_ready;  // the output after "ready.\n", exactly
    const char* refused_file; // the refusal adds one line naming this file (nullptr: none)
    std::string line;         // what the receiver received
};

class Refused : public E2eTest, public ::testing::WithParamInterface<RefusalCase> {};

// A refused download ends the run with status 1 (it did not do what was asked); nothing
// follows the access string on the line.
TEST_P(Refused, EndsWithStatus1AfterItsMessage) {
    const auto& c = GetParam();
    std::uint32_t seed = 10;
    for (const auto& [name, size] : c.files)
        ASSERT_TRUE(write_file(path(name), image_bytes(size, ++seed)));
    std::vector<std::string> args = {"/port=com1"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    start_upgrade(args);
    ASSERT_TRUE(wait_output("ready.\n"));
    receiver_sends(0, announcement);
    EXPECT_EQ(wait_upgrade(), 1);
    const std::string& out = upgrade.out.data;
    std::string after = out.substr(out.find("ready.\n") + 7);
    ASSERT_EQ(printable(after.substr(0, c.after_ready.size())), printable(c.after_ready));
    std::string rest = after.substr(c.after_ready.size());
    if (c.refused_file) {
        EXPECT_EQ(rest.find('\n'), rest.size() - 1) << "not one line: " << printable(rest);
        EXPECT_NE(rest.find(c.refused_file), std::string::npos)
            << "the refusal does not name " << c.refused_file << ": " << printable(rest);
    } else {
        EXPECT_EQ(printable(rest), "");
    }
    pump(streams(), 100);
    EXPECT_EQ(printable(com[0].master.data), printable(c.line));
}

using Files = std::vector<std::pair<std::string, std::size_t>>;

INSTANTIATE_TEST_SUITE_P(
    E2e, Refused,
    ::testing::Values(
        RefusalCase{"font_missing_of_three",
                    Files{{"rom.bin", 70000}, {"tplist.bin", 1000}},
                    {"rom.bin", "font.bin", "tplist.bin"},
                    "\nstart pol ok\nnot found font.bin\n",
                    nullptr,
                    access_string},
        RefusalCase{"tplist_letter_without_name",
                    Files{{"rom.bin", 70000}, {"tplist.bin", 1000}},
                    {"rom.bin", "/t"},
                    "\nstart pol ok\nnot found tplist.bin\n",
                    nullptr,
                    access_string},
        RefusalCase{"host_missing_of_two",
                    Files{{"font.bin", 1000}},
                    {"rom.bin", "font.bin"},
                    "\nstart pol ok\nnot found rom.bin\n",
                    nullptr,
                    access_string},
        RefusalCase{"given_name_missing_names_default",
                    Files{{"rom.bin", 70000}},
                    {"rom.bin", "img/newfont.bin"},
                    "\nstart pol ok\nnot found font.bin\n",
                    nullptr,
                    access_string},
        RefusalCase{"single_image_missing",
                    Files{},
                    {"rom.bin"},
                    "\nstart pol ok\nopen fail\n",
                    nullptr,
                    access_string},
        RefusalCase{"no_image_file_found", Files{}, {}, "\nNot found bin files.\n", nullptr, ""},
        RefusalCase{"empty_font",
                    Files{{"font.bin", 0}},
                    {},
                    "\nFound Only font.bin file.\nstart pol ok\n",
                    "font.bin",
                    access_string},
        RefusalCase{"host_without_data",
                    Files{{"rom.bin", 65536}},
                    {},
                    "\nFound Only rom.bin file.\nstart pol ok\n",
                    "rom.bin",
                    access_string},
        RefusalCase{"font_larger_than_its_region",
                    Files{{"font.bin", 720897}},
                    {"/f"},
                    "\nstart pol ok\n",
                    "font.bin",
                    access_string},
        RefusalCase{"tplist_past_the_flash_end",
                    Files{{"tplist.bin", 327681}},
                    {"/t"},
                    "\nstart pol ok\nflen = 327681\n",
                    "tplist.bin",
                    access_string},
        RefusalCase{"host_larger_than_its_region",
                    Files{{"rom.bin", 65536 + 983041}},
                    {"rom.bin"},
                    "\nstart pol ok\n",
                    "rom.bin",
                    access_string}),
    CaseName());

// In repeat mode a refused download goes back to waiting, and the next announcement is served.
TEST_F(E2eTest, RepeatModeWaitsAgainAfterARefusedDownload) {
    start_upgrade({"/port=com1", "/r"});
    ASSERT_TRUE(wait_output("ready.\n"));
    receiver_sends(0, announcement);
    ASSERT_TRUE(wait_output("Not found bin files.\nnext......\nready.\n"));
    ASSERT_TRUE(write_file(path("font.bin"), image_bytes(1000, 3)));
    receiver_sends(0, announcement);
    ASSERT_TRUE(wait_for(com[0].master, access_string, start_ms));
    ASSERT_TRUE(wait_console_keys());
    press("\x1b");
    EXPECT_EQ(wait_upgrade(prompt_ms), 1);
    EXPECT_EQ(printable(upgrade.out.data),
              printable(banner() + settings_report("COM1", 1152, 51200) +
                        "ready.\n\nNot found bin files.\nnext......\nready.\n"
                        "\nFound Only font.bin file.\nstart pol ok\n"));
}

} // namespace
} // namespace e2e
