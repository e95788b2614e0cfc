#include "protocol/image_plan.h"

#include "protocol/frames.h"

namespace {

constexpr std::uint32_t sector_bytes = 65536;
// Every flash chip the receivers carry is 2 MiB: past its end the addresses wrap round to the
// boot block.
constexpr std::uint32_t flash_end = 0x200000;
// Images held to their regions never list more sectors than a header can carry.
static_assert((flash_end - 0x010000) / sector_bytes <= max_header_sectors);

constexpr ImageKindInfo image_specs[image_kind_count] = {
    {1, "rom.bin", sector_bytes, 0x010000, 4, 0x100000 - 0x010000, "\ndownload host\n\n", "host"},
    {2, "font.bin", 0, 0x100000, 19, 0x1B0000 - 0x100000, "\ndownload font\n\n", "font"},
    {4, "tplist.bin", 0, 0x1B0000, 30, flash_end - 0x1B0000, "\ndownload tplist\n\n", "tplist"},
};

PlanCheck refuse(PlanRefusal refusal, ImageKind kind, std::int64_t amount) {
    return PlanCheck{refusal, kind, amount};
}

// Checks one image on its own and adds it to the plan.
PlanCheck add_image(ImagePlan& plan, ImageKind kind, std::int64_t file_length) {
    const ImageKindInfo& kind_info = image_kind_info(kind);
    const std::int64_t size = image_size(kind, file_length);
    if (size <= 0)
        return refuse(PlanRefusal::NothingToSend, kind, size);
    if (size > kind_info.region_size)
        return refuse(PlanRefusal::LargerThanRegion, kind, size);
    const std::int64_t sectors = sector_count(kind, file_length);

    const std::uint32_t blocks = block_count(static_cast<std::uint32_t>(size), plan.block_size);
    // blk travels in 16 bits: with more blocks the receiver would see the end too early.
    if (plan.total_blocks + std::uint64_t{blocks} > max_download_blocks)
        return refuse(PlanRefusal::TooManyBlocks, kind,
                      static_cast<std::int64_t>(plan.total_blocks) + blocks);

    PlannedImage& image = plan.images[plan.image_count++];
    image.kind = kind;
    image.size = static_cast<std::uint32_t>(size);
    image.sectors = static_cast<std::uint32_t>(sectors);
    image.blocks = blocks;
    for (std::uint32_t k = 0; k < image.sectors; ++k)
        plan.sectors[plan.sector_count++] = static_cast<std::uint8_t>(kind_info.first_sector + k);
    plan.total_blocks += image.blocks;
    return PlanCheck{};
}

} // namespace

const ImageKindInfo& image_kind_info(ImageKind kind) {
    return image_specs[static_cast<int>(kind)];
}

std::int64_t image_size(ImageKind kind, std::int64_t file_length) {
    return file_length - image_kind_info(kind).skipped_bytes;
}

std::int64_t sector_count(ImageKind kind, std::int64_t file_length) {
    if (kind == ImageKind::Host)
        return (file_length - 1) / sector_bytes;
    // Rounded up without adding first: a length near the largest a file system reports must
    // not overflow.
    return file_length / sector_bytes + (file_length % sector_bytes > 0 ? 1 : 0);
}

std::uint32_t block_count(std::uint32_t size, std::uint32_t block_size) {
    return (size - 1) / block_size + 1;
}

PlanCheck make_plan(std::uint8_t selection, const std::int64_t file_lengths[image_kind_count],
                    std::uint32_t block_size, ImagePlan& plan) {
    plan = ImagePlan{};
    plan.block_size = block_size;
    for (int k = 0; k < image_kind_count; ++k) {
        const auto kind = static_cast<ImageKind>(k);
        if ((selection & image_kind_info(kind).selection_bit) == 0)
            continue;
        const PlanCheck check = add_image(plan, kind, file_lengths[k]);
        if (check.refusal != PlanRefusal::None)
            return check;
    }
    return PlanCheck{};
}

PlannedBlock plan_block(const ImagePlan& plan, int image, std::uint32_t index) {
    const PlannedImage& planned = plan.images[image];
    PlannedBlock block;
    block.offset = index * plan.block_size;
    const std::uint32_t remaining = planned.size - block.offset;
    block.len = remaining > plan.block_size ? plan.block_size : remaining;
    block.address = image_kind_info(planned.kind).flash_address + block.offset;
    // blk counts every block of the whole download still to come after this one.
    block.blk = (remaining - 1) / plan.block_size;
    for (int later = image + 1; later < plan.image_count; ++later)
        block.blk += plan.images[later].blocks;
    return block;
}
