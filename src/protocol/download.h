#ifndef UPGRADE_PROTOCOL_DOWNLOAD_H
#define UPGRADE_PROTOCOL_DOWNLOAD_H

// One download, from the access string to the return to the base speed: the receiver's
// identification, the header that lists the flash sectors to erase, the optional speed change
// for the data phase, and the images block by block, each accepted ('!') or asked for again
// ('@') by the receiver.
//
// A download either returns (finished, or refused before the receiver was asked for anything
// beyond the access string) or ends the program with exit_download_failed.

#include "link/serial_port.h"
#include "protocol/image_plan.h"

#include <cstdint>

constexpr int exit_download_failed = 1;

struct DownloadRequest {
    std::uint8_t selection = 0;                    // 1 to 7: host 1, font 2, tplist 4
    std::uint32_t block_size = 0;                  // 1 to max_block_size
    std::int32_t speed = 0;                        // data phase, in hundreds of baud
    const char* file_names[image_kind_count] = {}; // the file each kind is read from
};

// Runs one download on the active port. Returns true when it finished, false when it was
// refused (an image file that cannot be opened, or an image that cannot be written correctly);
// the refusal's message has been printed then. Every other failure ends the program.
bool run_download(PortSet& ports, const DownloadRequest& request);

// True when `name` is an image file that can be opened for reading.
bool image_file_present(const char* name);

// Print that the serial device went away, with the system's reason, and end the program.
[[noreturn]] void end_on_lost_line(const SerialPort& port);

// Ends the program after a wait on the active port was cut short: by ESC, or by the device
// going away (then saying so).
[[noreturn]] void end_on_escape_or_lost(PortSet& ports);

#endif
