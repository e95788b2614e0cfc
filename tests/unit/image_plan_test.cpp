#include "protocol/image_plan.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

struct Block {
    int image;
    std::uint32_t len;
    std::uint32_t address;
    std::uint32_t blk;
    bool operator==(const Block&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Block& b) {
    return out << "{image " << b.image << " len " << b.len << " at 0x" << std::hex << b.address
               << std::dec << " blk " << b.blk << "}";
}

std::vector<Block> blocks_of(const ImagePlan& plan) {
    std::vector<Block> blocks;
    for (int image = 0; image < plan.image_count; ++image) {
        for (std::uint32_t i = 0; i < plan.images[image].blocks; ++i) {
            const PlannedBlock b = plan_block(plan, image, i);
            blocks.push_back({image, b.len, b.address, b.blk});
        }
    }
    return blocks;
}

std::vector<int> sectors_of(const ImagePlan& plan) {
    return std::vector<int>(plan.sectors, plan.sectors + plan.sector_count);
}

ImagePlan plan_for(std::uint8_t selection, std::int64_t host_length, std::int64_t font_length,
                   std::int64_t tplist_length, std::uint32_t block_size) {
    const std::int64_t lengths[image_kind_count] = {host_length, font_length, tplist_length};
    ImagePlan plan;
    const PlanCheck check = make_plan(selection, lengths, block_size, plan);
    EXPECT_EQ(check.refusal, PlanRefusal::None);
    return plan;
}

TEST(ImagePlan, AllThreeImagesListTheirSectorsInOrder) {
    const ImagePlan plan = plan_for(7, 200000, 70000, 30000, 51200);
    EXPECT_EQ(sectors_of(plan), (std::vector<int>{4, 5, 6, 19, 20, 30}));
    EXPECT_EQ(plan.images[0].size, 134464U);
}

TEST(ImagePlan, BlocksCarryLengthsAddressesAndTheBlocksStillToCome) {
    const ImagePlan plan = plan_for(5, 105536, 0, 20000, 16384);
    EXPECT_EQ(blocks_of(plan), (std::vector<Block>{
                                   {0, 16384, 0x010000, 4},
                                   {0, 16384, 0x014000, 3},
                                   {0, 7232, 0x018000, 2},
                                   {1, 16384, 0x1B0000, 1},
                                   {1, 3616, 0x1B4000, 0},
                               }));
}

struct EdgeCase {
    const char* what;
    std::uint8_t selection;
    std::int64_t lengths[3];
    std::uint32_t block_size;
    std::vector<int> sectors;
    std::vector<Block> blocks;
};

TEST(ImagePlan, EdgeCases) {
    const EdgeCase cases[] = {
        {"host of 65537 bytes sends one byte", 1, {65537, 0, 0}, 51200, {4}, {{0, 1, 0x010000, 0}}},
        {"host of 131072 bytes fills one sector",
         1,
         {131072, 0, 0},
         51200,
         {4},
         {{0, 51200, 0x010000, 1}, {0, 14336, 0x01C800, 0}}},
        {"font of 65536 bytes",
         2,
         {0, 65536, 0},
         65536 / 2,
         {19},
         {{0, 32768, 0x100000, 1}, {0, 32768, 0x108000, 0}}},
        {"font of 65537 bytes touches two sectors",
         2,
         {0, 65537, 0},
         51200,
         {19, 20},
         {{0, 51200, 0x100000, 1}, {0, 14337, 0x10C800, 0}}},
        {"size equal to the block size, later image counted",
         3,
         {65536 + 16384, 100, 0},
         16384,
         {4, 19},
         {{0, 16384, 0x010000, 1}, {1, 100, 0x100000, 0}}},
        {"font and tplist only",
         6,
         {0, 40000, 20000},
         16384,
         {19, 30},
         {{0, 16384, 0x100000, 4},
          {0, 16384, 0x104000, 3},
          {0, 7232, 0x108000, 2},
          {1, 16384, 0x1B0000, 1},
          {1, 3616, 0x1B4000, 0}}},
        {"block size of one byte",
         4,
         {0, 0, 3},
         1,
         {30},
         {{0, 1, 0x1B0000, 2}, {0, 1, 0x1B0001, 1}, {0, 1, 0x1B0002, 0}}},
    };
    for (const EdgeCase& c : cases) {
        const ImagePlan plan =
            plan_for(c.selection, c.lengths[0], c.lengths[1], c.lengths[2], c.block_size);
        EXPECT_EQ(sectors_of(plan), c.sectors) << c.what;
        EXPECT_EQ(blocks_of(plan), c.blocks) << c.what;
    }
}

// The cutting rules written out as a transfer would run them: each image in turn, full blocks
// while more than a block remains, then the rest; blk counts down over the whole download.
std::vector<Block> cut_independently(std::uint8_t selection, const std::int64_t lengths[3],
                                     std::uint32_t block_size) {
    const std::uint32_t skipped[3] = {65536, 0, 0};
    const std::uint32_t addresses[3] = {0x010000, 0x100000, 0x1B0000};
    std::vector<Block> blocks;
    int image = 0;
    for (int k = 0; k < 3; ++k) {
        if ((selection & (1 << k)) == 0)
            continue;
        auto remaining = static_cast<std::uint32_t>(lengths[k] - skipped[k]);
        std::uint32_t address = addresses[k];
        while (remaining > block_size) {
            blocks.push_back({image, block_size, address, 0});
            remaining -= block_size;
            address += block_size;
        }
        blocks.push_back({image, remaining, address, 0});
        ++image;
    }
    for (std::size_t i = 0; i < blocks.size(); ++i)
        blocks[i].blk = static_cast<std::uint32_t>(blocks.size() - 1 - i);
    return blocks;
}

TEST(ImagePlan, AgreesWithAnIndependentCutForAnySelectionAndSizes) {
    std::mt19937 random(20261210);
    const std::uint32_t block_sizes[] = {1024, 16384, 32768, 51200, 65536 / 4, 4096 + 7};
    for (int round = 0; round < 2000; ++round) {
        const auto selection = static_cast<std::uint8_t>(1 + random() % 7);
        const std::uint32_t block_size = block_sizes[random() % std::size(block_sizes)];
        // Exact multiples of the block size come up often on purpose.
        const auto length = [&](std::int64_t skipped, std::int64_t region) {
            if (random() % 4 == 0)
                return skipped + block_size * (1 + static_cast<std::int64_t>(random()) %
                                                       (region / block_size));
            return skipped + 1 + static_cast<std::int64_t>(random()) % region;
        };
        const std::int64_t lengths[3] = {length(65536, 983040), length(0, 720896),
                                         length(0, 327680)};
        ImagePlan plan;
        ASSERT_EQ(make_plan(selection, lengths, block_size, plan).refusal, PlanRefusal::None);
        ASSERT_EQ(blocks_of(plan), cut_independently(selection, lengths, block_size))
            << "selection " << int{selection} << " block size " << block_size;
        std::vector<int> expected_sectors;
        for (int k = 0; k < 3; ++k) {
            if ((selection & (1 << k)) == 0)
                continue;
            const std::uint32_t first = k == 0 ? 0x010000 : k == 1 ? 0x100000 : 0x1B0000;
            const std::int64_t size = lengths[k] - (k == 0 ? 65536 : 0);
            for (std::int64_t at = first; at < first + size; at += 65536)
                expected_sectors.push_back(static_cast<int>(3 + at / 65536));
        }
        ASSERT_EQ(sectors_of(plan), expected_sectors);
    }
}

struct RefusalCase {
    const char* what;
    std::uint8_t selection;
    std::int64_t lengths[3];
    PlanRefusal refusal;
    ImageKind kind;
};

TEST(ImagePlan, RefusesWhatCannotBeWrittenCorrectly) {
    const RefusalCase cases[] = {
        {"rom.bin of exactly 64 KiB",
         1,
         {65536, 0, 0},
         PlanRefusal::NothingToSend,
         ImageKind::Host},
        {"rom.bin shorter than 64 KiB",
         3,
         {1000, 10, 0},
         PlanRefusal::NothingToSend,
         ImageKind::Host},
        {"empty font after a host", 3, {70000, 0, 0}, PlanRefusal::NothingToSend, ImageKind::Font},
        {"empty tplist alone", 4, {0, 0, 0}, PlanRefusal::NothingToSend, ImageKind::Tplist},
        {"host one byte beyond its region",
         1,
         {1048577, 0, 0},
         PlanRefusal::LargerThanRegion,
         ImageKind::Host},
        {"font one byte beyond its region",
         2,
         {0, 720897, 0},
         PlanRefusal::LargerThanRegion,
         ImageKind::Font},
        {"tplist one byte beyond the flash's end",
         4,
         {0, 0, 327681},
         PlanRefusal::LargerThanRegion,
         ImageKind::Tplist},
        {"tplist that would reach sector 72",
         6,
         {0, 1000, 2818048},
         PlanRefusal::LargerThanRegion,
         ImageKind::Tplist},
    };
    for (const RefusalCase& c : cases) {
        ImagePlan plan;
        const std::uint32_t block_size = c.refusal == PlanRefusal::TooManyBlocks ? 16 : 51200;
        const PlanCheck check = make_plan(c.selection, c.lengths, block_size, plan);
        EXPECT_EQ(check.refusal, c.refusal) << c.what;
        EXPECT_EQ(check.kind, c.kind) << c.what;
    }
}

TEST(ImagePlan, AsManyBlocksAsBlkCanCountAreAccepted) {
    // 61440 host blocks and 4096 tplist blocks of 16 bytes.
    const ImagePlan plan = plan_for(5, 65536 + 983040, 0, 65536, 16);
    EXPECT_EQ(plan.total_blocks, 65536U);
    EXPECT_EQ(plan_block(plan, 0, 0).blk, 65535U);
}

TEST(ImagePlan, TheLargestImagesThatFitAreAccepted) {
    const ImagePlan plan = plan_for(7, 1048576, 720896, 5 * 65536, 51200);
    EXPECT_EQ(plan.sector_count, 31U);
    EXPECT_EQ(plan.sectors[0], 4);
    EXPECT_EQ(plan.sectors[14], 18);
    EXPECT_EQ(plan.sectors[15], 19);
    EXPECT_EQ(plan.sectors[25], 29);
    EXPECT_EQ(plan.sectors[26], 30);
    EXPECT_EQ(plan.sectors[30], 34);
    const PlannedBlock last = plan_block(plan, 2, plan.images[2].blocks - 1);
    EXPECT_EQ(last.address + last.len, 0x200000U) << "the tplist ends at the flash's end";
}

// Lengths up to the largest a file system reports (a sparse file) are refused with their true
// size: nothing on the way may overflow.
TEST(ImagePlan, LengthsNearTheLargestAFileCanHave) {
    constexpr std::int64_t largest = INT64_MAX;
    const std::int64_t lengths[] = {largest,         largest - 1,           largest - 65535,
                                    largest / 2 + 1, std::int64_t{1} << 62, std::int64_t{1} << 32};
    for (const std::int64_t length : lengths) {
        for (int k = 0; k < image_kind_count; ++k) {
            const auto kind = static_cast<ImageKind>(k);
            const std::int64_t size = length - (kind == ImageKind::Host ? 65536 : 0);
            EXPECT_EQ(image_size(kind, length), size);
            const std::int64_t sectors = kind == ImageKind::Host
                                             ? (length - 1) / 65536
                                             : length / 65536 + (length % 65536 != 0);
            EXPECT_EQ(sector_count(kind, length), sectors) << length;
            EXPECT_GT(sector_count(kind, length), 0) << length;

            std::int64_t file_lengths[image_kind_count] = {};
            file_lengths[k] = length;
            ImagePlan plan;
            const PlanCheck check =
                make_plan(image_kind_info(kind).selection_bit, file_lengths, 51200, plan);
            EXPECT_EQ(check.refusal, PlanRefusal::LargerThanRegion) << length;
            EXPECT_EQ(check.amount, size) << length;
        }
    }
}

TEST(ImagePlan, SizesAndCounts) {
    EXPECT_EQ(image_size(ImageKind::Host, 65537), 1);
    EXPECT_EQ(image_size(ImageKind::Font, 70000), 70000);
    EXPECT_EQ(sector_count(ImageKind::Host, 131072), 1);
    EXPECT_EQ(sector_count(ImageKind::Host, 131073), 2);
    EXPECT_EQ(sector_count(ImageKind::Tplist, 1), 1);
    EXPECT_EQ(block_count(51200, 51200), 1U);
    EXPECT_EQ(block_count(51201, 51200), 2U);
}

} // namespace
