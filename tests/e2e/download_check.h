#ifndef UPGRADE_TESTS_E2E_DOWNLOAD_CHECK_H
#define UPGRADE_TESTS_E2E_DOWNLOAD_CHECK_H

// What a download must look like, computed in the test from the protocol's rules rather than
// from the program's own code: the blocks (address, len, blk), the sector list, the console
// text with its progress lines, and the simulated flash afterwards. Also reads the simulator's
// report of what it received.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace e2e {

enum Kind { host = 0, font = 1, tplist = 2 };
constexpr const char* default_names[3] = {"rom.bin", "font.bin", "tplist.bin"};
constexpr std::uint32_t skipped_bytes[3] = {65536, 0, 0};
constexpr std::uint32_t flash_address[3] = {0x010000, 0x100000, 0x1B0000};
constexpr int first_sector[3] = {4, 19, 30};
constexpr std::size_t flash_size = 0x200000;

// The contents of the image files of a download, by kind (empty for a kind not selected).
struct Images {
    std::vector<std::uint8_t> file[3];
};

// How the receiver identifies itself (the simulator's defaults).
struct Identity {
    unsigned manufacturer = 0x0001;
    unsigned device = 0x2249;
    unsigned major = 1;
    unsigned minor = 2;
};

struct DownloadShape {
    int selection = 0;
    std::uint32_t block_size = 51200;
    int speed = 1152;           // hundreds of baud
    std::map<int, int> resends; // block ordinal -> how many times it is answered '@'
    Identity identity;
};

struct PlannedFrame {
    int kind = 0;
    std::uint32_t file_offset = 0; // where the block's data starts in its file
    std::uint32_t len = 0;
    std::uint32_t address = 0;
    std::uint32_t blk = 0;
    bool last_of_image = false;
};

std::vector<PlannedFrame> plan_frames(const DownloadShape& shape, const Images& images);
std::vector<int> plan_sectors(const DownloadShape& shape, const Images& images);

// The device report for `identity`, up to and including its closing line end.
std::string device_report_text(const Identity& identity);

// The console text of a whole download, from "start pol ok\n" to "change speed --> 57600\n".
// The CRC of a block whose data area is not entirely image data (a short last block also sends
// older buffer content behind `len`) is left as hex_wild digits.
std::string download_text(const DownloadShape& shape, const Images& images);

// The name report of a run with given names (`names` by kind, empty when not given).
std::string name_report(int selection, const std::string names[3]);

// The line detection prints for the files it found.
std::string detection_line(int selection);

// The simulated flash after the download: erased, with each image at its place.
std::vector<std::uint8_t> expected_flash(const DownloadShape& shape, const Images& images);

// The simulator's report, one entry per download.
struct ReportedBlock {
    long ordinal = -1;
    long blk = -1;
    long len = -1;
    long address = -1;
    bool crc_ok = false;
};

struct ReportedDownload {
    long block_size = -1;
    long speed = -1;
    std::vector<int> sectors;
    long speed_seen = -1;
    std::vector<ReportedBlock> blocks;
    bool done = false;
    std::vector<std::string> errors;
};

std::vector<ReportedDownload> parse_report(const std::string& text);

// Compares one reported download with the plan; empty when they agree, else the differences.
std::string report_mismatch(const ReportedDownload& reported, const DownloadShape& shape,
                            const Images& images);

} // namespace e2e

#endif
