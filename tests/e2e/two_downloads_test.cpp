// Two downloads at once in one process, each on its own line against its own receiver: a
// download keeps all its state in what it is handed (its port and its buffers), so neither can
// disturb the other. Each flash must come out byte for byte as its images.

#include "sim_fixture.h"

#include "driver/line.h"
#include "link/serial_port.h"
#include "protocol/download.h"
#include "system/keyboard.h"

#include <thread>

namespace e2e {
namespace {

// One receiver's side of the test: its images, the simulator's files, the download's result.
struct Line {
    std::string dir;
    std::string device;
    Images images;
    DownloadShape shape;
    std::string file_names[3];
    std::uint8_t buffer[block_buffer_size] = {};
    DownloadOutcome outcome;
    bool announced = false;
};

// The program's own wait for the announcement, then the download, as a line of the program
// serves its receiver.
void serve(Line& line) {
    static thread_local PortSet ports;
    SerialPort& port = ports.com[0];
    port = open_port(line.device.c_str(), base_baud);
    if (!port_is_open(port))
        return;
    ports.active = 0;
    line.announced = wait_for_announcement(ports) == Heard::Announcement;
    if (line.announced) {
        DownloadRequest request;
        request.selection = static_cast<std::uint8_t>(line.shape.selection);
        request.block_size = line.shape.block_size;
        request.speed_hundreds = line.shape.speed;
        for (int kind = 0; kind < 3; ++kind)
            request.file_names[kind] = line.file_names[kind].c_str();
        line.outcome = run_download(port, line.buffer, request);
    }
    close_port(port);
}

TEST_F(SimTest, TwoDownloadsAtOnceInOneProcess) {
    static Line lines[2]; // the buffers are large: not on the test's stack
    // The same selection on both lines, so that a buffer shared between them would show.
    const std::uint32_t sizes[2][3] = {{65536 + 150000, 60000, 20000},
                                       {65536 + 70000, 110000, 120000}};
    const int selections[2] = {7, 7};
    for (int i = 0; i < 2; ++i) {
        Line& line = lines[i];
        line.dir = path("line" + std::to_string(i));
        std::filesystem::create_directory(line.dir);
        line.shape.selection = selections[i];
        for (int kind = 0; kind < 3; ++kind) {
            if (((selections[i] >> kind) & 1) == 0)
                continue;
            line.images.file[kind] =
                image_bytes(sizes[i][kind], static_cast<unsigned>(500 + 10 * i + kind));
            line.file_names[kind] = line.dir + "/" + default_names[kind];
            ASSERT_TRUE(write_file(line.file_names[kind], line.images.file[kind]));
        }
        line.device =
            start_other_sim({"--flash", line.dir + "/flash.bin", "--report",
                             line.dir + "/report.txt", "--timeout", std::to_string(sim_timeout_s)});
        ASSERT_FALSE(line.device.empty());
    }
    // The console is opened once, before the downloads start looking at the keyboard.
    console_wait_handle();
    std::thread first(serve, std::ref(lines[0]));
    std::thread second(serve, std::ref(lines[1]));
    first.join();
    second.join();

    // The simulators write their flash files as they end.
    for (Child& child : other_runs)
        EXPECT_EQ(wait_exit(child), 0) << "a simulator found its download wrong";
    for (int i = 0; i < 2; ++i) {
        const Line& line = lines[i];
        EXPECT_TRUE(line.announced) << "line " << i;
        EXPECT_EQ(line.outcome.result, DownloadResult::Finished) << "line " << i;
        EXPECT_EQ(line.outcome.reply.device_id, 0x2249) << "line " << i;
        auto flash = read_file(line.dir + "/flash.bin");
        EXPECT_TRUE(flash == expected_flash(line.shape, line.images))
            << "line " << i << ": the flash differs from its images";
    }
}

} // namespace
} // namespace e2e
