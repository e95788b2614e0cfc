#include "sim_flash.h"

#include "system/error_text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

bool load_flash(SimFlash& flash, const std::string& path) {
    flash.bytes.assign(flash_size, 0xFF);
    flash.path = path;
    if (path.empty())
        return true;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        if (errno == ENOENT)
            return true; // a new flash starts erased
        std::fprintf(stderr, "receiver-sim: cannot read %s: %s\n", path.c_str(),
                     error_text(errno).text);
        return false;
    }
    // A shorter file leaves the rest erased.
    const std::size_t size = std::fread(flash.bytes.data(), 1, flash_size, file);
    (void)size;
    const bool failed = std::ferror(file) != 0;
    (void)std::fclose(file); // only read: nothing is lost
    if (failed)
        std::fprintf(stderr, "receiver-sim: cannot read %s\n", path.c_str());
    return !failed;
}

bool save_flash(const SimFlash& flash) {
    if (flash.path.empty())
        return true;
    std::FILE* file = std::fopen(flash.path.c_str(), "wb");
    bool ok = file != nullptr;
    if (ok) {
        ok = std::fwrite(flash.bytes.data(), 1, flash.bytes.size(), file) == flash.bytes.size();
        ok = std::fclose(file) == 0 && ok;
    }
    if (!ok)
        std::fprintf(stderr, "receiver-sim: cannot write %s: %s\n", flash.path.c_str(),
                     error_text(errno).text);
    return ok;
}

std::uint32_t sector_address(int sector) {
    return static_cast<std::uint32_t>(sector - first_sector_number) * flash_sector_size;
}

bool sector_writable(int sector) {
    return sector >= first_writable_sector && sector <= last_sector_number;
}

void erase_sector(SimFlash& flash, int sector) {
    std::memset(flash.bytes.data() + sector_address(sector), 0xFF, flash_sector_size);
}

void write_flash(SimFlash& flash, std::uint32_t address, const std::uint8_t* data,
                 std::uint32_t len) {
    std::memcpy(flash.bytes.data() + address, data, len);
}

bool is_image_start(std::uint32_t address) {
    for (const std::uint32_t start : image_start_addresses)
        if (address == start)
            return true;
    return false;
}
