// The program run the ways people run programs from a shell, in the middle of a flash: under
// `nohup` or `&` (signals ignored from the start), piped into `head` (an output that closes),
// stopped with Ctrl-Z and moved with `bg` and `fg`, and ended by a signal on a line whose other
// end stays open. A flash cut off in the middle leaves the receiver unable to start, so each
// download must go on to its end or be ended only as the user meant.

#include "sim_fixture.h"

#include <csignal>
#include <sys/ioctl.h>
#include <termios.h>

namespace e2e {
namespace {

using e2e::PrintTo; // case names in failure messages

constexpr std::uint32_t slow_tplist[3] = {0, 0, 20000};

class Shell : public SimTest {
  protected:
    // A download slow enough to act in: 20 blocks of 1000 bytes, each answered 100 ms after it
    // arrived. With `as_job` the program runs under the job shell, in the foreground.
    void start_slow_download(const std::vector<std::string>& sim_args = {}, bool as_job = false) {
        ASSERT_NO_FATAL_FAILURE(write_images(4, slow_tplist, true, images));
        std::vector<std::string> args = {"--mark-delay-ms", "100"};
        args.insert(args.end(), sim_args.begin(), sim_args.end());
        ASSERT_NO_FATAL_FAILURE(start_receiver(args));
        shape.selection = 4;
        shape.block_size = 1000;
        if (as_job)
            start_job({"/block=1000", given_names[tplist]}, true);
        else
            start_upgrade({"/block=1000", given_names[tplist]});
    }

    // Waits until the first block is on its way: from here on the flash is being erased and
    // written.
    void wait_mid_flash() { ASSERT_TRUE(wait_for(upgrade.out, "blk =", download_ms)); }

    // The download went on to its end and wrote the flash as planned.
    void expect_complete() {
        EXPECT_EQ(wait_upgrade(download_ms), 0);
        EXPECT_EQ(wait_exit(sim), 0) << "the simulator found the download wrong or incomplete";
        EXPECT_EQ(flash_mismatch(shape, images), "");
    }

    Images images;
    DownloadShape shape;
};

// ---- signals ignored at start ----

struct IgnoredCase {
    const char* name;
    int signal;
};

class IgnoredSignal : public Shell, public ::testing::WithParamInterface<IgnoredCase> {};

// `nohup upgrade ...` ignores SIGHUP, `upgrade ... &` in a script SIGINT and SIGQUIT: the user
// asked for the program to outlive them.
TEST_P(IgnoredSignal, StaysIgnoredMidFlash) {
    ignored_signals = {GetParam().signal};
    start_slow_download();
    wait_mid_flash();
    kill(upgrade.pid, GetParam().signal);
    expect_complete();
}

INSTANTIATE_TEST_SUITE_P(E2e, IgnoredSignal,
                         ::testing::Values(IgnoredCase{"sighup_under_nohup", SIGHUP},
                                           IgnoredCase{"sigint_in_a_script", SIGINT},
                                           IgnoredCase{"sigquit_in_a_script", SIGQUIT},
                                           IgnoredCase{"sigterm", SIGTERM}),
                         CaseName());

// ---- outputs that close ----

struct ClosedCase {
    const char* name;
    bool close_out;
    bool close_err;
    bool console; // without one, the receiver's text is echoed to standard error
};

class ClosedOutput : public Shell, public ::testing::WithParamInterface<ClosedCase> {};

// `upgrade ... | head -c 1500`: once the reader has gone, the messages have nowhere to go, but
// the flash is written to its end and the status is the download's.
TEST_P(ClosedOutput, NeverEndsTheFlash) {
    const auto& c = GetParam();
    with_console = c.console;
    start_slow_download({"--text", "boot\\r\\n", "--block-text", "written\\r\\n"});
    wait_mid_flash();
    if (c.close_out)
        close_stream(upgrade.out);
    if (c.close_err)
        close_stream(upgrade.err);
    expect_complete();
}

INSTANTIATE_TEST_SUITE_P(
    E2e, ClosedOutput,
    ::testing::Values(ClosedCase{"standard_output", true, false, true},
                      ClosedCase{"standard_error_with_the_echo", false, true, false},
                      ClosedCase{"both_without_a_terminal", true, true, false}),
    CaseName());

// ---- the terminal hangs up ----

// The terminal goes away in the middle of a flash (its window closed, the link to it lost)
// under `nohup`: the flash goes on to its end, and the receiver's text, which was being echoed
// on the terminal, goes to standard error from then on. The keyboard's thread drops the
// terminal while the console's writer echoes to it: ThreadSanitizer watches this test for the
// two threads meeting on the terminal's descriptor.
TEST_F(Shell, TerminalHangsUpWhileTheTextIsEchoed) {
    ignored_signals = {SIGHUP};
    start_slow_download({"--block-text", "written\\r\\n", "--chatter-ms", "20"});
    wait_mid_flash();
    ASSERT_TRUE(wait_for(console.master, "written", download_ms));
    close_stream(console.master);
    const std::size_t before = upgrade.err.data.size();
    expect_complete();
    EXPECT_NE(upgrade.err.data.find("written", before), std::string::npos)
        << "the echo did not go on on standard error";
}

// ---- the port is released when a signal ends the run ----

struct ReleaseCase {
    const char* name;
    int signal;
    bool console;
};

class PortReleased : public Shell, public ::testing::WithParamInterface<ReleaseCase> {};

// The exclusive flag outlives a run on a line whose other end stays open (a virtual line, here
// the test's pty) and keeps every later run by another user out; whatever can be caught must
// clear it, with or without a terminal.
TEST_P(PortReleased, WhenASignalEndsTheRun) {
    const auto& c = GetParam();
    with_console = c.console;
    start_upgrade({"/port=com1"});
    ASSERT_TRUE(wait_output("ready.\n"));
    int held = 0;
    ASSERT_EQ(ioctl(com[0].slave, TIOCGEXCL, &held), 0);
    ASSERT_EQ(held, 1) << "the run did not take its port for itself";
    kill(upgrade.pid, c.signal);
    EXPECT_EQ(wait_upgrade(prompt_ms), 128 + c.signal);
    ASSERT_EQ(ioctl(com[0].slave, TIOCGEXCL, &held), 0);
    EXPECT_EQ(held, 0) << "the exclusive flag outlived the run";
}

INSTANTIATE_TEST_SUITE_P(
    E2e, PortReleased,
    ::testing::Values(ReleaseCase{"sigterm", SIGTERM, true}, ReleaseCase{"sigint", SIGINT, true},
                      ReleaseCase{"sighup", SIGHUP, true},
                      ReleaseCase{"sigterm_without_a_terminal", SIGTERM, false},
                      ReleaseCase{"sighup_without_a_terminal", SIGHUP, false}),
    CaseName());

// ---- job control ----

bool shell_mode(const termios& settings) {
    return (settings.c_lflag & (ICANON | ECHO)) == (ICANON | ECHO);
}

// Ctrl-Z hands the terminal back; after `bg` the program leaves the terminal alone (a line typed
// for the shell must not stop it, nor the receiver's text on a terminal that stops background
// output) and writes the flash to its end.
TEST_F(Shell, CtrlZThenBgFlashesToTheEnd) {
    start_slow_download({"--block-text", "written\\r\\n"}, true);
    wait_mid_flash();
    ASSERT_TRUE(wait_console_keys());
    press("\x1a");
    ASSERT_TRUE(wait_job_state('T')) << "Ctrl-Z did not stop the program";
    EXPECT_TRUE(console_given_back());
    termios stop_background_output{};
    ASSERT_EQ(tcgetattr(console.slave, &stop_background_output), 0);
    stop_background_output.c_lflag |= TOSTOP;
    ASSERT_EQ(tcsetattr(console.slave, TCSANOW, &stop_background_output), 0);
    job_command('b');
    ASSERT_TRUE(wait_for(upgrade.out, "blk =", download_ms, upgrade.out.data.size()))
        << "no block after bg";
    press("ls\n");
    EXPECT_FALSE(wait_job_state('T', quiet_ms)) << "stopped in the background";
    termios settings{};
    ASSERT_EQ(tcgetattr(console.slave, &settings), 0);
    EXPECT_TRUE(shell_mode(settings)) << "the terminal was taken in the background";
    expect_complete();
}

// Back in the foreground after Ctrl-Z, the program takes the keyboard again: ESC ends it. The
// receiver never answers block 10, so the download is still going when ESC comes.
TEST_F(Shell, CtrlZThenFgTakesTheKeyboardAgain) {
    start_slow_download({"--no-mark-at", "10"}, true);
    wait_mid_flash();
    ASSERT_TRUE(wait_console_keys());
    press("\x1a");
    ASSERT_TRUE(wait_job_state('T'));
    EXPECT_TRUE(console_given_back());
    job_command('f');
    ASSERT_TRUE(wait_console_keys(prompt_ms)) << "the keyboard was not taken again";
    press("\x1b");
    EXPECT_EQ(wait_upgrade(prompt_ms), 1);
}

// Started in the background, the program waits for the receiver without touching the terminal;
// brought to the foreground, it takes the keyboard and ESC works.
TEST_F(Shell, StartedInTheBackgroundThenBroughtToTheForeground) {
    start_job({"/port=com1"}, false);
    ASSERT_TRUE(wait_output("ready.\n"));
    press("ls\n");
    EXPECT_FALSE(wait_job_state('T', quiet_ms)) << "stopped in the background";
    termios settings{};
    ASSERT_EQ(tcgetattr(console.slave, &settings), 0);
    EXPECT_TRUE(shell_mode(settings)) << "the terminal was taken in the background";
    job_command('f');
    ASSERT_TRUE(wait_console_keys(prompt_ms)) << "the keyboard was not taken in the foreground";
    press("\x1b");
    EXPECT_EQ(wait_upgrade(prompt_ms), 27);
}

} // namespace
} // namespace e2e
