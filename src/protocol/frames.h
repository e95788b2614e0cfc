#ifndef UPGRADE_PROTOCOL_FRAMES_H
#define UPGRADE_PROTOCOL_FRAMES_H

// The bytes that cross the line during a download: the link checksum, the access string, the
// receiver's marks and the three frames (the receiver's identification reply, the host's
// download header and the host's data blocks).
//
// Byte orders differ by direction and must stay so: the receiver sends its numbers
// little-endian, the host sends every number big-endian.

#include <cstddef>
#include <cstdint>

// The 17 bytes a receiver in download mode sends, compared exactly (case counts). Its 'K' occurs
// again at positions 10 and 14, which the matching rule below depends on.
constexpr char announcement[] = "KAL VERON KELDKAR";
constexpr int announcement_size = sizeof announcement - 1;

// Feeds one received byte to the announcement matcher (`buffer` of announcement_size bytes,
// `position` starting at 0). Returns true when the announcement is complete.
bool match_announcement(char* buffer, int& position, int byte);

// The largest block the receiver takes, and the block size used when none is given.
constexpr std::uint32_t max_block_size = 51200;
// Behind the data area of every block: blk, len, flash address, four zero bytes, CRC.
constexpr std::size_t block_trailer_size = 16;
// The download buffer: the reply, then the header, then each block with its trailer.
constexpr std::size_t block_buffer_size = max_block_size + block_trailer_size;

// The host's first answer to the announcement; it opens the download exchange. Sent as the
// bare 15 bytes, without terminator or length.
constexpr char access_string[] = "marlose-quintar";
constexpr std::size_t access_string_size = sizeof access_string - 1;

// Single bytes the receiver answers with. Anything else is its console text.
constexpr std::uint8_t ready_mark = '!';  // ready for the next step; after a block: accepted
constexpr std::uint8_t resend_mark = '@'; // after a block: not accepted, send it again

// The identification reply: manufacturer id and device id of the flash chip (16 bits each),
// boot block version major and minor, and the CRC of those 6 bytes (all little-endian).
constexpr int device_info_size = 10;

struct DeviceInfo {
    std::uint16_t manufacturer_id = 0;
    std::uint16_t device_id = 0;
    std::uint8_t version_major = 0;
    std::uint8_t version_minor = 0;
    std::uint32_t received_crc = 0; // the CRC the receiver sent
    std::uint32_t computed_crc = 0; // the CRC of the 6 bytes as they arrived
};

// The download header: block size and data-phase speed (hundreds of baud), the number of flash
// sectors and their list, free bytes, and at 48 the CRC of bytes 0 to 47 (all big-endian).
constexpr std::size_t header_size = 52;
constexpr std::size_t header_crc_offset = 48;
constexpr std::size_t header_sector_offset = 5;
constexpr std::size_t max_header_sectors = header_crc_offset - header_sector_offset; // 43

// The link's one checksum: the reflected CRC-32 table (polynomial 0xEDB88320) run from
// `start` (always 0 here) with no final inversion; it is not the common CRC-32. A length of 0
// returns `start`.
std::uint32_t link_crc(std::size_t length, std::uint32_t start, const std::uint8_t* bytes);

void put_be16(std::uint8_t* at, std::uint32_t value); // stores the low 16 bits
void put_be32(std::uint8_t* at, std::uint32_t value);
std::uint32_t get_be32(const std::uint8_t* at);
std::uint32_t get_le32(const std::uint8_t* at);

// Decodes a 10-byte reply. Returns true when its CRC matches; `info` is filled either way.
bool parse_device_info(const std::uint8_t* reply, DeviceInfo& info);

// Puts the sector count and list into the header at the start of `buffer`. The bytes behind the
// list keep what the buffer held: the receiver does not read them, and the CRC covers them as
// they are. `count` is at most max_header_sectors.
void put_header_sectors(std::uint8_t* buffer, const std::uint8_t* sectors, std::size_t count);

// Completes the header in `buffer`: block size, data-phase speed in hundreds of baud, and the
// CRC over bytes 0 to 47 at 48.
void complete_header(std::uint8_t* buffer, std::uint32_t block_size, std::int32_t speed);

// Writes a block's trailer at `buffer + block_size` (never at `len`: the frame always has the
// full data area) and returns its CRC. `blk` and `len` are stored modulo 65536.
std::uint32_t put_block_trailer(std::uint8_t* buffer, std::uint32_t block_size, std::uint32_t blk,
                                std::uint32_t len, std::uint32_t address);

#endif
