// Downloads that meet a faulty or silent receiver, or a user who presses ESC: the program must
// end with status 1 and the right message, promptly, without spinning while it waits; and the
// receiver's console text must reach the console, not standard output.

#include "esc_cases.h"
#include "sim_fixture.h"

#include <bit>
#include <cstdlib>

namespace e2e {
namespace {

using e2e::PrintTo; // case names in failure messages

constexpr std::uint32_t small_font[3] = {0, 1000, 0};
constexpr std::uint32_t big_tplist[3] = {0, 0, 120000}; // blocks of 51200, 51200, 17600

class Fault : public SimTest {
  protected:
    // Starts a named download of `selection` against the simulator with `sim_args`.
    void start_download(int selection, const std::uint32_t sizes[3],
                        const std::vector<std::string>& sim_args) {
        ASSERT_NO_FATAL_FAILURE(write_images(selection, sizes, true, images));
        ASSERT_NO_FATAL_FAILURE(start_receiver(sim_args));
        start_upgrade(name_args(selection));
        shape.selection = selection;
    }

    std::string start_of_run() const {
        return banner() + settings_report("auto", 1152, 51200) +
               given_name_report(shape.selection) + "ready.\n\n";
    }

    Images images;
    DownloadShape shape;
};

// Text the receiver sends before its ready marks is shown on the console as it arrives; an '@'
// there is text, not a mark. Standard output stays exactly as without it.
TEST_F(Fault, ReceiverTextGoesToTheConsoleOnly) {
    start_download(2, small_font, {"--text", "[boot @ ok]"});
    EXPECT_EQ(wait_upgrade(download_ms), 0);
    EXPECT_EQ(wait_exit(sim), 0);
    pump(streams(), 100);
    const std::string& console_text = console.master.data;
    auto first = console_text.find("[boot @ ok]");
    ASSERT_NE(first, std::string::npos) << "receiver text not echoed";
    EXPECT_NE(console_text.find("[boot @ ok]", first + 1), std::string::npos)
        << "text before the second ready mark not echoed";
    EXPECT_EQ(pattern_mismatch(upgrade.out.data, start_of_run() + download_text(shape, images)),
              "");
}

// ---- the identification reply ----

struct ReplyCase {
    const char* name;
    std::vector<std::string> sim_args;
    std::string message; // after "start pol ok\n"; hex_wild digits stand for the received CRC
};

class BadReply : public Fault, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(BadReply, EndsWithItsMessageAndStatus1) {
    start_download(2, small_font, GetParam().sim_args);
    EXPECT_EQ(wait_upgrade(download_ms), 1);
    EXPECT_EQ(
        pattern_mismatch(upgrade.out.data, start_of_run() + "start pol ok\n" + GetParam().message),
        "");
}

std::string crc_error_message() {
    // The simulator's default identity: AMD flash, boot block 1.2.
    const std::uint8_t reply[6] = {0x01, 0x00, 0x49, 0x22, 0x01, 0x02};
    char text[80];
    std::snprintf(text, sizeof text, "crc error my = %08X, 0x", link_crc(reply, 6));
    return text + std::string(8, hex_wild) + "\n";
}

INSTANTIATE_TEST_SUITE_P(
    E2e, BadReply,
    ::testing::Values(ReplyCase{"nine_bytes", {"--reply-short", "9"}, "received data = 9, (10)\n"},
                      ReplyCase{"no_reply", {"--reply-short", "0"}, "received data = 0, (10)\n"},
                      ReplyCase{
                          "reply_too_late", {"--reply-delay", "6500"}, "received data = 0, (10)\n"},
                      ReplyCase{"bad_crc", {"--reply-bad-crc"}, crc_error_message()}),
    CaseName());

// The received CRC in the message is the one on the line: one bit off the computed one.
TEST_F(Fault, CrcErrorShowsBothValues) {
    start_download(2, small_font, {"--reply-bad-crc"});
    EXPECT_EQ(wait_upgrade(download_ms), 1);
    auto at = upgrade.out.data.find("crc error my = ");
    ASSERT_NE(at, std::string::npos);
    unsigned long mine = std::strtoul(upgrade.out.data.c_str() + at + 15, nullptr, 16);
    auto received_at = upgrade.out.data.find(", 0x", at);
    ASSERT_NE(received_at, std::string::npos);
    unsigned long received = std::strtoul(upgrade.out.data.c_str() + received_at + 4, nullptr, 16);
    EXPECT_EQ(std::popcount(static_cast<std::uint32_t>(mine ^ received)), 1)
        << std::hex << "my 0x" << mine << ", received 0x" << received;
}

// ---- ESC during the exchange ----

class EscDuringExchange : public Fault, public ::testing::WithParamInterface<EscCase> {};

// The program waits without spinning, ESC ends the wait with status 1, and nothing more is
// written after the fragment it was waiting at.
TEST_P(EscDuringExchange, WaitsQuietlyAndEndsOnEsc) {
    const EscCase& c = GetParam();
    start_download(4, big_tplist, c.sim_args);
    ASSERT_TRUE(wait_for(upgrade.out, c.stuck_at, download_ms));
    ASSERT_TRUE(wait_console_keys());
    EXPECT_LT(figures_while_quiet(1500).cpu_share, 0.05) << c.busy;
    press("\x1b");
    EXPECT_EQ(wait_upgrade(prompt_ms), 1);
    const std::string& out = upgrade.out.data;
    ASSERT_GE(out.size(), c.stuck_at.size()) << printable(out);
    EXPECT_EQ(out.substr(out.size() - c.stuck_at.size()), c.stuck_at)
        << "expected the output to end at the fragment waited at: " << printable(out);
}

INSTANTIATE_TEST_SUITE_P(E2e, EscDuringExchange, ::testing::ValuesIn(esc_cases), CaseName());

// The line goes dead in the middle of a block (a pulled adapter): the message naming the
// device and the system's reason, on a line of its own after the block's fragment, and status
// 1, at once: the one-port program does not wait for the device to come back. The reason is
// always EIO's on a pty whose master has closed: the program's wait sees a hangup, which it
// takes as EIO, and a read or write there fails with EIO itself.
TEST_F(Fault, HangupMidBlock) {
    start_download(4, big_tplist, {"--hangup-at", "1"});
    const std::string fragment = "blk =   1, len = 51200  :";
    ASSERT_TRUE(wait_for(upgrade.out, fragment, download_ms));
    EXPECT_EQ(wait_upgrade(prompt_ms), 1);
    const std::string& out = upgrade.out.data;
    const auto at = out.find(fragment);
    ASSERT_NE(at, std::string::npos) << printable(out);
    EXPECT_EQ(printable(out.substr(at + fragment.size())),
              printable("\nError : the serial line on " + com_device[0] +
                        " is gone (Input/output error).\n"));
}

} // namespace
} // namespace e2e
