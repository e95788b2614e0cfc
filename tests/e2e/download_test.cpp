// Complete downloads of the real program against the receiver simulator: every selection, by
// name and by detection, block sizes, line speeds, resends and receiver identities. Each run is
// checked three ways: the console text word for word (progress lines and CRCs included), what
// the receiver reports it received (header, blocks, speed), and the simulated flash byte for
// byte.

#include "sim_fixture.h"

namespace e2e {
namespace {

using e2e::PrintTo; // case names in failure messages

constexpr std::uint32_t rom_size = 65536 + 120000; // 3 blocks of 51200: 51200, 51200, 17600
constexpr std::uint32_t font_size = 51200;         // exactly one block of 51200
constexpr std::uint32_t tplist_size = 70000;       // 51200 and 18800

struct DownloadCase {
    const char* name;
    int selection = 0;
    bool by_name = true;
    std::uint32_t sizes[3] = {rom_size, font_size, tplist_size};
    std::vector<std::string> args = {};     // more options for the program
    std::vector<std::string> sim_args = {}; // more options for the simulator
    std::uint32_t block_size = 51200;
    int speed = 1152;
    std::map<int, int> resends = {};
    Identity identity = {};
    int sim_com = 0;
    const char* port = "auto";
};

class Download : public SimTest, public ::testing::WithParamInterface<DownloadCase> {};

TEST_P(Download, WritesTheImagesIntoTheFlash) {
    const auto& c = GetParam();
    DownloadShape shape;
    shape.selection = c.selection;
    shape.block_size = c.block_size;
    shape.speed = c.speed;
    shape.resends = c.resends;
    shape.identity = c.identity;
    Images images;
    ASSERT_NO_FATAL_FAILURE(write_images(c.selection, c.sizes, c.by_name, images));
    ASSERT_NO_FATAL_FAILURE(start_receiver(c.sim_args, c.sim_com));

    std::vector<std::string> args = c.args;
    if (c.by_name) {
        auto names = name_args(c.selection);
        args.insert(args.end(), names.begin(), names.end());
    }
    start_upgrade(args);
    EXPECT_EQ(wait_upgrade(download_ms), 0);
    EXPECT_EQ(wait_exit(sim), 0) << "the simulator found the download wrong or incomplete";

    std::string expected = banner() + settings_report(c.port, c.speed, c.block_size) +
                           (c.by_name ? given_name_report(c.selection) : "") + "ready.\n\n" +
                           (c.by_name ? "" : detection_line(c.selection)) +
                           download_text(shape, images);
    EXPECT_EQ(pattern_mismatch(upgrade.out.data, expected), "");

    auto downloads = report();
    ASSERT_EQ(downloads.size(), 1u);
    EXPECT_EQ(report_mismatch(downloads[0], shape, images), "");
    EXPECT_EQ(flash_mismatch(shape, images), "");
}

std::vector<DownloadCase> selections() {
    static const char* names[8] = {"",       "host",        "font",        "host_font",
                                   "tplist", "host_tplist", "font_tplist", "host_font_tplist"};
    static std::string labels[16];
    std::vector<DownloadCase> cases;
    for (int by_name = 1; by_name >= 0; --by_name)
        for (int selection = 1; selection <= 7; ++selection) {
            auto& label = labels[by_name * 8 + selection];
            label = std::string(by_name ? "named_" : "detected_") + names[selection];
            DownloadCase c{label.c_str()};
            c.selection = selection;
            c.by_name = by_name != 0;
            cases.push_back(c);
        }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Selections, Download, ::testing::ValuesIn(selections()), CaseName());

INSTANTIATE_TEST_SUITE_P(
    Variants, Download,
    ::testing::Values(
        DownloadCase{.name = "block_16384_three_images",
                     .selection = 7,
                     .by_name = false,
                     .sizes = {65536 + 40000, 70000, 20000},
                     .args = {"/block=16384"},
                     .block_size = 16384},
        DownloadCase{.name = "exact_multiple_of_block",
                     .selection = 4,
                     .sizes = {0, 0, 3 * 16384},
                     .args = {"/block=16384"},
                     .block_size = 16384},
        DownloadCase{.name = "host_of_one_byte", .selection = 1, .sizes = {65537, 0, 0}},
        DownloadCase{.name = "font_one_byte_past_a_sector", .selection = 2, .sizes = {0, 65537, 0}},
        DownloadCase{.name = "small_blocks",
                     .selection = 6,
                     .sizes = {0, 3000, 1000},
                     .args = {"/block=1000"},
                     .block_size = 1000},
        DownloadCase{.name = "baud_57600_no_speed_change",
                     .selection = 4,
                     .args = {"/baud=57600"},
                     .speed = 576},
        DownloadCase{.name = "baud_38400",
                     .selection = 2,
                     .sizes = {0, 70000, 0},
                     .args = {"/baud=38400"},
                     .speed = 384},
        DownloadCase{
            .name = "baud_230400", .selection = 4, .args = {"/speed=230400"}, .speed = 2304},
        DownloadCase{.name = "resend_three_times_then_accept",
                     .selection = 4,
                     .sim_args = {"--resend", "0:3", "--resend", "1:1"},
                     .resends = {{0, 3}, {1, 1}}},
        DownloadCase{.name = "resend_across_images",
                     .selection = 5,
                     .sim_args = {"--resend", "3:2"},
                     .resends = {{3, 2}}},
        DownloadCase{
            .name = "named_port_com1", .selection = 1, .args = {"/port=COM1"}, .port = "COM1"},
        DownloadCase{
            .name = "receiver_on_com2_auto", .selection = 2, .by_name = false, .sim_com = 1},
        DownloadCase{.name = "receiver_on_com2_named",
                     .selection = 4,
                     .args = {"COM2"},
                     .sim_com = 1,
                     .port = "COM2"},
        DownloadCase{.name = "stray_bytes_before_announcement",
                     .selection = 2,
                     .sim_args = {"--stray", "xxK\\r\\n"}},
        DownloadCase{.name = "reply_late_within_deadline",
                     .selection = 2,
                     .sizes = {0, 1000, 0},
                     .sim_args = {"--reply-delay", "1500"}},
        DownloadCase{.name = "fujitsu_chip",
                     .selection = 2,
                     .sizes = {0, 1000, 0},
                     .sim_args = {"--manufacturer", "0x0004", "--version", "2.7"},
                     .identity = {0x0004, 0x2249, 2, 7}},
        DownloadCase{.name = "intel_chip_with_bank_code",
                     .selection = 2,
                     .sizes = {0, 1000, 0},
                     .sim_args = {"--manufacturer", "0x1289", "--device-id", "0x8891"},
                     .identity = {0x1289, 0x8891, 1, 2}},
        DownloadCase{
            .name = "unknown_chip_and_high_version",
            .selection = 2,
            .sizes = {0, 1000, 0},
            .sim_args = {"--manufacturer", "0x00AD", "--device-id", "0x1234", "--version", "200.5"},
            .identity = {0x00AD, 0x1234, 200, 5}}),
    CaseName());

// Repeat mode serves one receiver after another with the same options.
TEST_F(SimTest, RepeatModeServesTwoDownloadsInARow) {
    const std::uint32_t sizes[3] = {0, 0, tplist_size};
    Images images;
    ASSERT_NO_FATAL_FAILURE(write_images(4, sizes, true, images));
    // The second receiver stays on its line, silent, until ESC ends the run.
    ASSERT_NO_FATAL_FAILURE(start_receiver({"--downloads", "2", "--stay"}));
    start_upgrade({"/r", given_names[tplist]});
    DownloadShape shape;
    shape.selection = 4;
    std::string one = "\n" + download_text(shape, images) + "next......\nready.\n";
    std::string expected = banner() + settings_report("auto", 1152, 51200) + given_name_report(4) +
                           "ready.\n" + one + one;
    std::size_t first = 0;
    ASSERT_TRUE(wait_for(upgrade.out, "next......\nready.\n", download_ms));
    first = upgrade.out.data.find("next......\nready.\n") + 1;
    ASSERT_TRUE(wait_for(upgrade.out, "next......\nready.\n", download_ms, first));
    ASSERT_TRUE(wait_console_keys());
    press("\x1b");
    EXPECT_EQ(wait_upgrade(prompt_ms), 27);
    EXPECT_EQ(pattern_mismatch(upgrade.out.data, expected), "");
    auto downloads = report();
    ASSERT_GE(downloads.size(), 2u);
    EXPECT_EQ(report_mismatch(downloads[0], shape, images), "");
    EXPECT_EQ(report_mismatch(downloads[1], shape, images), "");
}

} // namespace
} // namespace e2e
