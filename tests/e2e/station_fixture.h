#ifndef UPGRADE_TESTS_E2E_STATION_FIXTURE_H
#define UPGRADE_TESTS_E2E_STATION_FIXTURE_H

// Fixture for a station (/station) of simulated receivers: each line's simulator with its flash,
// report and link, and the readings of what the station said: its table's rows, each port's
// text, each port's records.

#include "sim_fixture.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <map>
#include <set>

namespace e2e {

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

    // Each line is reached through a link of the test's own, as a by-id name reaches an
    // adapter: once a simulator is gone, a port waiting for its device must not take a
    // pseudo-terminal that another test made under the same number.
    void start_line(StationLine& line, const std::vector<std::string>& extra) {
        line.dir = path("com" + std::to_string(line.com));
        std::filesystem::create_directory(line.dir);
        std::vector<std::string> args = {"--flash",      line.dir + "/flash.bin",
                                         "--report",     line.dir + "/report.txt",
                                         "--timeout",    "25",
                                         "--block-text", "programmed",
                                         "--link",       line.dir + "/device"};
        args.insert(args.end(), extra.begin(), extra.end());
        if (start_other_sim(args).empty())
            return;
        line.device = line.dir + "/device";
        ASSERT_FALSE(line.device.empty());
    }

    // The table's row of each port: finished, failed, unplugged, and the rest (chip, result).
    struct Row {
        int finished = -1, failed = -1, unplugged = -1;
        std::string rest;
    };
    static std::map<std::string, Row> table_rows(const std::string& out) {
        std::map<std::string, Row> rows;
        const std::size_t table = out.find("\nport   device");
        if (table == std::string::npos)
            return rows;
        for (const std::string& text : split_lines(out.substr(table + 1))) {
            char port[8], device[128];
            Row row;
            int consumed = 0;
            if (std::sscanf(text.c_str(), "COM%7s %127s %d %d %d  %n", port, device, &row.finished,
                            &row.failed, &row.unplugged, &consumed) != 5)
                continue;
            row.rest = text.substr(static_cast<std::size_t>(consumed));
            rows[std::string("COM") + port] = row;
        }
        return rows;
    }

    // Each port's text, its prefix taken off; a line of no port given is a failure.
    static std::map<std::string, std::string> text_by_port(const std::string& out, std::size_t from,
                                                           const std::set<std::string>& ports) {
        std::map<std::string, std::string> by_port;
        const std::size_t table = out.find("\nport   device");
        for (const std::string& line : split_lines(out.substr(from, table - from))) {
            const std::size_t colon = line.find(": ");
            const std::string port = line.substr(0, colon);
            EXPECT_TRUE(colon != std::string::npos && ports.count(port) == 1)
                << "a line of no port: " << line;
            if (colon != std::string::npos)
                by_port[port] += line.substr(colon + 2) + "\n";
        }
        return by_port;
    }

    std::map<std::string, std::string> records_by_port() {
        std::map<std::string, std::string> results;
        auto bytes = read_file(path("records.jsonl"));
        for (const std::string& line : split_lines(std::string(bytes.begin(), bytes.end()))) {
            if (line.empty())
                continue;
            const auto record = nlohmann::json::parse(line);
            results[record["port"]] += std::string(record["result"]) + " ";
        }
        return results;
    }

    bool flash_is(const std::string& file) {
        DownloadShape shape;
        shape.selection = 7;
        return read_file(file) == expected_flash(shape, images);
    }

    // ESC, once the program reads keys: the station ends with its table.
    int end_with_escape() {
        if (!wait_console_keys())
            return -2;
        press("\x1b");
        return wait_upgrade(prompt_ms);
    }

    Images images;
};

} // namespace e2e

#endif
