#ifndef UPGRADE_PROTOCOL_DEVICE_REPORT_H
#define UPGRADE_PROTOCOL_DEVICE_REPORT_H

// The report of the receiver's identification: boot block version, the flash chip's two ids
// and, where the pair is known, its maker and model. Informational only: the download goes on
// whatever the chip is.

#include "protocol/frames.h"

#include <cstddef>

// The model line of the first known chip whose manufacturer id (low byte only: some chips put
// a bank code in the high byte) and device id match, or nullptr.
const char* flash_model_line(std::uint16_t manufacturer_id, std::uint16_t device_id);

// Writes the report for a reply that passed its CRC check into `text` (of `size` bytes, at
// least 1); it ends with an empty line. Returns its length (cut to fit).
std::size_t device_report_text(const DeviceInfo& info, char* text, std::size_t size);

#endif
