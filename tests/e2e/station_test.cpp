// A station (/station): four receivers at once, one of which asks for blocks again and then
// hangs up in the middle of a block. The other three must be flashed exactly as if alone, the
// fourth reported and dropped, every line of output must belong to one port, and the table and
// the exit status must say what happened.

#include "sim_fixture.h"

#include "system/sha256.h"

#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdio>

namespace e2e {
namespace {

struct StationLine {
    int com;         // N of COMN
    bool faulty;     // resends, then a hangup in the middle of a block
    std::string dir; // its simulator's flash and report
    std::string device;
};

class Station : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        const std::uint32_t sizes[3] = {65536 + 120000, 70000, 30000};
        ASSERT_NO_FATAL_FAILURE(write_images(7, sizes, false, images));
    }

    void start_line(StationLine& line, const std::vector<std::string>& extra) {
        line.dir = path("com" + std::to_string(line.com));
        std::filesystem::create_directory(line.dir);
        std::vector<std::string> args = {
            "--flash", line.dir + "/flash.bin", "--report",  line.dir + "/report.txt", "--timeout",
            "25",      "--block-text",          "programmed"};
        args.insert(args.end(), extra.begin(), extra.end());
        line.device = start_other_sim(args);
        ASSERT_FALSE(line.device.empty());
    }

    Images images;
};

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
    // Every simulator ends after its one download and closes its line: the station drops each
    // port and ends by itself.
    EXPECT_EQ(wait_upgrade(download_ms), 1) << "a download that did not finish";

    DownloadShape shape;
    shape.selection = 7;
    for (Child& child : other_runs)
        wait_exit(child);
    for (const StationLine& line : lines) {
        if (line.faulty)
            continue;
        auto flash = read_file(line.dir + "/flash.bin");
        EXPECT_TRUE(flash == expected_flash(shape, images)) << "COM" << line.com;
    }

    // Every line is one port's, whole; then the table.
    const std::string& out = upgrade.out.data;
    const std::size_t table = out.find("\nport   device");
    ASSERT_NE(table, std::string::npos) << printable(out);
    const std::string settings = banner() + settings_report("auto", 1152, 51200);
    ASSERT_EQ(out.substr(0, settings.size()), settings);
    std::map<std::string, std::string> by_port;
    for (const std::string& line :
         split_lines(out.substr(settings.size(), table - settings.size()))) {
        const std::size_t colon = line.find(": ");
        const std::string number = line.substr(3, colon == std::string::npos ? 0 : colon - 3);
        ASSERT_TRUE(line.rfind("COM", 0) == 0 &&
                    (number == "1" || number == "2" || number == "5" || number == "12"))
            << "a line of no port: " << line;
        by_port[number] += line.substr(colon + 2) + "\n";
    }
    for (const StationLine& line : lines) {
        const std::string& text = by_port[std::to_string(line.com)];
        EXPECT_NE(text.find("ready.\n\nFound all files.\nstart pol ok\n"), std::string::npos)
            << "COM" << line.com;
        if (line.faulty) {
            EXPECT_NE(text.find("Error : the serial line on " + line.device + " is gone"),
                      std::string::npos)
                << text;
        } else {
            EXPECT_NE(text.find("change speed --> 57600\nnext......\nready.\n"), std::string::npos)
                << text;
        }
        // A fragment ends its line, and the receiver's text stands on lines of its own.
        EXPECT_NE(text.find("len = 51200  ::  \nprogrammed\ncrc = "), std::string::npos) << text;
    }
    const auto rows = split_lines(out.substr(table + 1));
    // port, device, finished, failed, then the last chip (21 wide) and the last result
    int rows_seen = 0;
    for (const std::string& text : rows) {
        char port[8], device[64];
        int finished = -1, failed = -1, consumed = 0;
        if (std::sscanf(text.c_str(), "COM%7s %63s %d %d  %n", port, device, &finished, &failed,
                        &consumed) != 4)
            continue;
        ++rows_seen;
        const bool faulty = std::string(port) == "12";
        EXPECT_EQ(finished, faulty ? 0 : 1) << text;
        EXPECT_EQ(failed, faulty ? 1 : 0) << text;
        EXPECT_EQ(text.substr(static_cast<std::size_t>(consumed)),
                  std::string("AMD AM29LV160BB       ") +
                      (faulty ? "line lost, dropped" : "finished, dropped"))
            << text;
    }
    EXPECT_EQ(rows_seen, 4) << printable(out);

    // One record per download, with its port.
    auto bytes = read_file(path("records.jsonl"));
    std::map<std::string, std::string> results;
    for (const std::string& line : split_lines(std::string(bytes.begin(), bytes.end()))) {
        if (line.empty())
            continue;
        const auto record = nlohmann::json::parse(line);
        results[record["port"]] = record["result"];
        // Also where the line was lost inside the font: its digest is finished from the file,
        // and the tplist's, never sent, is taken from the file alone.
        ASSERT_EQ(record["images"].size(), 3U) << line;
        for (int kind = 0; kind < 3; ++kind) {
            char hex[sha256_hex_size];
            sha256_hex_of(images.file[kind].data(), images.file[kind].size(), hex);
            EXPECT_EQ(record["images"][static_cast<std::size_t>(kind)]["sha256"], hex) << line;
        }
    }
    EXPECT_EQ(results, (std::map<std::string, std::string>{{"COM1", "finished"},
                                                           {"COM2", "finished"},
                                                           {"COM5", "finished"},
                                                           {"COM12", "line_lost"}}));
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
    const std::string& out = upgrade.out.data;
    EXPECT_NE(out.find("\nCOM1   "), std::string::npos) << printable(out);
    EXPECT_NE(out.find("escaped"), std::string::npos) << printable(out);
}

// With /progress on a terminal each port has a status line of its own at the bottom, redrawn
// in place (the block is taken off the screen and drawn again below each new line), and each
// image's last state stays among its port's lines.
TEST_F(Station, ProgressOnATerminalGivesEachPortItsStatusLine) {
    StationLine lines[2] = {{1, false, {}, {}}, {2, false, {}, {}}};
    for (StationLine& line : lines)
        ASSERT_NO_FATAL_FAILURE(start_line(line, {"--mark-delay-ms", "20"}));
    com_device[0] = lines[0].device;
    com_device[1] = lines[1].device;
    upgrade_stdout = Output::Console;
    start_upgrade({"/station", "/progress", "/block=8192"});
    EXPECT_EQ(wait_upgrade(download_ms), 0);
    pump(streams(), 100);
    const std::string& screen = console.master.data;
    EXPECT_NE(screen.find("\x1b[J"), std::string::npos) << "the status block was never redrawn";
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
