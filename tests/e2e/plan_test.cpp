// /plan: what a download would do, shown with no port opened, checked against what the
// receiver then gets from the download itself for the same files and options; and every
// refusal of the download made by the plan in the download's words and status.

#include "sim_fixture.h"

#include <cstdio>
#include <sstream>

namespace e2e {
namespace {

using e2e::PrintTo; // case names in failure messages

// What a plan says of one image.
struct PlannedImage {
    std::uint32_t sent = 0;
    std::uint32_t first = 0, last = 0; // flash addresses of its first and last byte
    int first_sector = -1, last_sector = -1;
    std::uint32_t blocks = 0;
};

struct Plan {
    std::map<int, PlannedImage> images; // by kind
    std::vector<int> erased;
    std::uint32_t blocks = 0;
    bool would_start = false;
};

Plan parse_plan(const std::string& out) {
    Plan plan;
    const std::vector<std::string> lines = split_lines(out);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        char label[8] = {};
        unsigned blocks = 0;
        if (std::sscanf(line.c_str(), "blocks : %u of up to", &blocks) == 1)
            plan.blocks = blocks;
        if (line.rfind("erase : sectors", 0) == 0) {
            std::istringstream list(line.substr(15));
            for (int sector; list >> sector;)
                plan.erased.push_back(sector);
        }
        // An image: its kind and file, then the bytes and addresses, then sectors and blocks.
        if (i + 2 >= lines.size() || std::sscanf(line.c_str(), "%7s", label) != 1 ||
            line.find(" bytes") == std::string::npos)
            continue;
        const std::string kind_label = label;
        if (kind_label != "host" && kind_label != "font" && kind_label != "tplist")
            continue;
        PlannedImage p;
        if (std::sscanf(lines[i + 1].c_str(), " %u bytes to 0x%X-0x%X, in its region", &p.sent,
                        &p.first, &p.last) != 3)
            continue;
        if (std::sscanf(lines[i + 2].c_str(), " sectors %d-%d, %u block", &p.first_sector,
                        &p.last_sector, &p.blocks) != 3) {
            if (std::sscanf(lines[i + 2].c_str(), " sector %d, %u block", &p.first_sector,
                            &p.blocks) != 2)
                continue;
            p.last_sector = p.first_sector;
        }
        plan.images[kind_label == "host" ? host : kind_label == "font" ? font : tplist] = p;
    }
    plan.would_start = out.ends_with("A download would start.\n");
    return plan;
}

struct PlanCase {
    const char* name;
    int selection;
    bool by_name;
    std::uint32_t sizes[3];
    std::vector<std::string> args;
};

class PlanAgrees : public SimTest, public ::testing::WithParamInterface<PlanCase> {};

// The plan, with both ports mapped to paths that do not exist, then the download: the sectors
// the header named, each image's blocks and addresses as the receiver got them.
TEST_P(PlanAgrees, WithWhatTheReceiverGets) {
    const PlanCase& c = GetParam();
    Images images;
    ASSERT_NO_FATAL_FAILURE(write_images(c.selection, c.sizes, c.by_name, images));
    std::vector<std::string> args = c.args;
    if (c.by_name)
        for (const std::string& name : name_args(c.selection))
            args.push_back(name);

    const std::string ports[2] = {com_device[0], com_device[1]};
    com_device[0] = path("no-such-com1");
    com_device[1] = path("no-such-com2");
    std::vector<std::string> plan_args = args;
    plan_args.insert(plan_args.begin(), "/plan");
    start_upgrade(plan_args);
    ASSERT_EQ(wait_upgrade(), 0);
    EXPECT_EQ(upgrade.err.data, "") << "a port was tried";
    const Plan plan = parse_plan(upgrade.out.data);
    EXPECT_TRUE(plan.would_start) << printable(upgrade.out.data);

    upgrade = Child{};
    com_device[0] = ports[0];
    com_device[1] = ports[1];
    ASSERT_NO_FATAL_FAILURE(start_receiver({}));
    start_upgrade(args);
    ASSERT_EQ(wait_upgrade(download_ms), 0);
    ASSERT_EQ(wait_exit(sim), 0);
    const auto downloads = report();
    ASSERT_EQ(downloads.size(), 1U);
    const ReportedDownload& got = downloads[0];

    EXPECT_EQ(plan.erased, got.sectors);
    EXPECT_EQ(plan.blocks, got.blocks.size());
    std::uint32_t planned_blocks = 0;
    for (int kind = 0; kind < 3; ++kind) {
        if (((c.selection >> kind) & 1) == 0) {
            EXPECT_EQ(plan.images.count(kind), 0U) << kind;
            continue;
        }
        ASSERT_EQ(plan.images.count(kind), 1U) << kind;
        const PlannedImage& p = plan.images.at(kind);
        std::vector<const ReportedBlock*> blocks;
        for (const ReportedBlock& block : got.blocks)
            if (block.address >= p.first && block.address <= p.last)
                blocks.push_back(&block);
        ASSERT_FALSE(blocks.empty()) << kind;
        EXPECT_EQ(p.blocks, blocks.size()) << kind;
        EXPECT_EQ(p.first, blocks.front()->address) << kind;
        EXPECT_EQ(p.last, blocks.back()->address + blocks.back()->len - 1) << kind;
        EXPECT_EQ(p.sent, images.file[kind].size() - skipped_bytes[kind]) << kind;
        std::vector<int> sectors;
        for (int s = p.first_sector; s <= p.last_sector; ++s)
            sectors.push_back(s);
        for (int s : sectors)
            EXPECT_NE(std::find(got.sectors.begin(), got.sectors.end(), s), got.sectors.end())
                << "sector " << s << " planned, not erased";
        planned_blocks += p.blocks;
    }
    EXPECT_EQ(planned_blocks, plan.blocks);
}

INSTANTIATE_TEST_SUITE_P(
    E2e, PlanAgrees,
    ::testing::Values(PlanCase{"three_named", 7, true, {65536 + 120000, 51200, 70000}, {}},
                      PlanCase{"detected_host_tplist_small_blocks",
                               5,
                               false,
                               {65536 + 40000, 0, 20000},
                               {"/block=16384"}},
                      PlanCase{
                          "font_one_byte_past_a_sector", 2, true, {0, 65537, 0}, {"/block=1000"}},
                      PlanCase{"tplist_at_the_base_speed",
                               4,
                               true,
                               {0, 0, 3 * 16384},
                               {"/baud=57600", "/block=16384"}}),
    CaseName());

struct RefusalCase {
    const char* name;
    std::vector<std::string> args;
    std::map<std::string, std::size_t> files; // written before the run: name, length
};

class PlanRefuses : public E2eTest, public ::testing::WithParamInterface<RefusalCase> {};

// What the download refuses, the plan refuses with the same last line, the same complaint on
// standard error and the same status.
TEST_P(PlanRefuses, AsTheDownloadDoes) {
    const RefusalCase& c = GetParam();
    for (const auto& [name, length] : c.files)
        ASSERT_TRUE(write_file(path(name), image_bytes(length, 5)));
    const auto last_line = [](const std::string& out) {
        const std::size_t end = out.size() - (out.ends_with('\n') ? 1 : 0);
        const std::size_t start = out.rfind('\n', end - 1);
        return out.substr(start == std::string::npos ? 0 : start + 1);
    };

    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "/port=com1");
    start_upgrade(args);
    ASSERT_TRUE(wait_output("ready.\n"));
    receiver_sends(0, announcement);
    const int download_status = wait_upgrade(prompt_ms);
    const std::string download_says = last_line(upgrade.out.data);
    const std::string download_complains = upgrade.err.data;

    upgrade = Child{};
    com_device[0] = path("no-such-com1");
    com_device[1] = path("no-such-com2");
    args.insert(args.begin(), "/plan");
    start_upgrade(args);
    EXPECT_EQ(wait_upgrade(), download_status);
    EXPECT_EQ(download_status, 1);
    EXPECT_EQ(printable(last_line(upgrade.out.data)), printable(download_says));
    EXPECT_EQ(upgrade.err.data, download_complains);
    EXPECT_EQ(upgrade.out.data.find("A download would start."), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    E2e, PlanRefuses,
    ::testing::Values(
        RefusalCase{"nothing_found", {}, {}}, RefusalCase{"named_file_missing", {"tplist.bin"}, {}},
        RefusalCase{"one_of_two_missing", {"font.bin", "tplist.bin"}, {{"tplist.bin", 1000}}},
        RefusalCase{"empty_font", {"font.bin"}, {{"font.bin", 0}}},
        RefusalCase{"host_with_nothing_to_send", {"/a"}, {{"rom.bin", 65536}}},
        RefusalCase{"tplist_larger_than_its_region", {"/t"}, {{"tplist.bin", 327681}}},
        RefusalCase{"too_many_blocks", {"/block=1", "font.bin"}, {{"font.bin", 70000}}},
        RefusalCase{"name_with_control_bytes",
                    {"\x1b]0;x\x07tplist.bin"},
                    {{"\x1b]0;x\x07tplist.bin", 0}}}),
    CaseName());

// An unusable name ends the plan as it ends any run.
TEST_F(E2eTest, PlanRefusesAnUnknownName) {
    com_device[0] = path("no-such-com1");
    com_device[1] = path("no-such-com2");
    start_upgrade({"/plan", "readme.txt"});
    EXPECT_EQ(wait_upgrade(), 1);
    EXPECT_TRUE(upgrade.out.data.ends_with("\nFile name : readme.txt\nDon't know File format."))
        << printable(upgrade.out.data);
    EXPECT_EQ(upgrade.err.data, "");
}

} // namespace
} // namespace e2e
