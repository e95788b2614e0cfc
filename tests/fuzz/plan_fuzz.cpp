// Lengths, selections and block sizes through the image plan. A plan that is made must keep
// every block inside its image's region and inside the flash, count blk down to 0 across the
// whole download and list exactly the sectors its blocks write; a refusal must come exactly
// where the limits are, with the first reason in download order.

#include "protocol/image_plan.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

namespace {

constexpr std::uint32_t sector_bytes = 65536;
constexpr std::uint32_t flash_end = 0x200000;
// The regions as the flash map gives them, written out here rather than taken from image_kind_info,
// so that a wrong table is caught too.
constexpr std::int64_t region_bytes[image_kind_count] = {983040, 720896, 327680};
constexpr std::int64_t skipped_bytes[image_kind_count] = {65536, 0, 0};
constexpr std::uint32_t first_address[image_kind_count] = {0x010000, 0x100000, 0x1B0000};

void require(bool condition) {
    if (!condition)
        std::abort();
}

std::uint32_t sector_of(std::uint32_t address) {
    return 3 + address / sector_bytes;
}

// The refusal the limits call for, found the plain way.
PlanCheck expected_check(std::uint8_t selection, const std::int64_t lengths[],
                         std::uint32_t block_size) {
    std::int64_t blocks = 0;
    for (int k = 0; k < image_kind_count; ++k) {
        if ((selection >> k & 1) == 0)
            continue;
        const auto kind = static_cast<ImageKind>(k);
        const std::int64_t size = lengths[k] - skipped_bytes[k];
        if (size <= 0)
            return PlanCheck{PlanRefusal::NothingToSend, kind, size};
        if (size > region_bytes[k])
            return PlanCheck{PlanRefusal::LargerThanRegion, kind, size};
        blocks += (size + block_size - 1) / block_size;
        if (blocks > std::int64_t{max_download_blocks})
            return PlanCheck{PlanRefusal::TooManyBlocks, kind, blocks};
    }
    return PlanCheck{};
}

void check_blocks(const ImagePlan& plan) {
    std::uint32_t next_blk = plan.total_blocks;
    bool written[64] = {};
    for (int i = 0; i < plan.image_count; ++i) {
        const PlannedImage& image = plan.images[i];
        const int k = static_cast<int>(image.kind);
        std::uint32_t sent = 0;
        for (std::uint32_t index = 0; index < image.blocks; ++index) {
            const PlannedBlock block = plan_block(plan, i, index);
            require(block.len >= 1 && block.len <= plan.block_size);
            require(block.offset == sent);
            sent += block.len;
            require(block.blk == --next_blk);
            const std::uint64_t end = std::uint64_t{block.address} + block.len;
            require(block.address == first_address[k] + block.offset);
            require(end <= first_address[k] + std::uint64_t(region_bytes[k]));
            require(end <= flash_end);
            for (std::uint32_t s = sector_of(block.address);
                 s <= sector_of(block.address + block.len - 1); ++s)
                written[s] = true;
        }
        require(sent == image.size);
    }
    require(next_blk == 0);
    // The header lists each written sector once, and nothing else: an unlisted sector is not
    // erased, a listed one that is not written is erased for nothing.
    bool listed[64] = {};
    require(plan.sector_count <= 64);
    for (std::size_t s = 0; s < plan.sector_count; ++s) {
        require(plan.sectors[s] < 64 && !listed[plan.sectors[s]]);
        listed[plan.sectors[s]] = true;
    }
    for (int s = 0; s < 64; ++s)
        require(listed[s] == written[s]);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const auto selection = static_cast<std::uint8_t>(input.ConsumeIntegralInRange(1, 7));
    const auto block_size = input.ConsumeIntegralInRange<std::uint32_t>(1, UINT32_MAX);
    // Every length a file system can report.
    std::int64_t lengths[image_kind_count];
    for (std::int64_t& length : lengths)
        length = input.ConsumeIntegralInRange<std::int64_t>(0, INT64_MAX);

    ImagePlan plan;
    const PlanCheck check = make_plan(selection, lengths, block_size, plan);
    const PlanCheck expected = expected_check(selection, lengths, block_size);
    require(check.refusal == expected.refusal);
    if (check.refusal != PlanRefusal::None) {
        require(check.kind == expected.kind && check.amount == expected.amount);
        return 0;
    }
    check_blocks(plan);
    return 0;
}
