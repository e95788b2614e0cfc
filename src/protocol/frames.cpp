#include "protocol/frames.h"

#include <array>
#include <cstring>

namespace {

// The reflected CRC-32 table: entry i is byte i run through eight right shifts with the
// polynomial 0xEDB88320. Tables 1 to 7 advance it by one more zero byte each, so that eight
// bytes are taken per step (a block is 51 KB, and each one is summed again for a resend).
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr CrcTables make_crc_tables() {
    CrcTables tables{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t crc = i;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1U) != 0 ? (crc >> 1) ^ 0xEDB88320U : crc >> 1;
        tables[0][i] = crc;
    }
    for (std::size_t k = 1; k < tables.size(); ++k) {
        for (std::size_t i = 0; i < 256; ++i)
            tables[k][i] = (tables[k - 1][i] >> 8) ^ tables[0][tables[k - 1][i] & 0xFFU];
    }
    return tables;
}

constexpr CrcTables crc_tables = make_crc_tables();

std::uint16_t get_le16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}

} // namespace

bool match_announcement(char* buffer, int& position, int byte) {
    // A 'K' restarts the collection, except where the announcement itself has one inside
    // (positions 10 and 14). The bytes are compared only once 17 have been collected.
    if (byte == 'K' && position != 10 && position != 14)
        position = 0;
    buffer[position++] = static_cast<char>(byte);
    if (position < announcement_size)
        return false;
    position = 0;
    return std::memcmp(buffer, announcement, announcement_size) == 0;
}

std::uint32_t link_crc(std::size_t length, std::uint32_t start, const std::uint8_t* bytes) {
    const auto& t = crc_tables;
    std::uint32_t crc = start;
    std::size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        const std::uint32_t low = get_le32(bytes + i) ^ crc;
        const std::uint32_t high = get_le32(bytes + i + 4);
        crc = t[7][low & 0xFFU] ^ t[6][(low >> 8) & 0xFFU] ^ t[5][(low >> 16) & 0xFFU] ^
              t[4][low >> 24] ^ t[3][high & 0xFFU] ^ t[2][(high >> 8) & 0xFFU] ^
              t[1][(high >> 16) & 0xFFU] ^ t[0][high >> 24];
    }
    for (; i < length; ++i)
        crc = (crc >> 8) ^ t[0][(crc ^ bytes[i]) & 0xFFU];
    return crc;
}

void put_be16(std::uint8_t* at, std::uint32_t value) {
    at[0] = static_cast<std::uint8_t>(value >> 8);
    at[1] = static_cast<std::uint8_t>(value);
}

void put_be32(std::uint8_t* at, std::uint32_t value) {
    put_be16(at, value >> 16);
    put_be16(at + 2, value);
}

std::uint32_t get_be32(const std::uint8_t* at) {
    return std::uint32_t{at[0]} << 24 | std::uint32_t{at[1]} << 16 | std::uint32_t{at[2]} << 8 |
           at[3];
}

std::uint32_t get_le32(const std::uint8_t* at) {
    return std::uint32_t{at[3]} << 24 | std::uint32_t{at[2]} << 16 | std::uint32_t{at[1]} << 8 |
           at[0];
}

bool parse_device_info(const std::uint8_t* reply, DeviceInfo& info) {
    info.manufacturer_id = get_le16(reply);
    info.device_id = get_le16(reply + 2);
    info.version_major = reply[4];
    info.version_minor = reply[5];
    info.received_crc = get_le32(reply + 6);
    info.computed_crc = link_crc(6, 0, reply);
    return info.received_crc == info.computed_crc;
}

void put_header_sectors(std::uint8_t* buffer, const std::uint8_t* sectors, std::size_t count) {
    buffer[4] = static_cast<std::uint8_t>(count);
    for (std::size_t i = 0; i < count; ++i)
        buffer[header_sector_offset + i] = sectors[i];
}

void complete_header(std::uint8_t* buffer, std::uint32_t block_size, std::int32_t speed) {
    put_be16(buffer, block_size);
    put_be16(buffer + 2, static_cast<std::uint32_t>(speed));
    put_be32(buffer + header_crc_offset, link_crc(header_crc_offset, 0, buffer));
}

std::uint32_t put_block_trailer(std::uint8_t* buffer, std::uint32_t block_size, std::uint32_t blk,
                                std::uint32_t len, std::uint32_t address) {
    std::uint8_t* trailer = buffer + block_size;
    put_be16(trailer, blk);
    put_be16(trailer + 2, len);
    put_be32(trailer + 4, address);
    put_be32(trailer + 8, 0);
    const std::uint32_t crc = link_crc(block_size + 12, 0, buffer);
    put_be32(trailer + 12, crc);
    return crc;
}
