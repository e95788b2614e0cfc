#ifndef UPGRADE_PROTOCOL_IMAGE_PLAN_H
#define UPGRADE_PROTOCOL_IMAGE_PLAN_H

// Where the three images lie in the receiver's flash and how a download cuts them into blocks.
//
// The flash is cut into 64 KiB sectors; sector numbers and addresses agree as
// sector = 3 + address / 65536. The host program occupies sectors 4 to 18, the font 19 to 29,
// the transponder list 30 to 34, the last of the 2 MiB flash. The host file is a picture of the
// flash from address 0, so its first 64 KiB (the boot block's own sectors) are never sent. A
// download lists every sector it will write in its header (the receiver erases them) and then sends
// the images in order host, font, tplist, each block carrying the number of blocks still to come.

#include <cstddef>
#include <cstdint>

enum class ImageKind { Host = 0, Font = 1, Tplist = 2 };
constexpr int image_kind_count = 3;

struct ImageKindInfo {
    std::uint8_t selection_bit;
    const char* default_name;
    std::uint32_t skipped_bytes; // at the start of the file, never sent
    std::uint32_t flash_address; // of the first byte sent
    std::uint8_t first_sector;
    std::uint32_t region_size; // bytes up to the next image's region or the flash's end
    const char* heading;       // printed before the image in a multi-image download
    const char* label;         // the kind's one word: /plan, the record and the progress line
};

const ImageKindInfo& image_kind_info(ImageKind kind);

// Bytes a file of `file_length` bytes sends (negative or 0: nothing to send). No length a file
// system can report (0 to 2^63 - 1) overflows here or in sector_count.
std::int64_t image_size(ImageKind kind, std::int64_t file_length);
// 64 KiB sectors that the image of a file of `file_length` bytes touches.
std::int64_t sector_count(ImageKind kind, std::int64_t file_length);
// Blocks of at most `block_size` bytes for `size` bytes (size >= 1).
std::uint32_t block_count(std::uint32_t size, std::uint32_t block_size);

struct PlannedImage {
    ImageKind kind = ImageKind::Host;
    std::uint32_t size = 0;    // bytes sent
    std::uint32_t sectors = 0; // sector count
    std::uint32_t blocks = 0;
};

// One download: its images in order, their sector list and the block size.
struct ImagePlan {
    PlannedImage images[image_kind_count];
    int image_count = 0;
    std::uint8_t sectors[64] = {};
    std::size_t sector_count = 0;
    std::uint32_t total_blocks = 0;
    std::uint32_t block_size = 0;
};

// One block of the download.
struct PlannedBlock {
    std::uint32_t offset = 0;  // in the image (0 = first byte sent)
    std::uint32_t len = 0;     // data bytes, 1 to block_size
    std::uint32_t address = 0; // flash address of the first byte
    std::uint32_t blk = 0;     // blocks of the whole download sent after this one
};

// Why a download cannot be written correctly.
enum class PlanRefusal { None, NothingToSend, LargerThanRegion, TooManyBlocks };

// Each block carries the number of blocks still to come in 16 bits.
constexpr std::uint32_t max_download_blocks = 65536;

struct PlanCheck {
    PlanRefusal refusal = PlanRefusal::None;
    ImageKind kind = ImageKind::Host; // the image concerned
    std::int64_t amount = 0;          // its bytes to send, or the download's block count
};

// Plans the download of the kinds in `selection` (bit mask: host 1, font 2, tplist 4) from the
// file lengths in `file_lengths` (indexed by kind; only the selected ones are read). Refuses,
// with the first reason found, an image with nothing to send (a rom.bin of 65536 bytes or less,
// an empty font or tplist), an image larger than its flash region (it would overwrite the next
// image, or the tplist wrap round to the boot block), and more blocks than a block can count
// (tiny block sizes). `plan` is complete when nothing is refused.
PlanCheck make_plan(std::uint8_t selection, const std::int64_t file_lengths[image_kind_count],
                    std::uint32_t block_size, ImagePlan& plan);

// The `index`-th block (from 0) of the plan's `image`-th image.
PlannedBlock plan_block(const ImagePlan& plan, int image, std::uint32_t index);

#endif
