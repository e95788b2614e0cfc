#include "download_check.h"

#include "harness.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace e2e {

namespace {

bool selected(const DownloadShape& shape, int kind) {
    return (shape.selection >> kind) & 1;
}

std::uint32_t image_size(const Images& images, int kind) {
    return static_cast<std::uint32_t>(images.file[kind].size()) - skipped_bytes[kind];
}

std::uint32_t blocks_of(std::uint32_t size, std::uint32_t block_size) {
    return (size - 1) / block_size + 1;
}

void put_be(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value, int count) {
    for (int i = 0; i < count; ++i)
        bytes[at + static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>(value >> (8 * (count - 1 - i)));
}

// The CRC of a frame whose data area holds only image data.
std::uint32_t full_frame_crc(const PlannedFrame& frame, const Images& images,
                             std::uint32_t block_size) {
    std::vector<std::uint8_t> bytes(block_size + 12, 0);
    const auto& file = images.file[frame.kind];
    std::copy(file.begin() + frame.file_offset, file.begin() + frame.file_offset + block_size,
              bytes.begin());
    put_be(bytes, block_size, frame.blk & 0xFFFF, 2);
    put_be(bytes, block_size + 2, frame.len & 0xFFFF, 2);
    put_be(bytes, block_size + 4, frame.address, 4);
    return link_crc(bytes.data(), bytes.size());
}

std::string progress_line(const PlannedFrame& frame, const Images& images,
                          std::uint32_t block_size) {
    char text[100];
    std::snprintf(text, sizeof text, "crc = 0x%08X, blk = %3u, len = %5u  :",
                  frame.len == block_size ? full_frame_crc(frame, images, block_size) : 0u,
                  frame.blk, frame.len);
    std::string line = text;
    if (frame.len != block_size)
        line.replace(8, 8, std::string(8, hex_wild));
    return line;
}

long number_after(const std::string& line, const std::string& key) {
    auto at = line.find(key + "=");
    if (at == std::string::npos)
        return -1;
    return std::strtol(line.c_str() + at + key.size() + 1, nullptr, 0);
}

std::string word_after(const std::string& line, const std::string& key) {
    auto at = line.find(key + "=");
    if (at == std::string::npos)
        return {};
    at += key.size() + 1;
    return line.substr(at, line.find(' ', at) - at);
}

} // namespace

std::vector<PlannedFrame> plan_frames(const DownloadShape& shape, const Images& images) {
    std::uint32_t total = 0;
    for (int kind = 0; kind < 3; ++kind)
        if (selected(shape, kind))
            total += blocks_of(image_size(images, kind), shape.block_size);
    std::vector<PlannedFrame> frames;
    for (int kind = 0; kind < 3; ++kind) {
        if (!selected(shape, kind))
            continue;
        std::uint32_t remaining = image_size(images, kind);
        std::uint32_t offset = 0;
        for (;;) {
            PlannedFrame frame;
            frame.kind = kind;
            frame.file_offset = skipped_bytes[kind] + offset;
            frame.address = flash_address[kind] + offset;
            frame.blk = --total;
            frame.last_of_image = remaining <= shape.block_size;
            frame.len = frame.last_of_image ? remaining : shape.block_size;
            frames.push_back(frame);
            if (frame.last_of_image)
                break;
            remaining -= shape.block_size;
            offset += shape.block_size;
        }
    }
    return frames;
}

std::vector<int> plan_sectors(const DownloadShape& shape, const Images& images) {
    std::vector<int> sectors;
    for (int kind = 0; kind < 3; ++kind) {
        if (!selected(shape, kind))
            continue;
        std::uint32_t count = (image_size(images, kind) + 65535) / 65536;
        for (std::uint32_t k = 0; k < count; ++k)
            sectors.push_back(first_sector[kind] + static_cast<int>(k));
    }
    return sectors;
}

std::string device_report_text(const Identity& identity) {
    struct Model {
        unsigned manufacturer_low, device;
        const char* line;
    };
    static const Model models[] = {
        {0x89, 0x8891, "INTEL 28F160B3B\n"},     {0x01, 0x2249, "AMD AM29LV160BB\n"},
        {0x04, 0x2249, "Fujitsu MBM29LV160B\n"}, {0x1F, 0x00C0, "ATMEL AT49BV1614\n"},
        {0xBF, 0x2782, "SST SST39VF160\n"},      {0xAD, 0x2249, "HYUNDAI HY29LV160B\n"},
        {0xAD, 0x22C4, "HYUNDAI HY29LV160T\n"},
    };
    char text[400];
    std::snprintf(text, sizeof text,
                  "BootBlock version = %u.%u\n"
                  "Flash memory manufacture id : 0x%04X\n"
                  "Flash memory device id      : 0x%04X\n"
                  "Flash memory model          : ",
                  identity.major, identity.minor, identity.manufacturer, identity.device);
    std::string report = text;
    const char* model = nullptr;
    for (const auto& row : models)
        if ((identity.manufacturer & 0xFF) == row.manufacturer_low &&
            identity.device == row.device) {
            model = row.line;
            break;
        }
    if (model) {
        report += model;
    } else {
        // An unknown chip: its two ids after the label.
        std::snprintf(text, sizeof text, "m_id : 0x%02X, d_id : 0x%04X", identity.manufacturer,
                      identity.device);
        report += text;
    }
    return report + "\n";
}

std::string download_text(const DownloadShape& shape, const Images& images) {
    std::string text = "start pol ok\n";
    if (shape.selection == 4)
        text += "flen = " + std::to_string(images.file[tplist].size()) + "\n";
    text += device_report_text(shape.identity);
    text += "\n";
    if (shape.speed != 576)
        text += "change baudrate 57600 -> " + std::to_string(shape.speed) + "00\n";
    bool several = shape.selection != 1 && shape.selection != 2 && shape.selection != 4;
    static const char* headings[3] = {"\ndownload host\n\n", "\ndownload font\n\n",
                                      "\ndownload tplist\n\n"};
    int ordinal = 0;
    int previous_kind = -1;
    for (const auto& frame : plan_frames(shape, images)) {
        if (several && frame.kind != previous_kind)
            text += headings[frame.kind];
        previous_kind = frame.kind;
        auto resend = shape.resends.find(ordinal);
        int sendings = 1 + (resend == shape.resends.end() ? 0 : resend->second);
        for (int i = 0; i < sendings; ++i) {
            text += progress_line(frame, images, shape.block_size);
            if (!frame.last_of_image)
                text += ":  ";
        }
        ++ordinal;
    }
    return text + "change speed --> 57600\n";
}

std::string name_report(int selection, const std::string names[3]) {
    std::string text;
    for (int kind = 0; kind < 3; ++kind) {
        if (!((selection >> kind) & 1))
            continue;
        text += (text.empty() ? "File name : " : "            ") + names[kind] + "\n";
    }
    return text.empty() ? text : text + "\n";
}

std::string detection_line(int selection) {
    static const char* lines[8] = {"Not found bin files.\n",
                                   "Found Only rom.bin file.\n",
                                   "Found Only font.bin file.\n",
                                   "Found rom.bin and font.bin files.\n",
                                   "Found Only tplist.bin file.\n",
                                   "Found rom.bin and tplist.bin files.\n",
                                   "Found font.bin and tplist.bin files.\n",
                                   "Found all files.\n"};
    return lines[selection & 7];
}

std::vector<std::uint8_t> expected_flash(const DownloadShape& shape, const Images& images) {
    std::vector<std::uint8_t> flash(flash_size, 0xFF);
    for (int kind = 0; kind < 3; ++kind) {
        if (!selected(shape, kind))
            continue;
        const auto& file = images.file[kind];
        std::copy(file.begin() + skipped_bytes[kind], file.end(),
                  flash.begin() + flash_address[kind]);
    }
    return flash;
}

std::vector<ReportedDownload> parse_report(const std::string& text) {
    std::vector<ReportedDownload> downloads;
    for (const auto& line : split_lines(text)) {
        if (line.rfind("download", 0) == 0) {
            downloads.emplace_back();
            continue;
        }
        if (downloads.empty())
            continue;
        auto& download = downloads.back();
        if (line.rfind("header", 0) == 0) {
            download.block_size = number_after(line, "block_size");
            download.speed = number_after(line, "speed");
            std::stringstream list(word_after(line, "sectors"));
            std::string item;
            while (std::getline(list, item, ','))
                if (!item.empty())
                    download.sectors.push_back(std::atoi(item.c_str()));
        } else if (line.rfind("speed_seen", 0) == 0) {
            download.speed_seen = number_after(line, "speed_seen");
        } else if (line.rfind("block", 0) == 0) {
            ReportedBlock block;
            block.ordinal = std::strtol(line.c_str() + 5, nullptr, 10);
            block.blk = number_after(line, "blk");
            block.len = number_after(line, "len");
            block.address = number_after(line, "address");
            block.crc_ok = word_after(line, "crc") == "ok";
            download.blocks.push_back(block);
        } else if (line == "done") {
            download.done = true;
        } else if (line.rfind("error", 0) == 0) {
            download.errors.push_back(line);
        }
    }
    return downloads;
}

std::string report_mismatch(const ReportedDownload& reported, const DownloadShape& shape,
                            const Images& images) {
    std::ostringstream out;
    if (reported.block_size != static_cast<long>(shape.block_size))
        out << "header block size " << reported.block_size << ", expected " << shape.block_size
            << "\n";
    if (reported.speed != shape.speed)
        out << "header speed " << reported.speed << ", expected " << shape.speed << "\n";
    auto sectors = plan_sectors(shape, images);
    if (reported.sectors != sectors) {
        out << "sectors";
        for (int s : reported.sectors)
            out << " " << s;
        out << ", expected";
        for (int s : sectors)
            out << " " << s;
        out << "\n";
    }
    if (reported.speed_seen != shape.speed * 100L)
        out << "speed seen " << reported.speed_seen << ", expected " << shape.speed * 100L << "\n";
    std::vector<ReportedBlock> expected;
    long ordinal = 0;
    for (const auto& frame : plan_frames(shape, images)) {
        auto resend = shape.resends.find(static_cast<int>(ordinal));
        int sendings = 1 + (resend == shape.resends.end() ? 0 : resend->second);
        for (int i = 0; i < sendings; ++i)
            expected.push_back(ReportedBlock{ordinal, static_cast<long>(frame.blk),
                                             static_cast<long>(frame.len),
                                             static_cast<long>(frame.address), true});
        ++ordinal;
    }
    std::size_t count = std::max(expected.size(), reported.blocks.size());
    for (std::size_t i = 0; i < count; ++i) {
        if (i >= reported.blocks.size()) {
            out << "frame " << i << " (block " << expected[i].ordinal << ") not received\n";
            continue;
        }
        const auto& got = reported.blocks[i];
        if (i >= expected.size()) {
            out << "frame " << i << " (block " << got.ordinal << ") not expected\n";
            continue;
        }
        const auto& want = expected[i];
        if (got.ordinal != want.ordinal || got.blk != want.blk || got.len != want.len ||
            got.address != want.address || !got.crc_ok)
            out << "frame " << i << ": block " << got.ordinal << " blk=" << got.blk
                << " len=" << got.len << " address=0x" << std::hex << got.address << std::dec
                << " crc " << (got.crc_ok ? "ok" : "bad") << "; expected block " << want.ordinal
                << " blk=" << want.blk << " len=" << want.len << " address=0x" << std::hex
                << want.address << std::dec << "\n";
    }
    if (!reported.done)
        out << "no 'done'\n";
    for (const auto& error : reported.errors)
        out << error << "\n";
    return out.str();
}

} // namespace e2e
