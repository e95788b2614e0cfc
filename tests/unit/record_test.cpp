#include "driver/record.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
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

// A tree with no device in it: the records below name no adapter, whatever this machine has.
constexpr const char* no_devices = "/nonexistent-upgrade-record-tree";

json record_of(const Made& made, const char* reason, std::string* line = nullptr,
               const char* system_root = no_devices) {
    RecordFacts facts;
    facts.system_root = system_root;
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
    EXPECT_TRUE(r["adapter"].is_null());
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
        {"cut \xe2\x82", "cut \xef\xbf\xbd"},                       // a sequence cut short
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

// The adapter, read from a tree laid out as sysfs is (the port list's own tests cover the
// reading): a USB adapter named by a by-id link with its identity, one without a serial
// number, and a port that is no USB adapter.
TEST(Record, NamesTheUsbAdapterBehindTheDevice) {
    namespace fs = std::filesystem;
    char pattern[] = "/tmp/upgrade-record-tree-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string root = pattern;
    const auto file = [&](const std::string& path, const std::string& text) {
        fs::create_directories(fs::path(root + "/" + path).parent_path());
        std::ofstream(root + "/" + path) << text;
    };
    const auto link = [&](const std::string& path, const std::string& target) {
        fs::create_directories(fs::path(root + "/" + path).parent_path());
        fs::create_symlink(target, root + "/" + path);
    };
    // USB device DIR with its tty NAME: the attributes given, the class entry and its device.
    const auto usb_tty = [&](const std::string& dir, const std::string& name,
                             const std::vector<std::pair<std::string, std::string>>& attributes) {
        for (const auto& [attribute, value] : attributes)
            file("sys/devices/" + dir + "/" + attribute, value + "\n");
        const std::string tty = "sys/devices/" + dir + "/if0/" + name + "/tty/" + name;
        file(tty + "/uevent", "DEVNAME=" + name + "\n");
        link(tty + "/device", "../../../" + name);
        link("sys/class/tty/" + name, "../../devices/" + dir + "/if0/" + name + "/tty/" + name);
    };
    usb_tty("usb1/1-2", "ttyUSB0",
            {{"idVendor", "0403"},
             {"idProduct", "6001"},
             {"serial", "A50285BI"},
             {"product", "FT232R USB UART"}});
    link("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "../../ttyUSB0");
    usb_tty("usb1/1-3", "ttyACM0", {{"idVendor", "2341"}, {"idProduct", "0043"}});
    usb_tty("pnp0/00:01", "ttyS0", {});

    struct Case {
        const char* device;
        json adapter;
    };
    const Case cases[] = {
        {"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0",
         {{"vid", "0403"},
          {"pid", "6001"},
          {"serial", "A50285BI"},
          {"product", "FT232R USB UART"}}},
        {"/dev/ttyACM0",
         {{"vid", "2341"}, {"pid", "0043"}, {"serial", nullptr}, {"product", nullptr}}},
        {"/dev/ttyS0", nullptr},
        {"/dev/pts/4", nullptr},
    };
    for (const Case& c : cases) {
        Made made = download_of_host_and_tplist(3);
        RecordFacts facts;
        facts.outcome = &made.outcome;
        facts.request = &made.request;
        facts.device = c.device;
        facts.system_root = root.c_str();
        char text[8192];
        const std::size_t length = format_record(facts, text, sizeof text);
        ASSERT_GT(length, 0U);
        const std::string line(text, length);
        EXPECT_EQ(json::parse(line)["adapter"], c.adapter) << c.device;
        // In the record's order: right after the device it is the adapter of.
        EXPECT_LT(line.find("\"device\":"), line.find("\"adapter\":")) << line;
        EXPECT_LT(line.find("\"adapter\":"), line.find("\"bootblock\":")) << line;
        if (c.adapter.is_object()) {
            EXPECT_LT(line.find("\"vid\""), line.find("\"product\"")) << line;
        }
    }
    fs::remove_all(root);
}

// A record that does not fit is not written at all, never cut.
TEST(Record, TooSmallABufferWritesNothing) {
    Made made = download_of_host_and_tplist(3);
    RecordFacts facts;
    facts.outcome = &made.outcome;
    facts.request = &made.request;
    facts.system_root = no_devices;
    char text[100];
    EXPECT_EQ(format_record(facts, text, sizeof text), 0U);
}

} // namespace
