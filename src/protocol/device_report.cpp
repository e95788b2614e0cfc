#include "protocol/device_report.h"

#include <cstdio>

namespace {

struct FlashModel {
    std::uint8_t manufacturer; // low byte of the manufacturer id
    std::uint16_t device_id;
    const char* line;
};

// Searched top to bottom. Device id 0x2249 is shared by three makers; only the manufacturer
// byte tells them apart.
constexpr FlashModel flash_models[] = {
    {0x89, 0x8891, "INTEL 28F160B3B\n"},     {0x01, 0x2249, "AMD AM29LV160BB\n"},
    {0x04, 0x2249, "Fujitsu MBM29LV160B\n"}, {0x1F, 0x00C0, "ATMEL AT49BV1614\n"},
    {0xBF, 0x2782, "SST SST39VF160\n"},      {0xAD, 0x2249, "HYUNDAI HY29LV160B\n"},
    {0xAD, 0x22C4, "HYUNDAI HY29LV160T\n"},
};

} // namespace

const char* flash_model_line(std::uint16_t manufacturer_id, std::uint16_t device_id) {
    for (const FlashModel& model : flash_models) {
        if (model.manufacturer == (manufacturer_id & 0xFFU) && model.device_id == device_id)
            return model.line;
    }
    return nullptr;
}

std::size_t device_report_text(const DeviceInfo& info, char* text, std::size_t size) {
    const char* line = flash_model_line(info.manufacturer_id, info.device_id);
    char model[40];
    if (line == nullptr) {
        std::snprintf(model, sizeof model, "m_id : 0x%02X, d_id : 0x%04X", info.manufacturer_id,
                      info.device_id);
        line = model;
    }
    const int length = std::snprintf(text, size,
                                     "BootBlock version = %d.%d\n"
                                     "Flash memory manufacture id : 0x%04X\n"
                                     "Flash memory device id      : 0x%04X\n"
                                     "Flash memory model          : %s\n",
                                     info.version_major, info.version_minor, info.manufacturer_id,
                                     info.device_id, line);
    if (length < 0)
        return 0;
    return static_cast<std::size_t>(length) < size ? static_cast<std::size_t>(length) : size - 1;
}
