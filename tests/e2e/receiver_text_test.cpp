// What the receiver and the terminal send besides the protocol: the receiver's console text,
// which is shown but must not drive the terminal, must not stretch the drain over a mark and
// must not cost the bytes behind a mark; the terminal's own answers and Alt keys, which are not
// ESC; and a receiver that stops reading while the access string or the header is written.

#include "helpers/key_sequences.h"
#include "sim_fixture.h"

#include <termios.h>
#include <unistd.h>

namespace e2e {
namespace {

using e2e::PrintTo; // case names in failure messages

const std::string announcement = "KAL VERON KELDKAR";
const std::string access_string = "marlose-quintar";

// The form in which the echo shows receiver text, from the rule: control bytes other than TAB,
// LF, CR and BS, and DEL, in caret notation; everything else as it is.
std::string caret_form(const std::string& text) {
    std::string shown;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\b') || c == 0x7F) {
            shown += '^';
            shown += static_cast<char>(c ^ 0x40);
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

// The identification reply of the simulator's default receiver, with its CRC.
std::string identification() {
    std::uint8_t reply[10] = {0x01, 0x00, 0x49, 0x22, 0x01, 0x02};
    const std::uint32_t crc = link_crc(reply, 6);
    for (int i = 0; i < 4; ++i)
        reply[6 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
    return std::string(reinterpret_cast<const char*>(reply), sizeof reply);
}

// Empty when `shown` is `text` with whole pieces left out, in order; otherwise where not.
std::string in_order_pieces(const std::string& shown, const std::string& text) {
    std::size_t at = 0;
    for (std::size_t i = 0; i < shown.size();) {
        if (at < text.size() && shown[i] == text[at]) {
            ++i;
            ++at;
            continue;
        }
        // A left-out piece: what is shown next stands further on in the text. The piece may be
        // a few bytes only (what the console's queue had room for) with another left out behind
        // it, so its start is looked for in ever shorter lengths, the longest that is found
        // first.
        std::size_t next = std::string::npos;
        for (std::size_t length = 64; length >= 1 && next == std::string::npos; length /= 2)
            next = text.find(shown.substr(i, length), at);
        if (next == std::string::npos)
            return "shown text at " + std::to_string(i) + " is not in the text after " +
                   std::to_string(at) + ": " + printable(shown.substr(i, 64)) + " where " +
                   printable(text.substr(at, 64)) + " was due";
        at = next;
    }
    return {};
}

class ReceiverText : public SimTest {
  protected:
    std::string start_of_run(int speed, unsigned block_size) const {
        return banner() + settings_report("auto", speed, block_size) +
               given_name_report(shape.selection) + "ready.\n\n";
    }

    // A tplist of `blocks` blocks of 1000 bytes against the simulator with `sim_args`.
    void start_download(int blocks, const std::vector<std::string>& sim_args) {
        const std::uint32_t sizes[3] = {0, 0, static_cast<std::uint32_t>(blocks) * 1000};
        ASSERT_NO_FATAL_FAILURE(write_images(4, sizes, true, images));
        ASSERT_NO_FATAL_FAILURE(start_receiver(sim_args));
        shape.selection = 4;
        shape.block_size = 1000;
        start_upgrade({"/block=1000", given_names[tplist]});
    }

    // With `text_may_drop`, the screen may not have kept up with the receiver's text (a loaded
    // machine reads the console slowly): the note that says how much was not shown, on a line
    // of its own, is then the one thing the program's output may hold beside its own text.
    void expect_complete(bool text_may_drop = false) {
        EXPECT_EQ(wait_upgrade(download_ms), 0);
        EXPECT_EQ(wait_exit(sim), 0) << "the simulator found the download wrong or incomplete";
        EXPECT_EQ(flash_mismatch(shape, images), "");
        const std::string out =
            text_may_drop ? without_drop_notes(upgrade.out.data) : upgrade.out.data;
        EXPECT_EQ(pattern_mismatch(out, start_of_run(1152, 1000) + download_text(shape, images)),
                  "");
    }

    // `out` without the notes of receiver text not shown ("N bytes of receiver text not shown",
    // on a line of its own). A note that came after a block's fragment, which leaves its line
    // open (it ends in ':' or a space), began with a line end of its own: that goes with it.
    static std::string without_drop_notes(std::string out) {
        const std::string note = " bytes of receiver text not shown\n";
        for (std::size_t at = out.find(note); at != std::string::npos; at = out.find(note)) {
            std::size_t start = at;
            while (start > 0 && out[start - 1] >= '0' && out[start - 1] <= '9')
                --start;
            if (start >= 2 && out[start - 1] == '\n' &&
                (out[start - 2] == ':' || out[start - 2] == ' '))
                --start;
            out.erase(start, at + note.size() - start);
        }
        return out;
    }

    Images images;
    DownloadShape shape;
};

// ---- the echo cannot drive the terminal ----

struct ShownCase {
    const char* name;
    const char* sent; // in the simulator's escapes
    std::string shown;
};

// Each piece of text a receiver could send to take the terminal over, sent one after the other
// before the ready marks: the console shows them all, harmless, and nothing else.
TEST_F(ReceiverText, IsEchoedInCaretNotation) {
    const ShownCase cases[] = {
        {"title", "\\e]0;owned\\x07", "^[]0;owned^G"},
        {"clear_screen", "\\e[2J\\e[H", "^[[2J^[[H"},
        {"alternate_screen", "\\e[?1049h", "^[[?1049h"},
        {"character_set", "\\e(0\\x0e", "^[(0^N"},
        {"clipboard_write", "\\e]52;c;aGk=\\x07", "^[]52;c;aGk=^G"},
        {"colour_query", "\\e]11;?\\x07", "^[]11;?^G"},
        {"nul_and_del", "a\\0b\\x7f", "a^@b^?"},
        {"kept_as_they_are", "\\tx\\x08y\\rz", "\tx\by\rz"},
        {"eight_bit", "\\x9b\\xe9\\xff", "\x9b\xe9\xff"},
    };
    std::string text;
    std::string shown;
    for (const ShownCase& c : cases) {
        text += std::string("<") + c.name + ">" + c.sent;
        shown += std::string("<") + c.name + ">" + c.shown;
    }
    start_download(1, {"--text", text});
    expect_complete();
    pump(streams(), 100);
    // The text comes before each of the two ready marks.
    EXPECT_EQ(printable(console.master.data), printable(shown + shown));
}

// ---- the drain lasts 2 ms while the receiver talks ----

// A receiver that reports its progress without a pause after every frame, faster than a byte
// at a time can be read: the drain must end on time and leave the mark behind the text to the
// mark wait, which shows the text.
TEST_F(ReceiverText, ATalkingReceiverDoesNotStretchTheDrain) {
    start_download(4, {"--chatter-ms", "40"});
    expect_complete(true);
    EXPECT_NE(console.master.data.find("flash: erasing and programming"), std::string::npos)
        << "the receiver's text was not shown";
}

// ---- the screen cannot hold the download ----

// Ctrl-S stops the terminal's output (the program leaves IXON on); the download goes on at the
// line's pace behind it. While the screen is stopped the receiver's text is dropped and counted,
// the program's messages are kept, and Ctrl-Q shows them with a note of what was not shown.
TEST_F(ReceiverText, CtrlSStopsTheScreenNotTheDownload) {
    upgrade_stdout = Output::Console;
    // The receiver announces itself long after Ctrl-S has stopped the screen: its whole
    // download, chatter included, takes half a second.
    start_download(8, {"--chatter-ms", "40", "--mark-delay-ms", "20", "--delay", "2000"});
    ASSERT_TRUE(wait_for(console.master, "ready.", start_ms));
    ASSERT_TRUE(wait_console_keys());
    press("\x13");
    EXPECT_EQ(wait_exit(sim, download_ms), 0) << "the download stopped with the screen";
    press("\x11");
    EXPECT_EQ(wait_upgrade(download_ms), 0);
    pump(streams(), 100);
    const std::string& screen = console.master.data;
    EXPECT_NE(screen.find(" bytes of receiver text not shown\r\n"), std::string::npos)
        << printable(screen.substr(0, 2000));
    EXPECT_NE(screen.find("crc = "), std::string::npos);
    EXPECT_NE(screen.find("change speed --> 57600"), std::string::npos);
    EXPECT_EQ(flash_mismatch(shape, images), "");
}

// ---- a lot of text at once ----

// Text read many bytes at a time: all of it is shown, in order, and the identification that
// follows the ready mark at once in the same burst is not lost with it.
TEST_F(ReceiverText, ALargeBurstIsShownWholeAndTheReplyBehindItKept) {
    ASSERT_TRUE(write_file(path("tplist.bin"), image_bytes(1000, 1)));
    start_upgrade({"/port=com1", "tplist.bin"});
    ASSERT_TRUE(wait_output("ready.\n"));
    receiver_sends(0, announcement);
    ASSERT_TRUE(wait_for(com[0].master, access_string, start_ms));
    auto bytes = image_bytes(300000, 7);
    std::string text(bytes.begin(), bytes.end());
    for (char& c : text) {
        if (c == '!' || c == '\n') // not the mark; and no line ends the terminal would expand
            c = '.';
    }
    // Text, ready mark and reply are written back to back, as fast as the line takes them.
    const std::string burst = text + "!" + identification();
    std::size_t sent = 0;
    for (int round = 0; sent < burst.size() && round < download_ms / 5; ++round) {
        const ssize_t put = write(com[0].master.fd, burst.data() + sent, burst.size() - sent);
        if (put > 0)
            sent += static_cast<std::size_t>(put);
        pump(streams(), 5);
    }
    ASSERT_EQ(sent, burst.size()) << "the program stopped reading";
    ASSERT_TRUE(wait_output(device_report_text(Identity{}), download_ms))
        << "the identification behind the text was lost";
    const std::string expected = caret_form(text);
    // A console that cannot keep up (this test reads it between writes, on a loaded machine)
    // has some of the text dropped, whole pieces of it, and said; what is shown is in order.
    // The text's end is then waited for only until the drop is said: it may be what was dropped.
    const std::string end = expected.substr(expected.size() - 64);
    const std::string dropped = " bytes of receiver text not shown\n";
    const auto give_up = toolkit::after_ms(download_ms);
    while (console.master.data.find(end) == std::string::npos &&
           upgrade.out.data.find(dropped) == std::string::npos && toolkit::ms_left(give_up) > 0)
        pump(streams(), 20);
    stays_quiet(console.master);
    ASSERT_TRUE(console.master.data.find(end) != std::string::npos ||
                upgrade.out.data.find(dropped) != std::string::npos)
        << "the text's end was neither shown nor said to be dropped";
    if (upgrade.out.data.find(dropped) == std::string::npos) {
        EXPECT_TRUE(console.master.data == expected) << "the echo differs from the text";
    } else {
        EXPECT_EQ(in_order_pieces(console.master.data, expected), "");
    }
    ASSERT_TRUE(wait_console_keys());
    press("\x1b");
    EXPECT_EQ(wait_upgrade(prompt_ms), 1);
}

// ---- the terminal's answers and Alt keys are not ESC ----

// Keys that are not ESC, typed during the flash: among them the ones that start with ESC, the
// terminal's answers to queries (colours, device attributes, a setting), Alt with a key.
// The flash lasts longer than the keys take to type (a block answered 100 ms after it came).
TEST_F(ReceiverText, TerminalAnswersAndAltKeysDoNotEndTheFlash) {
    start_download(24, {"--mark-delay-ms", "100"});
    ASSERT_TRUE(wait_for(upgrade.out, "blk =", download_ms));
    ASSERT_TRUE(wait_console_keys());
    for (const helpers::KeySequence& keys : helpers::key_sequences) {
        if (keys.is_escape)
            continue;
        press(keys.bytes);
        pump(streams(), 150);
    }
    expect_complete();
}

// ---- a receiver that stops reading while the host writes ----

struct StuckCase {
    const char* name;
    bool at_header; // the header is held up, else the access string
    bool hang_up;   // the line hangs up, else the user presses ESC
};

class StuckWrite : public E2eTest, public ::testing::WithParamInterface<StuckCase> {};

// The receiver holds its input (output to it is stopped, as flow control would): the write
// waits, but ESC ends it with status 1 and nothing more on the line, and a hangup ends it with
// the lost-line message.
TEST_P(StuckWrite, EndsOnEscOrHangup) {
    const auto& c = GetParam();
    ASSERT_TRUE(write_file(path("tplist.bin"), image_bytes(1000, 1)));
    start_upgrade({"/port=com1", "tplist.bin"});
    ASSERT_TRUE(wait_output("ready.\n"));
    std::string stuck_after = "ready.\n\n";
    if (c.at_header) {
        receiver_sends(0, announcement);
        ASSERT_TRUE(wait_for(com[0].master, access_string, start_ms));
        ASSERT_EQ(tcflow(com[0].slave, TCOOFF), 0);
        // Appended, not "!" + identification(): GCC 12 at -O3 reports the insert at the front
        // of the temporary as an overlapping copy (a false -Wrestrict).
        receiver_sends(0, std::string("!").append(identification()));
        stuck_after = device_report_text(Identity{}) + "\n";
    } else {
        ASSERT_EQ(tcflow(com[0].slave, TCOOFF), 0);
        receiver_sends(0, announcement);
    }
    ASSERT_TRUE(wait_output(stuck_after));
    ASSERT_TRUE(wait_console_keys());
    EXPECT_TRUE(still_running(upgrade, quiet_ms)) << "the write did not wait";
    const std::size_t printed = upgrade.out.data.size();
    if (c.hang_up) {
        close(com[0].master.fd);
        com[0].master.fd = -1;
    } else {
        press("\x1b");
    }
    EXPECT_EQ(wait_upgrade(prompt_ms), 1);
    const std::string after = upgrade.out.data.substr(printed);
    if (c.hang_up) {
        EXPECT_EQ(after.rfind("Error : the serial line on ", 0), 0u) << printable(after);
        EXPECT_EQ(after.find('\n'), after.size() - 1) << "not one line: " << printable(after);
    } else {
        EXPECT_EQ(printable(after), "");
        tcflow(com[0].slave, TCOON);
        pump(streams(), 100);
        EXPECT_EQ(printable(com[0].master.data), printable(c.at_header ? access_string : ""))
            << "the stopped write reached the line";
    }
}

INSTANTIATE_TEST_SUITE_P(E2e, StuckWrite,
                         ::testing::Values(StuckCase{"access_string_esc", false, false},
                                           StuckCase{"access_string_hangup", false, true},
                                           StuckCase{"header_esc", true, false},
                                           StuckCase{"header_hangup", true, true}),
                         CaseName());

} // namespace
} // namespace e2e
