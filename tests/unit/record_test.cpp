#include "driver/record.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

namespace {

using nlohmann::json;

// 2026-12-10T13:40:01.234Z and 12.5 s later.
constexpr std::int64_t start_ms = 1796910001234;
constexpr std::int64_t end_ms = start_ms + 12500;

struct Made {
    DownloadOutcome outcome;
    DownloadRequest request;
};

// A download of host and tplist that got as far as `stage`: 0 nothing opened, 1 files opened and
// planned, 2 identification read, 3 every block sent.
Made download_of_host_and_tplist(int stage) {
    Made made;
    made.request.selection = 5;
    made.request.block_size = 51200;
    made.request.speed_hundreds = 1152;
    made.request.file_names[0] = "img/rom.bin";
    made.request.file_names[2] = "tplist.bin";
    DownloadOutcome& o = made.outcome;
    o.image_count = 2;
    o.images[0].kind = ImageKind::Host;
    o.images[1].kind = ImageKind::Tplist;
    o.bytes_sent = 15;
    if (stage >= 1) {
        o.images[0].length = 200000;
        o.images[0].blocks = 3;
        o.images[1].length = 70000;
        o.images[1].blocks = 2;
        for (ImageReport& image : o.images) {
            image.hashed = true;
            for (std::size_t i = 0; i < sha256_size; ++i)
                image.sha256[i] = static_cast<std::uint8_t>(i * 8 + 1);
        }
    }
    if (stage >= 2) {
        o.reply_read = true;
        o.reply.manufacturer_id = 0x0001;
        o.reply.device_id = 0x2249;
        o.reply.version_major = 1;
        o.reply.version_minor = 2;
    }
    if (stage >= 3) {
        o.images[1].resends = 2;
        o.bytes_sent = 15 + 52 + 7 * 51216;
    }
    return made;
}

json record_of(const Made& made, const char* reason, std::string* line = nullptr) {
    RecordFacts facts;
    facts.outcome = &made.outcome;
    facts.request = &made.request;
    facts.start_unix_ms = start_ms;
    facts.end_unix_ms = end_ms;
    facts.program = "1.1";
    facts.port = "COM2";
    facts.device = "/dev/ttyUSB1";
    facts.reason = reason;
    char text[8192];
    const std::size_t length = format_record(facts, text, sizeof text);
    EXPECT_GT(length, 0U);
    const std::string written(text, length);
    EXPECT_EQ(written.find('\n'), written.size() - 1) << "one line, ended";
    if (line != nullptr)
        *line = written;
    return json::parse(written);
}

TEST(Record, AFinishedDownloadNamesEverything) {
    Made made = download_of_host_and_tplist(3);
    const json r = record_of(made, nullptr);
    EXPECT_EQ(r["start"], "2026-12-10T13:40:01.234Z");
    EXPECT_EQ(r["end"], "2026-12-10T13:40:13.734Z");
    EXPECT_DOUBLE_EQ(r["seconds"].get<double>(), 12.5);
    EXPECT_EQ(r["program"], "1.1");
    EXPECT_EQ(r["port"], "COM2");
    EXPECT_EQ(r["device"], "/dev/ttyUSB1");
    EXPECT_EQ(r["bootblock"], "1.2");
    EXPECT_EQ(r["manufacturer"], 1);
    EXPECT_EQ(r["device_id"], 0x2249);
    EXPECT_EQ(r["model"], "AMD AM29LV160BB");
    EXPECT_EQ(r["speed"], 115200);
    EXPECT_EQ(r["block_size"], 51200);
    ASSERT_EQ(r["images"].size(), 2U);
    EXPECT_EQ(r["images"][0]["kind"], "host");
    EXPECT_EQ(r["images"][0]["file"], "img/rom.bin");
    EXPECT_EQ(r["images"][0]["length"], 200000);
    EXPECT_EQ(r["images"][0]["blocks"], 3);
    EXPECT_EQ(r["images"][0]["resends"], 0);
    EXPECT_EQ(r["images"][0]["sha256"],
              "0109111921293139414951596169717981899199a1a9b1b9c1c9d1d9e1e9f1f9");
    EXPECT_EQ(r["images"][1]["kind"], "tplist");
    EXPECT_EQ(r["images"][1]["resends"], 2);
    EXPECT_EQ(r["bytes_sent"], 15 + 52 + 7 * 51216);
    EXPECT_EQ(r["result"], "finished");
    EXPECT_TRUE(r["reason"].is_null());
}

// Every way a download can end, with what it had reached: what it did not reach is null.
TEST(Record, EveryKindOfEndWithItsNulls) {
    struct Case {
        const char* name;
        int stage;
        DownloadResult result;
        const char* reason;
        const char* result_name;
    };
    const Case cases[] = {
        {"file missing", 0, DownloadResult::Refused, "not found tplist.bin", "refused"},
        {"short reply", 1, DownloadResult::Failed, "received data = 9, (10)", "failed"},
        {"ESC during the blocks", 2, DownloadResult::Escaped, nullptr, "escaped"},
        {"line lost", 2, DownloadResult::LineLost,
         "Error : the serial line on /dev/ttyUSB1 is gone (Input/output error).", "line_lost"},
        {"speed refused", 2, DownloadResult::Failed,
         "Error : the line cannot be switched to 115200 baud.", "failed"},
    };
    for (const Case& c : cases) {
        Made made = download_of_host_and_tplist(c.stage);
        made.outcome.result = c.result;
        const json r = record_of(made, c.reason);
        EXPECT_EQ(r["result"], c.result_name) << c.name;
        if (c.reason != nullptr)
            EXPECT_EQ(r["reason"], c.reason) << c.name;
        else
            EXPECT_TRUE(r["reason"].is_null()) << c.name;
        EXPECT_EQ(r["bootblock"].is_null(), c.stage < 2) << c.name;
        EXPECT_EQ(r["model"].is_null(), c.stage < 2) << c.name;
        EXPECT_EQ(r["manufacturer"].is_null(), c.stage < 2) << c.name;
        for (const json& image : r["images"]) {
            EXPECT_EQ(image["length"].is_null(), c.stage < 1) << c.name;
            EXPECT_EQ(image["sha256"].is_null(), c.stage < 1) << c.name;
            EXPECT_EQ(image["blocks"].is_null(), c.stage < 1) << c.name;
            EXPECT_EQ(image["resends"].is_null(), c.stage < 1) << c.name;
        }
    }
}

// Detection that found nothing: a download with no image.
TEST(Record, NoImageFileFound) {
    Made made;
    made.request.block_size = 51200;
    made.request.speed_hundreds = 576;
    made.outcome.result = DownloadResult::Refused;
    const json r = record_of(made, "Not found bin files.");
    EXPECT_TRUE(r["images"].is_array());
    EXPECT_TRUE(r["images"].empty());
    EXPECT_EQ(r["speed"], 57600);
    EXPECT_EQ(r["result"], "refused");
}

// A chip the program does not know: its ids, no model.
TEST(Record, UnknownChipHasNoModel) {
    Made made = download_of_host_and_tplist(3);
    made.outcome.reply.manufacturer_id = 0x00AD;
    made.outcome.reply.device_id = 0x1234;
    const json r = record_of(made, nullptr);
    EXPECT_EQ(r["manufacturer"], 0xAD);
    EXPECT_EQ(r["device_id"], 0x1234);
    EXPECT_TRUE(r["model"].is_null());
}

// File names are the user's bytes: whatever they hold, the record stays one line of valid JSON
// and names them as closely as JSON can.
TEST(Record, FileNamesAreEscaped) {
    struct Case {
        std::string name;
        std::string read_back; // as UTF-8
    };
    const Case cases[] = {
        {"say \"hi\"\\rom.bin", "say \"hi\"\\rom.bin"},
        {"a\nb\tc\x01\x7f.bin", "a\nb\tc\x01\x7f.bin"},
        {"caf\xc3\xa9/rom.bin", "caf\xc3\xa9/rom.bin"},
        {"\xe2\x82\xac and \xf0\x9f\x93\xa1.bin", "\xe2\x82\xac and \xf0\x9f\x93\xa1.bin"},
        {"latin1 caf\xe9.bin", "latin1 caf\xef\xbf\xbd.bin"},       // a stray byte
        {"cut \xe2\x82", "cut \xef\xbf\xbd\xef\xbf\xbd"},           // a sequence cut short
        {"overlong \xc0\xaf", "overlong \xef\xbf\xbd\xef\xbf\xbd"}, // never valid
        {"surrogate \xed\xa0\x80", "surrogate \xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
    };
    for (const Case& c : cases) {
        Made made = download_of_host_and_tplist(1);
        made.request.file_names[0] = c.name.c_str();
        std::string line;
        const json r = record_of(made, nullptr, &line);
        EXPECT_EQ(r["images"][0]["file"].get<std::string>(), c.read_back) << line;
    }
}

// A record that does not fit is not written at all, never cut.
TEST(Record, TooSmallABufferWritesNothing) {
    Made made = download_of_host_and_tplist(3);
    RecordFacts facts;
    facts.outcome = &made.outcome;
    facts.request = &made.request;
    char text[100];
    EXPECT_EQ(format_record(facts, text, sizeof text), 0U);
}

} // namespace
