#include "protocol/device_report.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string report_for(std::uint16_t manufacturer, std::uint16_t device) {
    DeviceInfo info;
    info.manufacturer_id = manufacturer;
    info.device_id = device;
    info.version_major = 1;
    info.version_minor = 2;
    char text[512];
    return std::string(text, device_report_text(info, text, sizeof text));
}

struct ModelCase {
    std::uint16_t manufacturer;
    std::uint16_t device;
    const char* model_line; // after the label
};

TEST(DeviceReport, KnownChipsByManufacturerLowByteAndDeviceId) {
    const ModelCase cases[] = {
        {0x0089, 0x8891, "INTEL 28F160B3B\n\n"},
        {0x0001, 0x2249, "AMD AM29LV160BB\n\n"},
        {0x0004, 0x2249, "Fujitsu MBM29LV160B\n\n"},
        {0x001F, 0x00C0, "ATMEL AT49BV1614\n\n"},
        {0x00BF, 0x2782, "SST SST39VF160\n\n"},
        {0x00AD, 0x2249, "HYUNDAI HY29LV160B\n\n"},
        {0x00AD, 0x22C4, "HYUNDAI HY29LV160T\n\n"},
        // Only the low byte of the manufacturer id counts.
        {0x1289, 0x8891, "INTEL 28F160B3B\n\n"},
        // Unknown pairs show both ids instead of a model.
        {0x00AD, 0x1234, "m_id : 0xAD, d_id : 0x1234\n"},
        {0x0002, 0x2249, "m_id : 0x02, d_id : 0x2249\n"},
        {0x1201, 0x2250, "m_id : 0x1201, d_id : 0x2250\n"},
    };
    for (const ModelCase& c : cases) {
        const std::string report = report_for(c.manufacturer, c.device);
        char ids[128];
        std::snprintf(ids, sizeof ids,
                      "Flash memory manufacture id : 0x%04X\nFlash memory device id      : "
                      "0x%04X\n",
                      c.manufacturer, c.device);
        EXPECT_EQ(report, std::string("BootBlock version = 1.2\n") + ids +
                              "Flash memory model          : " + c.model_line)
            << std::hex << c.manufacturer << " " << c.device;
    }
}

TEST(DeviceReport, VersionBytesPrintUnsigned) {
    DeviceInfo info;
    info.version_major = 200;
    info.version_minor = 255;
    char text[512];
    const std::string report(text, device_report_text(info, text, sizeof text));
    EXPECT_EQ(report.substr(0, report.find('\n')), "BootBlock version = 200.255");
}

} // namespace
