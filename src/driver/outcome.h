#ifndef UPGRADE_DRIVER_OUTCOME_H
#define UPGRADE_DRIVER_OUTCOME_H

// Where a download's outcome becomes words and an exit status. The download only reports how
// it ended; the messages for a refusal, a failure or a lost line, and whether the program ends
// and with which status, are decided here and nowhere else.

#include "driver/options.h"
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

// The line that sums a download up (with /progress): its images, the image bytes and blocks
// the receiver accepted, the blocks sent again, the time and the average rate.
void summary_line(const DownloadOutcome& outcome, std::int64_t elapsed_ms, char* text,
                  std::size_t size);

// What a line does next.
enum class NextStep {
    NextReceiver,  // waits for the next receiver's announcement
    WaitForDevice, // its device went away: waits for one to appear at the same path
    End,           // the line is done; the one-port program ends with `status`
};

struct LineStep {
    NextStep next = NextStep::End;
    int status = -1; // with End in the one-port program; -1 in a station (its table decides)
};

// What a line does after a download ended with `result`, or, with `waiting`, after its wait
// for a receiver ended that way (ESC or a lost line). This is where the one-port program and a
// station differ, and nowhere else; the columns are `mode`:
//
//   ended with        Once              Repeat             Station
//   finished          end, 0            next receiver      next receiver
//   refused           end, 1            next receiver      next receiver
//   failed            end, 1            end, 1             next receiver (line at base speed)
//   ESC, waiting      end, 27           end, 27            end
//   ESC, download     end, 1            end, 1             end
//   line lost         end, 1            end, 1             wait for the device
//
// A station is there to be left running: it ends on ESC or a signal only.
LineStep next_step(DownloadResult result, bool waiting, RunMode mode);

// Says that the serial device on `port` went away, with the system's reason (`error`), on a
// line of its own.
void say_line_lost(const SerialPort& port, int error);

#endif
