// The bytes on the wire: every 10-byte identification reply, the checksum against a bit-by-bit
// reference, block trailers and headers read back as the receiver reads them, and the
// announcement matcher against a plain search.

#include "protocol/frames.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void require(bool condition) {
    if (!condition)
        std::abort();
}

// The link checksum one bit at a time, as the polynomial defines it.
std::uint32_t reference_crc(std::size_t length, std::uint32_t crc, const std::uint8_t* bytes) {
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1U) != 0 ? (crc >> 1) ^ 0xEDB88320U : crc >> 1;
    }
    return crc;
}

std::uint32_t be16(const std::uint8_t* at) {
    return std::uint32_t{at[0]} << 8 | at[1];
}

void check_reply(const std::uint8_t* reply) {
    DeviceInfo info;
    const bool good = parse_device_info(reply, info);
    require(info.manufacturer_id == (reply[0] | reply[1] << 8));
    require(info.device_id == (reply[2] | reply[3] << 8));
    require(info.version_major == reply[4] && info.version_minor == reply[5]);
    require(info.received_crc == get_le32(reply + 6));
    require(info.computed_crc == reference_crc(6, 0, reply));
    require(good == (info.received_crc == info.computed_crc));
}

void check_block(FuzzedDataProvider& input) {
    static std::uint8_t buffer[block_buffer_size];
    const auto block_size = input.ConsumeIntegralInRange<std::uint32_t>(1, max_block_size);
    const auto blk = input.ConsumeIntegral<std::uint32_t>();
    const auto len = input.ConsumeIntegral<std::uint32_t>();
    const auto address = input.ConsumeIntegral<std::uint32_t>();
    const std::vector<std::uint8_t> data = input.ConsumeBytes<std::uint8_t>(block_size);
    std::memset(buffer, 0xA5, sizeof buffer);
    std::copy(data.begin(), data.end(), buffer);
    const std::uint32_t crc = put_block_trailer(buffer, block_size, blk, len, address);
    const std::uint8_t* trailer = buffer + block_size;
    require(be16(trailer) == (blk & 0xFFFFU) && be16(trailer + 2) == (len & 0xFFFFU));
    require(get_be32(trailer + 4) == address && get_be32(trailer + 8) == 0);
    require(get_be32(trailer + 12) == crc);
    require(crc == reference_crc(block_size + 12, 0, buffer));
    require(std::equal(data.begin(), data.end(), buffer));
    // Nothing behind the trailer is touched.
    for (std::size_t i = block_size + block_trailer_size; i < sizeof buffer; ++i)
        require(buffer[i] == 0xA5);
}

void check_header(FuzzedDataProvider& input) {
    std::uint8_t header[header_size + 1];
    std::memset(header, 0x5A, sizeof header);
    const std::vector<std::uint8_t> sectors = input.ConsumeBytes<std::uint8_t>(
        input.ConsumeIntegralInRange<std::size_t>(0, max_header_sectors));
    const auto block_size = input.ConsumeIntegralInRange<std::uint32_t>(1, max_block_size);
    const auto speed = input.ConsumeIntegralInRange<std::int32_t>(1, 0xFFFF);
    put_header_sectors(header, sectors.data(), sectors.size());
    complete_header(header, block_size, speed);
    require(be16(header) == (block_size & 0xFFFFU) &&
            be16(header + 2) == static_cast<std::uint32_t>(speed));
    require(header[4] == sectors.size());
    require(std::equal(sectors.begin(), sectors.end(), header + header_sector_offset));
    require(get_be32(header + header_crc_offset) == reference_crc(header_crc_offset, 0, header));
    require(header[header_size] == 0x5A);
}

// The matcher never says "complete" where the announcement does not end. Whether it finds every
// announcement behind any noise is not asked: a false start with its 'K' at 10 or 14 hides one.
void check_announcement(const std::vector<std::uint8_t>& bytes) {
    char buffer[announcement_size];
    int position = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const bool matched = match_announcement(buffer, position, bytes[i]);
        const bool ends_here =
            i + 1 >= announcement_size && std::memcmp(bytes.data() + i + 1 - announcement_size,
                                                      announcement, announcement_size) == 0;
        require(!matched || ends_here);
        if (matched)
            return;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint8_t reply[device_info_size] = {};
    std::memcpy(reply, data, size < sizeof reply ? size : sizeof reply);
    check_reply(reply);
    require(link_crc(size, 0, data) == reference_crc(size, 0, data));
    const std::size_t split = size / 2;
    require(link_crc(size - split, link_crc(split, 0, data), data + split) ==
            link_crc(size, 0, data));

    check_announcement(std::vector<std::uint8_t>(data, data + size));
    FuzzedDataProvider input(data, size);
    check_header(input);
    check_block(input);
    return 0;
}
