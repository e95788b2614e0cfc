// The record of every download (/log=): one JSON line per download that started, appended whole,
// naming the images by their digest and counting what went on the line as the receiver saw it.

#include "sim_fixture.h"

#include "system/sha256.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <cstdio>

namespace e2e {
namespace {

using nlohmann::json;

std::string hex_sha256(const std::vector<std::uint8_t>& bytes) {
    char hex[sha256_hex_size];
    sha256_hex_of(bytes.data(), bytes.size(), hex);
    return hex;
}

std::vector<json> records_in(const std::string& file) {
    auto bytes = read_file(file);
    std::vector<json> records;
    for (const std::string& line : split_lines(std::string(bytes.begin(), bytes.end())))
        if (!line.empty())
            records.push_back(json::parse(line));
    return records;
}

const char* kind_names[3] = {"host", "font", "tplist"};

TEST_F(SimTest, RecordOfAFinishedDownloadMatchesImagesAndReceiver) {
    const std::uint32_t sizes[3] = {65536 + 120000, 70000, 20000};
    Images images;
    ASSERT_NO_FATAL_FAILURE(write_images(7, sizes, true, images));
    ASSERT_NO_FATAL_FAILURE(start_receiver({"--resend", "3:1"}));
    std::vector<std::string> args = {"/log=" + path("records.jsonl")};
    for (const auto& name : name_args(7))
        args.push_back(name);
    start_upgrade(args);
    EXPECT_EQ(wait_upgrade(download_ms), 0);
    EXPECT_EQ(wait_exit(sim), 0);

    const auto records = records_in(path("records.jsonl"));
    ASSERT_EQ(records.size(), 1U);
    const json& r = records[0];
    EXPECT_EQ(r["result"], "finished");
    EXPECT_TRUE(r["reason"].is_null());
    EXPECT_EQ(r["port"], "COM1");
    EXPECT_EQ(r["device"], com_device[0]);
    EXPECT_TRUE(r["adapter"].is_null()) << "a pseudo-terminal is no USB adapter";
    EXPECT_EQ(r["bootblock"], "1.2");
    EXPECT_EQ(r["model"], "AMD AM29LV160BB");
    EXPECT_EQ(r["speed"], 115200);
    ASSERT_EQ(r["images"].size(), 3U);
    for (int kind = 0; kind < 3; ++kind) {
        const json& image = r["images"][static_cast<std::size_t>(kind)];
        EXPECT_EQ(image["kind"], kind_names[kind]);
        EXPECT_EQ(image["file"], given_names[kind]);
        EXPECT_EQ(image["length"], images.file[kind].size());
        EXPECT_EQ(image["sha256"], hex_sha256(images.file[kind])) << kind_names[kind];
    }
    EXPECT_EQ(r["images"][0]["blocks"], 3);
    EXPECT_EQ(r["images"][1]["resends"], 1); // block 3 is the font's first

    // What the receiver received: the access string, the header, every frame it reported.
    auto downloads = report();
    ASSERT_EQ(downloads.size(), 1U);
    const std::uint64_t frames = downloads[0].blocks.size();
    EXPECT_EQ(frames, 3U + 2U + 1U + 1U);
    EXPECT_EQ(r["bytes_sent"].get<std::uint64_t>(), 15U + 52U + frames * (51200U + 16U));
}

// A file rewritten in place during its download (a copy over it, say): the receiver gets the
// old first block and the new rest, and the record names exactly those bytes, not the file as
// it was before the first block went out.
TEST_F(SimTest, RecordNamesTheBytesSentWhenTheFileChangesMidDownload) {
    const std::uint32_t sizes[3] = {0, 0, 120000};
    Images images;
    ASSERT_NO_FATAL_FAILURE(write_images(4, sizes, true, images));
    // Each block waits long enough for the rewrite to land before the next one is read.
    ASSERT_NO_FATAL_FAILURE(start_receiver({"--mark-delay-ms", "2000"}));
    start_upgrade({"/log=" + path("records.jsonl"), given_names[tplist]});
    ASSERT_TRUE(wait_output("blk =   2, len = 51200  :", download_ms));
    const std::vector<std::uint8_t> newer = image_bytes(sizes[tplist], 77);
    std::FILE* file = std::fopen(path(given_names[tplist]).c_str(), "r+b");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(std::fwrite(newer.data(), 1, newer.size(), file), newer.size());
    EXPECT_EQ(std::fclose(file), 0);
    EXPECT_EQ(wait_upgrade(download_ms), 0);
    EXPECT_EQ(wait_exit(sim), 0);

    std::vector<std::uint8_t> received(images.file[tplist].begin(),
                                       images.file[tplist].begin() + 51200);
    received.insert(received.end(), newer.begin() + 51200, newer.end());
    const auto flash = read_file(path("sim-flash.bin"));
    ASSERT_GE(flash.size(), flash_address[tplist] + received.size());
    EXPECT_TRUE(std::equal(received.begin(), received.end(), flash.begin() + flash_address[tplist]))
        << "the receiver did not get the old first block and the new rest";
    const auto records = records_in(path("records.jsonl"));
    ASSERT_EQ(records.size(), 1U);
    EXPECT_EQ(records[0]["images"][0]["sha256"], hex_sha256(received));
}

// A refused download is recorded too, after what the file held; a failed one says why.
TEST_F(SimTest, RefusedAndFailedDownloadsAreRecordedAfterWhatTheFileHeld) {
    ASSERT_TRUE(write_file(path("records.jsonl"), {'{', '}', '\n'}));
    ASSERT_NO_FATAL_FAILURE(start_receiver({"--reply-short", "9", "--announce-every", "300"}));
    start_upgrade({"/r", "/log=" + path("records.jsonl")});
    ASSERT_TRUE(wait_output("Not found bin files.\nnext......\nready.\n", download_ms));
    ASSERT_TRUE(write_file(path("font.bin"), image_bytes(1000, 1)));
    EXPECT_EQ(wait_upgrade(download_ms), 1);
    const auto records = records_in(path("records.jsonl"));
    ASSERT_GE(records.size(), 3U);
    EXPECT_EQ(records[0], json::object());
    EXPECT_EQ(records[1]["result"], "refused");
    EXPECT_EQ(records[1]["reason"], "Not found bin files.");
    EXPECT_TRUE(records[1]["images"].empty());
    const json& failed = records.back();
    EXPECT_EQ(failed["result"], "failed");
    EXPECT_EQ(failed["reason"], "received data = 9, (10)");
    EXPECT_TRUE(failed["bootblock"].is_null());
    EXPECT_EQ(failed["images"][0]["length"], 1000);
    EXPECT_EQ(failed["images"][0]["sha256"], hex_sha256(image_bytes(1000, 1)));
    EXPECT_EQ(failed["bytes_sent"], 15);
}

// A run killed in the middle of a download writes nothing: the file keeps only whole lines.
TEST_F(SimTest, KilledMidDownloadLeavesNoPartialRecord) {
    const std::string before = "{\"earlier\":true}\n";
    ASSERT_TRUE(
        write_file(path("records.jsonl"), std::vector<std::uint8_t>(before.begin(), before.end())));
    const std::uint32_t sizes[3] = {0, 0, 120000};
    Images images;
    ASSERT_NO_FATAL_FAILURE(write_images(4, sizes, true, images));
    ASSERT_NO_FATAL_FAILURE(start_receiver({"--no-mark-at", "1"}));
    start_upgrade({"/log=" + path("records.jsonl"), given_names[tplist]});
    ASSERT_TRUE(wait_output("blk =   1, len = 51200  :", download_ms));
    kill(upgrade.pid, SIGTERM);
    EXPECT_EQ(wait_upgrade(), 128 + SIGTERM);
    auto after = read_file(path("records.jsonl"));
    EXPECT_EQ(std::string(after.begin(), after.end()), before);
}

// A record file that cannot be opened is refused before any port is opened.
TEST_F(E2eTest, UnopenableRecordFileIsRefusedAtStart) {
    com_device[0] = com_device[1] = path("no-such-port");
    start_upgrade({"/log=" + dir});
    EXPECT_EQ(wait_upgrade(), 1);
    EXPECT_EQ(printable(upgrade.out.data),
              printable(banner() + settings_report("auto", 1152, 51200) +
                        "Error : the record file " + dir +
                        " cannot be opened for appending (Is a directory).\n"));
    EXPECT_EQ(upgrade.err.data, "") << "a port was tried";
}

} // namespace
} // namespace e2e
