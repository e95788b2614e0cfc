#ifndef UPGRADE_DRIVER_OUTCOME_H
#define UPGRADE_DRIVER_OUTCOME_H

// Where a download's outcome becomes words and an exit status. The download only reports how
// it ended; the messages for a refusal, a failure or a lost line, and whether the program ends
// and with which status, are decided here and nowhere else.

#include "link/serial_port.h"
#include "protocol/download.h"

#include <cstddef>
#include <cstdint>

// The program's exit statuses.
constexpr int exit_done = 0;    // the download finished (repeat off)
constexpr int exit_failed = 1;  // usage text, unusable values or names, no port, a download
                                // that did not finish
constexpr int exit_escape = 27; // ESC while waiting for a receiver

// Writes into `text` (of `size` bytes, at least 1) the message that says why `outcome` did not
// finish, or an empty text when it needs none (finished, ESC). `request` names the files, `port`
// the device.
void outcome_message(const DownloadOutcome& outcome, const DownloadRequest& request,
                     const SerialPort& port, char* text, std::size_t size);

// The message for a serial device that went away, with the system's reason.
void lost_line_message(const SerialPort& port, char* text, std::size_t size);

// The line that sums a download up (with /progress): its images, the image bytes and blocks
// the receiver accepted, the blocks sent again, the time and the average rate.
void summary_line(const DownloadOutcome& outcome, std::int64_t elapsed_ms, char* text,
                  std::size_t size);

// The exit status after a download, or -1 when the program goes on to wait for the next
// receiver: with `repeat`, after a download that finished or was refused. Any other end of a
// download ends the program with status 1.
int exit_status_after(const DownloadOutcome& outcome, bool repeat);

#endif
