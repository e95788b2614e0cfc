#include "protocol/frames.h"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>
#include <vector>

namespace {

const std::uint8_t* bytes_of(const char* text) {
    return reinterpret_cast<const std::uint8_t*>(text);
}

TEST(LinkCrc, CheckValues) {
    EXPECT_EQ(link_crc(3, 0, bytes_of("abc")), 0xCA6598D0U);
    EXPECT_EQ(link_crc(0, 0, bytes_of("abc")), 0U);
    EXPECT_EQ(link_crc(0, 0x12345678U, bytes_of("")), 0x12345678U);
    // Not the common CRC-32 (which starts at all ones and inverts the result): that one gives
    // 0x352441C2 for "abc".
    EXPECT_NE(link_crc(3, 0, bytes_of("abc")), 0x352441C2U);
}

TEST(LinkCrc, RunsOnFromAGivenStartValue) {
    const std::uint32_t first = link_crc(1, 0, bytes_of("a"));
    EXPECT_EQ(link_crc(2, first, bytes_of("bc")), link_crc(3, 0, bytes_of("abc")));
}

// The checksum computed bit by bit, straight from its definition.
std::uint32_t crc_bit_by_bit(const std::uint8_t* bytes, std::size_t length, std::uint32_t crc) {
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1U) != 0 ? (crc >> 1) ^ 0xEDB88320U : crc >> 1;
    }
    return crc;
}

TEST(LinkCrc, AgreesWithTheDefinitionForAnyLengthAlignmentAndStart) {
    std::mt19937 random(7);
    std::vector<std::uint8_t> bytes(block_buffer_size + 8);
    for (auto& byte : bytes)
        byte = static_cast<std::uint8_t>(random());
    const std::size_t lengths[] = {0, 1, 7, 8, 9, 15, 16, 17, 48, 51212, block_buffer_size};
    for (const std::size_t length : lengths) {
        for (std::size_t offset = 0; offset < 8; ++offset) {
            const std::uint32_t start = offset == 0 ? 0 : static_cast<std::uint32_t>(random());
            ASSERT_EQ(link_crc(length, start, bytes.data() + offset),
                      crc_bit_by_bit(bytes.data() + offset, length, start))
                << "length " << length << " offset " << offset;
        }
    }
}

constexpr std::array<std::uint8_t, 10> good_reply = {0x01, 0x00, 0x49, 0x22, 0x01,
                                                     0x02, 0xF1, 0x06, 0x9C, 0xE1};

TEST(DeviceInfo, DecodesLittleEndianFieldsOfAGoodReply) {
    DeviceInfo info;
    ASSERT_TRUE(parse_device_info(good_reply.data(), info));
    EXPECT_EQ(info.manufacturer_id, 0x0001);
    EXPECT_EQ(info.device_id, 0x2249);
    EXPECT_EQ(info.version_major, 1);
    EXPECT_EQ(info.version_minor, 2);
    EXPECT_EQ(info.received_crc, 0xE19C06F1U);
    EXPECT_EQ(info.computed_crc, 0xE19C06F1U);
}

TEST(DeviceInfo, AnyChangedByteFailsTheCheck) {
    for (std::size_t at = 0; at < good_reply.size(); ++at) {
        for (const int flip : {0x01, 0x80, 0xFF}) {
            auto reply = good_reply;
            reply[at] = static_cast<std::uint8_t>(reply[at] ^ flip);
            DeviceInfo info;
            EXPECT_FALSE(parse_device_info(reply.data(), info)) << "byte " << at;
        }
    }
}

TEST(DownloadHeader, SectorsFieldsAndBigEndianCrcOverWhatTheBufferHolds) {
    std::vector<std::uint8_t> buffer(block_buffer_size);
    for (std::size_t i = 0; i < header_size; ++i)
        buffer[i] = static_cast<std::uint8_t>(0xA0 + i); // older content
    const std::uint8_t sectors[] = {4, 5, 6};
    put_header_sectors(buffer.data(), sectors, 3);
    complete_header(buffer.data(), 16384, 1152);

    const std::vector<std::uint8_t> start(buffer.begin(), buffer.begin() + 8);
    EXPECT_EQ(start, (std::vector<std::uint8_t>{0x40, 0x00, 0x04, 0x80, 3, 4, 5, 6}));
    for (std::size_t i = 8; i < header_crc_offset; ++i)
        EXPECT_EQ(buffer[i], 0xA0 + i) << "byte " << i << " must keep what the buffer held";
    EXPECT_EQ(get_be32(buffer.data() + header_crc_offset), link_crc(48, 0, buffer.data()));
}

TEST(DownloadHeader, HoldsFortyThreeSectors) {
    std::vector<std::uint8_t> buffer(block_buffer_size, 0xEE);
    std::uint8_t sectors[max_header_sectors];
    for (std::size_t i = 0; i < max_header_sectors; ++i)
        sectors[i] = static_cast<std::uint8_t>(4 + i);
    put_header_sectors(buffer.data(), sectors, max_header_sectors);
    complete_header(buffer.data(), 51200, 576);
    EXPECT_EQ(buffer[4], 43);
    EXPECT_EQ(buffer[47], 4 + 42);
    EXPECT_EQ(get_be32(buffer.data() + 48), link_crc(48, 0, buffer.data()));
}

struct TrailerCase {
    std::uint32_t block_size;
    std::uint32_t blk;
    std::uint32_t len;
    std::uint32_t address;
    std::array<std::uint8_t, 12> trailer;
};

TEST(BlockFrame, TrailerSitsAtTheBlockSizeWhateverTheLength) {
    const TrailerCase cases[] = {
        {51200, 0, 1, 0x1B0000, {0, 0, 0, 1, 0, 0x1B, 0, 0, 0, 0, 0, 0}},
        {16384, 4, 16384, 0x010000, {0, 4, 0x40, 0, 0, 0x01, 0, 0, 0, 0, 0, 0}},
        {100, 0x12345, 0x10063, 0x1FFFFF, {0x23, 0x45, 0, 0x63, 0, 0x1F, 0xFF, 0xFF, 0, 0, 0, 0}},
    };
    for (const TrailerCase& c : cases) {
        std::vector<std::uint8_t> buffer(block_buffer_size, 0x5A);
        const std::uint32_t crc =
            put_block_trailer(buffer.data(), c.block_size, c.blk, c.len, c.address);
        const std::uint8_t* trailer = buffer.data() + c.block_size;
        EXPECT_TRUE(std::equal(c.trailer.begin(), c.trailer.end(), trailer)) << c.block_size;
        EXPECT_EQ(crc, link_crc(c.block_size + 12, 0, buffer.data()));
        EXPECT_EQ(get_be32(trailer + 12), crc);
        EXPECT_EQ(buffer[c.block_size - 1], 0x5A) << "the data area is sent whole";
    }
}

// Feeds the line's bytes to the matcher and returns after how many bytes it saw the
// announcement each time.
std::vector<std::size_t> matches_in(const std::string& line) {
    char buffer[announcement_size];
    int position = 0;
    std::vector<std::size_t> seen;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (match_announcement(buffer, position, static_cast<unsigned char>(line[i])))
            seen.push_back(i + 1);
    }
    return seen;
}

struct LineCase {
    const char* what;
    std::string line;
    std::vector<std::size_t> seen;
};

TEST(Announcement, MatchingRules) {
    const std::string a = "KAL VERON KELDKAR";
    const LineCase cases[] = {
        {"plain", a, {17}},
        {"stray bytes and a stray K are dropped", "xxK" + a, {20}},
        {"last character changed", "KAL VERON KELDKAX", {}},
        {"changed, then a good one", "KAL VERON KELDKAX" + a, {34}},
        {"ten stray bytes put its K at position 10: missed", "0123456789" + a, {}},
        {"ten stray bytes, then two announcements", "0123456789" + a + a, {44}},
        {"fourteen stray bytes: missed too", "0123456789abcd" + a, {}},
        {"lower case", "kal veron keldkar", {}},
        {"twice in a row", a + a, {17, 34}},
        {"bytes of every value before it", std::string("\x00\xff\r\n", 4) + a, {21}},
    };
    for (const LineCase& c : cases)
        EXPECT_EQ(matches_in(c.line), c.seen) << c.what;
}

} // namespace
