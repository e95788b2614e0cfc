// The Windows build, upgrade.exe, run under wine against the receiver simulator, next to the
// Linux build in the same situation. Each case runs both builds with the same options against a
// fresh simulator and expects the same exit status and the same standard output (the Windows C
// library writes line ends to a pipe as CR LF; they are compared as LF); a completed download
// must also have reached the simulated flash intact, with the speed change seen on the line.
//
// Under wine, COM1 and COM2 are the names the Windows build opens by default: the prefix maps
// them to fixed links (see wine_session.sh), and each run points one link at the simulator's
// pseudo-terminal and the other at one on which nothing arrives. The console is a
// pseudo-terminal as well, as standard input and standard error, so that wine's console reads
// keys from it and shows the echo on it.

#include "esc_cases.h"
#include "helpers/programs.h"
#include "sim_fixture.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <thread>

#ifndef UPGRADE_WINE_SESSION
#define UPGRADE_WINE_SESSION ""
#endif
#ifndef UPGRADE_WINE_STATE
#define UPGRADE_WINE_STATE ""
#endif
#ifndef UPGRADE_WINE_EXE
#define UPGRADE_WINE_EXE ""
#endif
#ifndef UPGRADE_E2E_VERSION
#define UPGRADE_E2E_VERSION ""
#endif

namespace e2e {
namespace {

using e2e::PrintTo; // case names in failure messages

constexpr std::uint32_t image_sizes[3] = {65536 + 120000, 51200, 70000};
// The three images of a whole receiver, 2 MiB on the line: what a technician's download takes.
constexpr std::uint32_t full_image_sizes[3] = {983040, 720896, 327680};
constexpr int wine_start_ms = 30000; // a first run may have to start wine's server
// From ESC to the end of upgrade.exe: wine's own teardown comes after the program's, and takes
// seconds on a loaded machine. A program that did not react to ESC would not end at all.
constexpr int wine_exit_ms = 10000;
// How long the simulated receiver takes to answer a frame, in both builds' runs. A receiver
// answers a block once it has written it into flash, which takes far longer; the simulator's
// own 5 ms is too short for wine on a loaded machine: there the end of an overlapped write
// reaches the program, now and then, several milliseconds after the receiver has read the
// block's last byte (wine's server and the program's thread each have to be scheduled first;
// the benchmark's wine section measures it), and the drain that follows the block would take an
// answer that came that early.
const std::string receiver_answer_ms = "20";
// A program has gone to sleep once it has not woken for this long, after the text that a case
// waits for and again after the key typed before ESC; it is given at most settle_budget_ms for
// each. A program that keeps waking is not held up: the span measured after the budget shows it.
constexpr int settle_ms = 300;
constexpr int settle_budget_ms = 5000;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// CR LF as LF, the way the Windows build's output reads as text.
std::string lf_line_ends(const std::string& text) {
    std::string result;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            result += text[i];
    }
    return result;
}

// The console's text without the terminal control sequences wine's console writes around it.
std::string visible_text(const std::string& terminal) {
    std::string text;
    for (std::size_t i = 0; i < terminal.size(); ++i) {
        if (terminal[i] == '\x1b' && i + 1 < terminal.size() && terminal[i + 1] == '[') {
            i += 2;
            while (i < terminal.size() && (terminal[i] < 0x40 || terminal[i] > 0x7E))
                ++i;
            continue;
        }
        text += terminal[i];
    }
    return text;
}

struct WineCase {
    const char* name;
    std::vector<std::string> args = {};     // the program's arguments, for both builds
    std::vector<std::string> sim_args = {}; // the simulator's, besides its line, flash and report
    int sim_com = 0;                        // the simulator is on COM1 (0) or COM2 (1)
    int selection = 7;                      // images in the work directory, found by detection
    int status = 0;                         // expected exit status
    const char* press_esc_after = nullptr;  // ESC is pressed once standard output shows this
    bool waits_idle = false;                // until ESC, the program waits without using the CPU
    bool completes = false;                 // a whole download: flash and report are checked
    int speed = 1152;
    std::map<int, int> resends = {};
    const char* echoed = nullptr; // receiver text that must reach the console
    bool full_images = false;     // the images are full_image_sizes, the download is timed
};

struct BuildRun {
    int status = -1;
    double idle_cpu = -1;       // share of a processor while it waited (waits_idle)
    double idle_wakeups = -1;   // context switches a second of all its threads, then
    double esc_to_exit_ms = -1; // from ESC on the console to the process's end
    double download_ms = -1;    // from "start pol ok" on its output to its end (completes)
    std::string out;            // line ends as LF; the ports' devices named "<COM1>" and "<COM2>"
    std::string console;
    std::vector<ReportedDownload> report;
};

// The Windows C library ends lines written to a pipe with CR LF.
std::string as_written(const std::string& text, bool under_wine) {
    std::string result;
    for (char c : text) {
        if (c == '\n' && under_wine)
            result += '\r';
        result += c;
    }
    return result;
}

void replace_all(std::string& text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

class WineTest : public SimTest {
  protected:
    void SetUp() override {
        if (std::string(UPGRADE_WINE_EXE).empty() || !std::filesystem::exists(UPGRADE_WINE_EXE))
            GTEST_SKIP() << "upgrade.exe is not built";
        SimTest::SetUp();
    }

    void TearDown() override {
        // Wine's console host runs beside the program, in its process group: the harness kills
        // the whole group.
        SimTest::TearDown();
        // The links must not lead to pseudo-terminals that others may get next.
        std::error_code ignored;
        std::filesystem::remove(wine_link(0), ignored);
        std::filesystem::remove(wine_link(1), ignored);
    }

    static std::string wine_link(int index) {
        return std::string(UPGRADE_WINE_STATE) + "/com" + std::to_string(index + 1);
    }

    // One run of a build against a fresh simulator; `under_wine` picks upgrade.exe.
    BuildRun run(const WineCase& c, bool under_wine) {
        BuildRun result;
        start_run(c, under_wine);
        if (HasFatalFailure())
            return result;
        // The clock is read before the key goes out: the write may let the reader of the
        // terminal run first, and its time is part of what is measured.
        auto esc_typed = Clock::now();
        if (c.press_esc_after != nullptr) {
            EXPECT_TRUE(wait_output(as_written(c.press_esc_after, under_wine), wine_start_ms));
            EXPECT_TRUE(wait_console_keys());
            // A key that is not ESC first, which both builds read and let go: wine's console
            // hands a program its first key only once it has started wine's desktop process,
            // 65 to 325 ms on this machine and over half a second with both cores busy (the
            // benchmark's wine section shows it), and ESC to exit is to time the program, not
            // that. The program gets time to fall asleep before the key and again once it has
            // woken for it: the text waited for comes out before the last few system calls of
            // its step, and the key is read with a few dozen more, each of them a switch to
            // wine's server and back; with both cores busy the key alone has come 0.5 s after
            // a fixed 300 ms of settling and filled the quiet span with its 50 switches.
            settle();
            const long long before_key = helpers::context_switches(upgrade.pid);
            press("x");
            settle(before_key);
            if (c.waits_idle) {
                const helpers::SpanFigures idle = figures_while_quiet(1500);
                result.idle_cpu = idle.cpu_share;
                result.idle_wakeups = idle.wakeups_per_s;
                EXPECT_LT(result.idle_cpu, 0.1)
                    << (under_wine ? "upgrade.exe under wine" : "the Linux build")
                    << " is busy while it waits";
            }
            esc_typed = Clock::now();
            press("\x1b");
        }
        if (c.completes) {
            EXPECT_TRUE(wait_output(as_written("start pol ok\n", under_wine), wine_start_ms));
        }
        const auto download_start = Clock::now();
        result.status = wait_upgrade(wine_start_ms + download_ms);
        if (c.press_esc_after != nullptr)
            result.esc_to_exit_ms = 1000 * seconds_since(esc_typed);
        if (c.completes)
            result.download_ms = 1000 * seconds_since(download_start);
        if (c.completes) {
            EXPECT_EQ(wait_exit(sim), 0) << "the simulator found the download wrong";
        } else if (!sim.reaped) {
            kill(sim.pid, SIGKILL);
            wait_exit(sim);
        }
        pump(streams(), 100);
        result.out = under_wine ? lf_line_ends(upgrade.out.data) : upgrade.out.data;
        // Messages name a port by the device it was opened under.
        for (int index = 0; index < 2; ++index) {
            const std::string number = std::to_string(index + 1);
            replace_all(result.out, under_wine ? "com" + number : com_device[index],
                        "<COM" + number + ">");
        }
        result.console = visible_text(console.master.data);
        result.report = report();
        retire(upgrade);
        retire(sim);
        return result;
    }

    // Starts the simulator on the case's port and the build on a fresh console. The other port
    // is a pseudo-terminal on which nothing arrives, for both builds.
    void start_run(const WineCase& c, bool under_wine) {
        std::filesystem::remove(path("sim-flash.bin"));
        std::filesystem::remove(path("sim-report.txt"));
        std::vector<std::string> sim_args = c.sim_args;
        sim_args.insert(sim_args.end(), {"--mark-delay-ms", receiver_answer_ms});
        if (under_wine) {
            sim_args.insert(sim_args.end(), {"--link", wine_link(c.sim_com)});
            const std::string other = wine_link(1 - c.sim_com);
            std::filesystem::remove(other);
            std::filesystem::create_symlink(com[1 - c.sim_com].path, other);
        }
        ASSERT_NO_FATAL_FAILURE(start_receiver(sim_args, c.sim_com));
        close_pty(console);
        ASSERT_TRUE(open_pty(console, toolkit::PtySettings::FreshTerminal));
        if (!under_wine) {
            start_upgrade(c.args);
            return;
        }
        ASSERT_NO_FATAL_FAILURE(start_wine(c.args));
    }

    // Starts upgrade.exe under wine with `args` as `upgrade`, on the console pty.
    void start_wine(const std::vector<std::string>& args) {
        toolkit::Launch wine = helpers::wine_launch(UPGRADE_WINE_SESSION, UPGRADE_WINE_STATE,
                                                    UPGRADE_WINE_EXE, args, console.path);
        wine.cwd = dir;
        ASSERT_TRUE(toolkit::spawn(wine, upgrade));
    }

    // Reads the streams until the program has not woken for settle_ms, and with `woken_past`
    // only once its context switches have grown past that count (it has woken for a key); or
    // until settle_budget_ms have passed.
    void settle(long long woken_past = -1) {
        const auto budget_end = toolkit::after_ms(settle_budget_ms);
        long long switches = helpers::context_switches(upgrade.pid);
        auto still_since = toolkit::mono_ns();
        while ((switches <= woken_past ||
                toolkit::mono_ns() - still_since < std::int64_t{settle_ms} * 1000000) &&
               toolkit::ms_left(budget_end) > 0) {
            pump(streams(), 20);
            const long long now = helpers::context_switches(upgrade.pid);
            if (now != switches) {
                switches = now;
                still_since = toolkit::mono_ns();
            }
        }
    }

    static void retire(Child& child) {
        toolkit::close_stream(child.out);
        toolkit::close_stream(child.err);
    }

    // The simulator's report and flash after a completed download of `c`.
    void expect_download_written(const WineCase& c, const BuildRun& run_result,
                                 const Images& images) {
        DownloadShape shape;
        shape.selection = c.selection;
        shape.speed = c.speed;
        shape.resends = c.resends;
        ASSERT_EQ(run_result.report.size(), 1u);
        EXPECT_EQ(report_mismatch(run_result.report[0], shape, images), "");
        EXPECT_EQ(flash_mismatch(shape, images), "");
    }
};

class WineRun : public WineTest, public ::testing::WithParamInterface<WineCase> {};

TEST_P(WineRun, BehavesLikeTheLinuxBuild) {
    const WineCase& c = GetParam();
    Images images;
    ASSERT_NO_FATAL_FAILURE(
        write_images(c.selection, c.full_images ? full_image_sizes : image_sizes, false, images));

    const BuildRun reference = run(c, false);
    EXPECT_EQ(reference.status, c.status) << "the Linux build";
    const BuildRun windows = run(c, true);
    EXPECT_EQ(windows.status, c.status) << "upgrade.exe under wine";
    EXPECT_EQ(windows.out, reference.out);

    if (c.echoed != nullptr) {
        EXPECT_NE(reference.console.find(c.echoed), std::string::npos) << "the Linux build";
        EXPECT_NE(windows.console.find(c.echoed), std::string::npos) << "upgrade.exe under wine";
    }
    if (c.completes)
        expect_download_written(c, windows, images);

    // The figures beside each other, and the limits that hold on a loaded machine: a wait
    // sleeps until something happens, and ESC ends a wait or a stuck write at once.
    if (c.waits_idle) {
        std::cout << "[ figure ] " << c.name << ": wake-ups a second while waiting: Linux "
                  << reference.idle_wakeups << ", wine " << windows.idle_wakeups
                  << "; CPU share: Linux " << reference.idle_cpu << ", wine " << windows.idle_cpu
                  << "\n";
        EXPECT_LE(windows.idle_wakeups, 10) << "upgrade.exe wakes while it waits";
    }
    if (c.press_esc_after != nullptr) {
        // ESC ends the wait at the fragment it was waiting at: nothing is written after it.
        const std::string end = c.press_esc_after;
        EXPECT_TRUE(reference.out.ends_with(end))
            << "expected the output to end at " << printable(end) << ": "
            << printable(reference.out);
        std::cout << "[ figure ] " << c.name << ": ESC to exit: Linux " << reference.esc_to_exit_ms
                  << " ms, wine " << windows.esc_to_exit_ms << " ms\n";
        EXPECT_LT(windows.esc_to_exit_ms, wine_exit_ms) << "upgrade.exe is slow to end on ESC";
    }
    if (c.completes) {
        std::cout << "[ figure ] " << c.name << ": download: Linux " << reference.download_ms
                  << " ms, wine " << windows.download_ms << " ms\n";
    }
}

const WineCase wine_cases[] = {
    {.name = "three_images_with_resend",
     .args = {"COM1"},
     .sim_args = {"--resend", "1:2", "--text", "boot\\r\\n"},
     .completes = true,
     .resends = {{1, 2}},
     .echoed = "boot"},
    {.name = "two_mebibytes_in_three_images",
     .args = {"COM1"},
     .completes = true,
     .full_images = true},
    {.name = "data_phase_at_38400",
     .args = {"COM1", "/baud=38400"},
     .selection = 4,
     .completes = true,
     .speed = 384},
    {.name = "data_phase_at_230400",
     .args = {"COM1", "/baud=230400"},
     .selection = 2,
     .completes = true,
     .speed = 2304},
    {.name = "auto_mode_finds_the_receiver_on_com2",
     .sim_com = 1,
     .selection = 4,
     .completes = true},
    {.name = "escape_in_the_ready_loop",
     .args = {"COM1"},
     .sim_args = {"--delay", "60000"},
     .status = 27,
     .press_esc_after = "ready.\n",
     .waits_idle = true},
    {.name = "short_reply",
     .args = {"COM1"},
     .sim_args = {"--reply-short", "5"},
     .selection = 2,
     .status = 1},
    {.name = "line_gone_during_a_block",
     .args = {"COM1"},
     .sim_args = {"--hangup-at", "1"},
     .status = 1},
    // The plan's words and figures are the Linux build's, and it opens no port.
    {.name = "plan_of_the_images_found", .args = {"/plan"}},
    {.name = "plan_refused", .args = {"/plan", "/block=1"}, .status = 1},
};

// The cases above, and ESC during the exchange as the Linux build's tests meet it.
std::vector<WineCase> all_wine_cases() {
    std::vector<WineCase> all(std::begin(wine_cases), std::end(wine_cases));
    for (const EscCase& c : esc_cases) {
        all.push_back({.name = c.name,
                       .args = {"COM1"},
                       .sim_args = c.sim_args,
                       .selection = 4,
                       .status = 1,
                       .press_esc_after = c.stuck_at.c_str(),
                       .waits_idle = true});
    }
    return all;
}

INSTANTIATE_TEST_SUITE_P(Wine, WineRun, ::testing::ValuesIn(all_wine_cases()), CaseName());

// A port named on the command line ("COM2" for COM1 here) is opened as that device.
TEST_F(WineTest, OpensTheDeviceNamedForAPort) {
    const WineCase c{.name = "named",
                     .args = {"COM1", "/com1=COM2"},
                     .sim_com = 1,
                     .selection = 4,
                     .completes = true};
    Images images;
    ASSERT_NO_FATAL_FAILURE(write_images(c.selection, image_sizes, false, images));
    const BuildRun windows = run(c, true);
    EXPECT_EQ(windows.status, 0);
    EXPECT_NE(windows.out.find("port : COM1\n"), std::string::npos);
    expect_download_written(c, windows, images);
}

// The record of a download, written with the same JSON library in both builds: the same keys
// in the same order and the same facts, but for the times and the device's name; a port that
// is no USB adapter names none.
TEST_F(WineTest, RecordIsTheLinuxBuilds) {
    const WineCase c{.name = "record",
                     .args = {"COM1", "/log=records.jsonl"},
                     .selection = 4,
                     .completes = true};
    Images images;
    ASSERT_NO_FATAL_FAILURE(write_images(c.selection, image_sizes, false, images));
    EXPECT_EQ(run(c, false).status, 0) << "the Linux build";
    EXPECT_EQ(run(c, true).status, 0) << "upgrade.exe under wine";
    const auto bytes = read_file(path("records.jsonl"));
    const std::vector<std::string> lines = split_lines(std::string(bytes.begin(), bytes.end()));
    ASSERT_GE(lines.size(), 2U);
    nlohmann::ordered_json records[2] = {nlohmann::ordered_json::parse(lines[0]),
                                         nlohmann::ordered_json::parse(lines[1])};
    std::vector<std::string> keys[2];
    for (std::size_t i = 0; i < 2; ++i) {
        for (const auto& item : records[i].items())
            keys[i].push_back(item.key());
        EXPECT_TRUE(records[i]["adapter"].is_null()) << lines[i];
        for (const char* differs : {"start", "end", "seconds", "device"})
            records[i].erase(differs);
    }
    EXPECT_EQ(keys[1], keys[0]);
    EXPECT_EQ(records[1], records[0]);
}

// --version, --help and /list answer under wine as well, with status 0 and without opening a
// port: COM1 and COM2 lead nowhere during this test, so a port tried would be named on the
// console.
TEST_F(WineTest, VersionHelpAndListOpenNoPort) {
    for (const std::string request : {"--version", "--help", "/list"}) {
        close_pty(console);
        ASSERT_TRUE(open_pty(console, toolkit::PtySettings::FreshTerminal));
        upgrade = Child{};
        ASSERT_NO_FATAL_FAILURE(start_wine({request}));
        if (request == "--version") {
            // How long wine takes to end a process that has nothing left to do: the part of
            // every "ESC to exit" figure that is wine's own.
            EXPECT_TRUE(wait_output("upgrade ", wine_start_ms));
            const auto printed = Clock::now();
            EXPECT_EQ(wait_upgrade(wine_start_ms), 0) << request;
            std::cout << "[ figure ] wine's end of a process after its last output: "
                      << 1000 * seconds_since(printed) << " ms\n";
        } else {
            EXPECT_EQ(wait_upgrade(wine_start_ms), 0) << request;
        }
        pump(streams(), 100);
        const std::string out = lf_line_ends(upgrade.out.data);
        if (request == "--version") {
            EXPECT_EQ(out, std::string("upgrade ") + UPGRADE_E2E_VERSION + "\n");
        } else if (request == "--help") {
            // The help of the Windows build: its default devices, its names, its manual (its
            // wrapped lines joined).
            std::string joined;
            for (const char c : out) {
                const bool space = c == ' ' || c == '\n';
                if (!space || joined.empty() || joined.back() != ' ')
                    joined += space ? ' ' : c;
            }
            for (const char* words : {"(default COM1 com1, COM2 com2)", "/com1=COM3",
                                      "upgrade.txt, beside upgrade.exe", "/plan"})
                EXPECT_NE(joined.find(words), std::string::npos) << words << "\n" << out;
            EXPECT_EQ(out.find("/dev/"), std::string::npos) << out;
        } else {
            for (const std::string& line : split_lines(out)) {
                if (line != "No serial ports found.") {
                    EXPECT_NE(line.find("  /com1=COM"), std::string::npos) << printable(line);
                }
            }
        }
        EXPECT_EQ(visible_text(console.master.data).find("upgrade:"), std::string::npos)
            << printable(console.master.data);
        retire(upgrade);
    }
}

// A station of two ports under wine: each receiver is written as if alone, each port's text
// stands on lines of its own, and ESC after both downloads ends the station with its table.
TEST_F(WineTest, TwoPortStation) {
    const std::uint32_t sizes[3] = {65536 + 60000, 30000, 20000};
    Images images;
    ASSERT_NO_FATAL_FAILURE(write_images(7, sizes, false, images));
    std::string flashes[2];
    for (int index = 0; index < 2; ++index) {
        flashes[index] = path("flash" + std::to_string(index + 1) + ".bin");
        const std::string line =
            start_other_sim({"--mark-delay-ms", receiver_answer_ms, "--flash", flashes[index],
                             "--report", path("report" + std::to_string(index + 1)), "--timeout",
                             "90", "--link", wine_link(index)});
        ASSERT_FALSE(line.empty());
    }
    close_pty(console);
    ASSERT_TRUE(open_pty(console, toolkit::PtySettings::FreshTerminal));
    ASSERT_NO_FATAL_FAILURE(start_wine({"/station", "/com1=COM1", "/com2=COM2"}));
    for (const char* port : {"COM1", "COM2"}) {
        const std::string done = std::string(port) + ": change speed --> 57600";
        EXPECT_TRUE(wait_output(done, wine_start_ms + download_ms)) << port;
    }
    EXPECT_TRUE(wait_console_keys());
    press("\x1b");
    EXPECT_EQ(wait_upgrade(wine_start_ms), 0);
    pump(streams(), 100);
    const std::string out = lf_line_ends(upgrade.out.data);
    DownloadShape shape;
    shape.selection = 7;
    for (Child& child : other_runs)
        wait_exit(child);
    for (int index = 0; index < 2; ++index) {
        auto flash = read_file(flashes[index]);
        EXPECT_TRUE(flash == expected_flash(shape, images)) << "COM" << index + 1;
        const std::string row = "\nCOM" + std::to_string(index + 1) + "   ";
        EXPECT_NE(out.find(row), std::string::npos) << printable(out);
    }
    for (const std::string& line : split_lines(out.substr(0, out.find("\nport   device")))) {
        if (line.rfind("COM", 0) != 0)
            continue;
        EXPECT_TRUE(line.rfind("COM1: ", 0) == 0 || line.rfind("COM2: ", 0) == 0) << line;
    }
    retire(upgrade);
}

// A station's port under wine whose device goes away in the middle of a block and comes back
// (a simulator that hangs up, then a new one behind the same COM1): the port is closed, opened
// anew once its device answers, and serves the new receiver, whose flash is written byte for
// byte. Its first download counts as failed, its second as finished.
TEST_F(WineTest, StationPortUnpluggedAndPluggedInAgain) {
    const std::uint32_t sizes[3] = {65536 + 60000, 30000, 20000};
    Images images;
    ASSERT_NO_FATAL_FAILURE(write_images(7, sizes, false, images));
    const auto plug_in = [&](int round, const std::vector<std::string>& fault) {
        std::vector<std::string> args = {"--mark-delay-ms",  receiver_answer_ms,
                                         "--flash",          path("flash" + std::to_string(round)),
                                         "--timeout",        "90",
                                         "--announce-every", "1000",
                                         "--link",           wine_link(0)};
        args.insert(args.end(), fault.begin(), fault.end());
        return !start_other_sim(args).empty();
    };
    ASSERT_TRUE(plug_in(1, {"--hangup-at", "1"}));
    close_pty(console);
    ASSERT_TRUE(open_pty(console, toolkit::PtySettings::FreshTerminal));
    ASSERT_NO_FATAL_FAILURE(start_wine({"/station", "/com1=COM1"}));
    ASSERT_TRUE(
        wait_output("COM1: Error : the serial line on COM1 is gone", wine_start_ms + download_ms));
    ASSERT_TRUE(plug_in(2, {}));
    ASSERT_TRUE(wait_output("COM1: COM1 appeared.", wine_start_ms));
    ASSERT_TRUE(wait_output("COM1: change speed --> 57600", download_ms));
    EXPECT_TRUE(wait_console_keys());
    press("\x1b");
    EXPECT_EQ(wait_upgrade(wine_start_ms), 1) << "the first download was cut by the unplug";
    pump(streams(), 100);
    DownloadShape shape;
    shape.selection = 7;
    EXPECT_TRUE(read_file(path("flash2")) == expected_flash(shape, images));
    const std::string out = lf_line_ends(upgrade.out.data);
    int finished = -1, failed = -1;
    const std::size_t row = out.find("\nCOM1   COM1 ");
    ASSERT_NE(row, std::string::npos) << printable(out);
    ASSERT_EQ(std::sscanf(out.c_str() + row, "\nCOM1 COM1 %d %d", &finished, &failed), 2);
    EXPECT_EQ(finished, 1);
    EXPECT_EQ(failed, 1);
    retire(upgrade);
}

} // namespace
} // namespace e2e
