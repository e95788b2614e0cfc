#ifndef UPGRADE_SIM_SIM_FLASH_H
#define UPGRADE_SIM_SIM_FLASH_H

// The simulated receiver's flash: 2 MiB kept in memory and in a file, so that tests can compare
// what a download wrote with the images it sent.
//
// The receiver's own memory map, kept here independently of the host's image plan so that the
// simulator checks the host instead of agreeing with it: 64 KiB sectors numbered so that
// sector = 3 + address / 65536. The boot block lives below 0x010000 (sectors below 4) and is
// never erased or written; the last sector of the 2 MiB is number 34. The images start at the
// host program 0x010000, the font 0x100000 and the transponder list 0x1B0000.

#include <cstdint>
#include <string>
#include <vector>

constexpr std::uint32_t flash_size = 0x200000;
constexpr std::uint32_t flash_sector_size = 0x10000;
constexpr int first_sector_number = 3; // the sector at address 0
constexpr int first_writable_sector = 4;
constexpr int last_sector_number =
    first_sector_number + static_cast<int>(flash_size / flash_sector_size) - 1;

// Where an image begins: the only addresses a download may start an image at.
constexpr std::uint32_t image_start_addresses[] = {0x010000, 0x100000, 0x1B0000};

struct SimFlash {
    std::vector<std::uint8_t> bytes; // flash_size bytes
    std::string path;                // empty: kept in memory only
};

// Fills the flash from `path`: erased (0xFF) where the file is absent or shorter. An empty
// `path` gives an erased flash kept only in memory. False after a message on standard error.
bool load_flash(SimFlash& flash, const std::string& path);

// Writes the whole flash back to its file (nothing without one). False after a message on
// standard error.
bool save_flash(const SimFlash& flash);

// The address of the first byte of sector `sector`.
std::uint32_t sector_address(int sector);

// True when `sector` may be erased: inside the flash and above the boot block.
bool sector_writable(int sector);

// Erases a writable sector to 0xFF.
void erase_sector(SimFlash& flash, int sector);

// Copies `len` bytes to `address`; the range must lie inside the flash.
void write_flash(SimFlash& flash, std::uint32_t address, const std::uint8_t* data,
                 std::uint32_t len);

// True when `address` is where one of the images begins.
bool is_image_start(std::uint32_t address);

#endif
