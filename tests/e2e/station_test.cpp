// A station (/station): many receivers at once, each port served by the same loop as the
// one-port program. A receiver that resends, hangs up, floods or stalls holds only its own
// port; a port whose device goes away waits for one to appear at the same path and serves it;
// every line of output belongs to one port; ESC ends the station with a table that says what
// each port did.

#include "station_fixture.h"

#include "system/sha256.h"

#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdio>
#include <map>
#include <set>

namespace e2e {
namespace {

TEST_F(Station, FourReceiversAtOnceOneOfThemFaulty) {
    StationLine lines[4] = {
        {1, false, {}, {}}, {2, false, {}, {}}, {5, false, {}, {}}, {12, true, {}, {}}};
    for (StationLine& line : lines)
        ASSERT_NO_FATAL_FAILURE(start_line(
            line, line.faulty ? std::vector<std::string>{"--resend", "1:2", "--hangup-at", "3"}
                              : std::vector<std::string>{}));
    com_device[0] = lines[0].device;
    com_device[1] = lines[1].device;
    start_upgrade({"/station", "/com5=" + lines[2].device, "/com12=" + lines[3].device,
                   "/log=" + path("records.jsonl")});
    // Every simulator ends after its one download and closes its line: each port says so and
    // waits for its device, until ESC.
    for (const StationLine& line : lines)
        ASSERT_TRUE(wait_output("COM" + std::to_string(line.com) + ": Error : the serial line on " +
                                    line.device + " is gone",
                                download_ms))
            << "COM" << line.com;
    EXPECT_EQ(end_with_escape(), 1) << "a download that did not finish";

    for (Child& child : other_runs)
        wait_exit(child);
    for (const StationLine& line : lines) {
        if (!line.faulty) {
            EXPECT_TRUE(flash_is(line.dir + "/flash.bin")) << "COM" << line.com;
        }
    }

    // Every line is one port's, whole; then the table.
    const std::string& out = upgrade.out.data;
    const std::string settings = banner() + settings_report("COM1, COM2, COM5, COM12", 1152, 51200);
    ASSERT_EQ(out.substr(0, settings.size()), settings);
    auto by_port = text_by_port(out, settings.size(), {"COM1", "COM2", "COM5", "COM12"});
    for (const StationLine& line : lines) {
        const std::string& text = by_port["COM" + std::to_string(line.com)];
        EXPECT_NE(text.find("ready.\n\nFound all files.\nstart pol ok\n"), std::string::npos)
            << "COM" << line.com;
        // The lost line stands on a line of its own, after the last fragment or "ready.".
        EXPECT_NE(text.find("\nError : the serial line on " + line.device + " is gone ("),
                  std::string::npos)
            << text;
        if (!line.faulty) {
            EXPECT_NE(text.find("change speed --> 57600\nnext......\nready.\nError : "),
                      std::string::npos)
                << text;
        }
        // A fragment ends its line, and the receiver's text stands on lines of its own.
        EXPECT_NE(text.find("len = 51200  ::  \nprogrammed\ncrc = "), std::string::npos) << text;
    }
    const auto rows = table_rows(out);
    ASSERT_EQ(rows.size(), 4U) << printable(out);
    for (const StationLine& line : lines) {
        const Row& row = rows.at("COM" + std::to_string(line.com));
        EXPECT_EQ(row.finished, line.faulty ? 0 : 1) << "COM" << line.com;
        EXPECT_EQ(row.failed, line.faulty ? 1 : 0) << "COM" << line.com;
        EXPECT_EQ(row.unplugged, 1) << "COM" << line.com;
        EXPECT_EQ(row.rest, std::string("AMD AM29LV160BB       ") +
                                (line.faulty ? "line lost, unplugged" : "finished, unplugged"))
            << "COM" << line.com;
    }

    // One record per download, with its port.
    auto bytes = read_file(path("records.jsonl"));
    for (const std::string& line : split_lines(std::string(bytes.begin(), bytes.end()))) {
        if (line.empty())
            continue;
        const auto record = nlohmann::json::parse(line);
        // Also where the line was lost inside the font: its digest is finished from the file,
        // and the tplist's, never sent, is taken from the file alone.
        ASSERT_EQ(record["images"].size(), 3U) << line;
        for (int kind = 0; kind < 3; ++kind) {
            char hex[sha256_hex_size];
            sha256_hex_of(images.file[kind].data(), images.file[kind].size(), hex);
            EXPECT_EQ(record["images"][static_cast<std::size_t>(kind)]["sha256"], hex) << line;
        }
    }
    EXPECT_EQ(records_by_port(), (std::map<std::string, std::string>{{"COM1", "finished "},
                                                                     {"COM2", "finished "},
                                                                     {"COM5", "finished "},
                                                                     {"COM12", "line_lost "}}));
}

// A production line unplugs adapters all day. One port's adapter is pulled out in the middle
// of a block twice and plugged in again each time (a simulator that hangs up, then a new one
// whose line is reached through the same path): the port serves each new receiver, the one
// after the last replug is flashed byte for byte, and the other ports are never disturbed.
TEST_F(Station, APortUnpluggedTwiceServesTheReceiverPluggedInAgain) {
    StationLine steady[3] = {{1, false, {}, {}}, {3, false, {}, {}}, {4, false, {}, {}}};
    for (StationLine& line : steady)
        ASSERT_NO_FATAL_FAILURE(start_line(line, {"--timeout", "60"}));
    const std::string link = path("adapter");
    const auto plug_in = [&](int round, const std::vector<std::string>& fault) {
        StationLine line{2, false, {}, {}};
        line.dir = path("round" + std::to_string(round));
        std::filesystem::create_directory(line.dir);
        std::vector<std::string> args = {
            "--link",       link,        "--flash",          line.dir + "/flash.bin",
            "--timeout",    "60",        "--announce-every", "1000",
            "--block-text", "programmed"};
        args.insert(args.end(), fault.begin(), fault.end());
        return !start_other_sim(args).empty();
    };
    ASSERT_TRUE(plug_in(1, {"--hangup-at", "1"}));
    com_device[0] = steady[0].device;
    com_device[1] = link;
    start_upgrade({"/station", "/com3=" + steady[1].device, "/com4=" + steady[2].device,
                   "/log=" + path("records.jsonl")});
    // COM2's lines come in the order the port says them, each after the one before; the other
    // ports' lines may stand between any two of them, as they are written as they come.
    std::size_t said = 0;
    const auto com2_says = [&](const std::string& text) {
        if (!wait_for(upgrade.out, text, download_ms, said))
            return false;
        said = upgrade.out.data.find(text, said) + text.size();
        return true;
    };
    const std::string gone = "COM2: Error : the serial line on " + link + " is gone";
    const std::string appeared = "COM2: " + link + " appeared.\nCOM2: ready.\n";
    ASSERT_TRUE(com2_says(gone));
    ASSERT_TRUE(plug_in(2, {"--hangup-at", "2"}));
    ASSERT_TRUE(com2_says(appeared));
    ASSERT_TRUE(com2_says(gone));
    ASSERT_TRUE(plug_in(3, {}));
    ASSERT_TRUE(com2_says(appeared));
    // Each simulator closes its line after its download: the last unplug of every port.
    ASSERT_TRUE(com2_says("COM2: change speed --> 57600\n"));
    ASSERT_TRUE(com2_says("COM2: next......\nCOM2: ready.\n"));
    ASSERT_TRUE(com2_says(gone));
    for (const StationLine& line : steady)
        ASSERT_TRUE(wait_output("COM" + std::to_string(line.com) + ": Error : the serial line on " +
                                    line.device + " is gone",
                                download_ms));
    EXPECT_EQ(end_with_escape(), 1) << "two downloads were cut by an unplug";

    EXPECT_TRUE(flash_is(path("round3/flash.bin")));
    for (const StationLine& line : steady)
        EXPECT_TRUE(flash_is(line.dir + "/flash.bin")) << "COM" << line.com;
    const std::string& out = upgrade.out.data;
    const std::string settings = banner() + settings_report("COM1, COM2, COM3, COM4", 1152, 51200);
    ASSERT_EQ(out.substr(0, settings.size()), settings);
    auto by_port = text_by_port(out, settings.size(), {"COM1", "COM2", "COM3", "COM4"});
    // The other ports served their one receiver from start to end, untouched by COM2's unplugs.
    for (const char* port : {"COM1", "COM3", "COM4"}) {
        const std::string& text = by_port[port];
        EXPECT_EQ(text.find("Error"),
                  text.find("change speed --> 57600\nnext......\nready.\n") +
                      std::string("change speed --> 57600\nnext......\nready.\n").size())
            << port << text;
    }
    const auto rows = table_rows(out);
    ASSERT_EQ(rows.size(), 4U) << printable(out);
    EXPECT_EQ(rows.at("COM2").finished, 1);
    EXPECT_EQ(rows.at("COM2").failed, 2);
    EXPECT_EQ(rows.at("COM2").unplugged, 3);
    for (const char* port : {"COM1", "COM3", "COM4"}) {
        EXPECT_EQ(rows.at(port).finished, 1) << port;
        EXPECT_EQ(rows.at(port).failed, 0) << port;
        EXPECT_EQ(rows.at(port).unplugged, 1) << port;
    }
    EXPECT_EQ(records_by_port(),
              (std::map<std::string, std::string>{{"COM1", "finished "},
                                                  {"COM2", "line_lost line_lost finished "},
                                                  {"COM3", "finished "},
                                                  {"COM4", "finished "}}));
}

// A device named with /comN= that is not there yet is waited for, visibly (a mistyped name
// must not look like a quiet station), and served once it appears.
TEST_F(Station, ADeviceThatAppearsLaterIsServed) {
    StationLine first{1, false, {}, {}};
    ASSERT_NO_FATAL_FAILURE(start_line(first, {}));
    const std::string later = path("later/adapter");
    com_device[0] = first.device;
    start_upgrade({"/station", "/com3=" + later});
    ASSERT_TRUE(wait_output("COM3: waiting for " + later + " to appear.\n"));
    ASSERT_TRUE(wait_output("COM1: change speed --> 57600", download_ms));
    // Its folder too comes with the device, as /dev/serial/by-id comes with the first adapter.
    std::filesystem::create_directory(path("later"));
    StationLine third{3, false, {}, {}};
    ASSERT_NO_FATAL_FAILURE(start_line(third, {"--link", later, "--announce-every", "1000"}));
    third.device = later;
    ASSERT_TRUE(wait_output("COM3: " + later + " appeared.\nCOM3: ready.\n"));
    ASSERT_TRUE(wait_output("COM3: change speed --> 57600", download_ms));
    EXPECT_EQ(end_with_escape(), 0);
    EXPECT_TRUE(flash_is(third.dir + "/flash.bin"));
    EXPECT_EQ(table_rows(upgrade.out.data).at("COM3").finished, 1);
}

// A receiver that floods its port with text and one that stalls hold only their own ports: the
// others are written in full meanwhile; ESC then ends the stalled one.
TEST_F(Station, AFloodingAndAStalledReceiverHoldOnlyTheirPorts) {
    StationLine lines[3] = {{1, false, {}, {}}, {2, false, {}, {}}, {3, true, {}, {}}};
    ASSERT_NO_FATAL_FAILURE(start_line(lines[0], {}));
    ASSERT_NO_FATAL_FAILURE(start_line(lines[1], {"--chatter-ms", "30"}));
    ASSERT_NO_FATAL_FAILURE(start_line(lines[2], {"--no-mark-at", "1"}));
    com_device[0] = lines[0].device;
    com_device[1] = lines[1].device;
    start_upgrade({"/station", "/com3=" + lines[2].device});
    for (const char* port : {"COM1", "COM2"})
        ASSERT_TRUE(wait_output(std::string(port) + ": change speed --> 57600", download_ms))
            << port;
    ASSERT_TRUE(wait_output("COM3: crc = ", download_ms));
    ASSERT_TRUE(wait_console_keys());
    press("\x1b");
    EXPECT_EQ(wait_upgrade(prompt_ms), 1) << "the stalled download did not finish";
    DownloadShape shape;
    shape.selection = 7;
    for (Child& child : other_runs) {
        if (!child.reaped)
            kill(child.pid, SIGTERM);
        wait_exit(child);
    }
    for (int i = 0; i < 2; ++i) {
        auto flash = read_file(lines[i].dir + "/flash.bin");
        EXPECT_TRUE(flash == expected_flash(shape, images)) << "COM" << lines[i].com;
    }
    const std::string& out = upgrade.out.data;
    EXPECT_NE(out.find("COM2: flash: erasing and programming"), std::string::npos)
        << "the flood was not shown";
    EXPECT_NE(out.find("\nCOM3   "), std::string::npos);
}

// ESC ends the station: the downloads in flight end as ESC ends one, the table is printed, and
// a station whose downloads did not all finish ends with status 1.
TEST_F(Station, EscEndsEveryPort) {
    StationLine lines[2] = {{1, false, {}, {}}, {2, false, {}, {}}};
    for (StationLine& line : lines)
        ASSERT_NO_FATAL_FAILURE(start_line(line, {"--no-mark-at", "1"}));
    com_device[0] = lines[0].device;
    com_device[1] = lines[1].device;
    start_upgrade({"/station"});
    ASSERT_TRUE(wait_output("COM1: crc = ", download_ms));
    ASSERT_TRUE(wait_output("COM2: crc = ", download_ms));
    ASSERT_TRUE(wait_console_keys());
    press("\x1b");
    EXPECT_EQ(wait_upgrade(prompt_ms), 1);
    const auto rows = table_rows(upgrade.out.data);
    ASSERT_EQ(rows.size(), 2U) << printable(upgrade.out.data);
    for (const char* port : {"COM1", "COM2"}) {
        ASSERT_EQ(rows.count(port), 1U) << port << ": " << printable(upgrade.out.data);
        const Row& row = rows.at(port);
        EXPECT_EQ(row.finished, 0) << port;
        EXPECT_EQ(row.failed, 1) << port;
        EXPECT_EQ(row.unplugged, 0) << port;
        EXPECT_EQ(row.rest, "AMD AM29LV160BB       escaped") << port;
    }
}

// A station left running is stopped by a signal (the production line's service manager) as by
// ESC: the download in flight ends, the table is printed, and the signal then ends the program
// as it would have, the terminal given back; a second signal would end it at once.
TEST_F(Station, ASignalStopsTheStationWithItsTable) {
    StationLine line{1, false, {}, {}};
    ASSERT_NO_FATAL_FAILURE(start_line(line, {"--no-mark-at", "1"}));
    com_device[0] = line.device;
    start_upgrade({"/station"});
    ASSERT_TRUE(wait_output("COM1: crc = ", download_ms));
    ASSERT_TRUE(wait_console_keys());
    kill(upgrade.pid, SIGTERM);
    EXPECT_EQ(wait_upgrade(prompt_ms), 128 + SIGTERM);
    const auto rows = table_rows(upgrade.out.data);
    ASSERT_EQ(rows.count("COM1"), 1U) << printable(upgrade.out.data);
    EXPECT_EQ(rows.at("COM1").failed, 1);
    EXPECT_EQ(rows.at("COM1").rest, "AMD AM29LV160BB       escaped");
    EXPECT_TRUE(console_given_back()) << "the terminal was left without echo";
}

// With /progress on a terminal each port has a status line of its own at the bottom, redrawn
// in place (the block is taken off the screen and drawn again below new lines), each image's
// last state stays among its port's lines, and a port waiting for its device says so there.
TEST_F(Station, ProgressOnATerminalGivesEachPortItsStatusLine) {
    StationLine lines[2] = {{1, false, {}, {}}, {2, false, {}, {}}};
    for (StationLine& line : lines)
        ASSERT_NO_FATAL_FAILURE(start_line(line, {"--mark-delay-ms", "20"}));
    com_device[0] = lines[0].device;
    com_device[1] = lines[1].device;
    upgrade_stdout = Output::Console;
    start_upgrade({"/station", "/progress", "/block=8192"});
    // Each simulator closes its line after its download: the port's status line says it waits.
    for (const char* port : {"COM1", "COM2"})
        ASSERT_TRUE(
            wait_for(console.master, std::string(port) + ": waiting for the device", download_ms))
            << port;
    EXPECT_EQ(end_with_escape(), 0);
    pump(streams(), 100);
    const std::string& screen = console.master.data;
    EXPECT_NE(screen.find("\x1b[A"), std::string::npos) << "the status block was never redrawn";
    for (const char* port : {"COM1: ", "COM2: "}) {
        for (const char* image : {"host ", "font ", "tplist "}) {
            const std::string status = std::string(port) + image;
            const std::size_t at = screen.find(status);
            ASSERT_NE(at, std::string::npos) << status;
            EXPECT_NE(screen.find("100%", at), std::string::npos) << status;
        }
        EXPECT_NE(screen.find(std::string(port) + "summary : 3 images"), std::string::npos) << port;
    }
}

} // namespace
} // namespace e2e
