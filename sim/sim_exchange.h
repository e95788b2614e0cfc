#ifndef UPGRADE_SIM_SIM_EXCHANGE_H
#define UPGRADE_SIM_SIM_EXCHANGE_H

// The receiver's side of one download, in the order the boot block plays it:
//   announcement (with optional stray bytes), repeated if asked until the host answers;
//   the access string "marlose-quintar", then console text and the ready mark '!';
//   the 10-byte identification reply (flash ids and boot block version, little-endian, CRC);
//   the 52-byte download header: checked, its sectors erased;
//   when its speed is not 576, the host's switch to that speed followed before the next '!';
//   the blocks, each answered '!' (accepted and written) or '@' (send it again), until the one
//   whose blk is 0; then the host is expected back at 57600 baud.
//
// Each answer goes out --mark-delay-ms after the last byte of the frame it answers, because the
// host throws away what arrives within its 2 ms drain after a frame; a real receiver takes far
// longer to program its flash. Every check of what the host sent is made here; a failed check
// ends the download as a protocol violation, except a block with a bad CRC, which is answered
// '@' like a real receiver would (and still makes the run end with the violation status).

#include "sim_flash.h"
#include "sim_line.h"
#include "sim_options.h"
#include "sim_report.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct Sim {
    SimOptions options;
    SimLine line;
    SimFlash flash;
    SimReport report;
    bool violated = false; // a protocol violation was seen during the run
    // The download in progress, from its header.
    std::uint32_t block_size = 0;
    std::uint32_t speed = 0; // hundreds of baud
    std::uint8_t sectors[256] = {};
    std::size_t sector_count = 0;
    std::vector<std::uint8_t> frame; // one block frame: block_size + 16 bytes
};

enum class Outcome {
    Done,        // the download completed correctly
    Violation,   // the host broke the protocol (reported)
    Timeout,     // the overall time limit passed
    Closed,      // the host closed the line
    HungUp,      // the simulator dropped the line on purpose (--hangup-at)
    Abandoned,   // no header came within --header-wait: announce again
    Interrupted, // a stop signal arrived
};

// Serves one download, announcing at `announce_at_us` (sim_now_us clock). `number` counts the
// downloads of the run from 1, for the report. Blocks until the download ends one way or another
// (never beyond the overall time limit).
Outcome serve_download(Sim& sim, int number, std::int64_t announce_at_us);

// The block phase of a download whose header was accepted: receives, checks, answers and writes
// every block until the one with blk 0 was accepted.
Outcome receive_blocks(Sim& sim);

// Sends `text` and then `mark` once --mark-delay-ms have passed since `frame_end_us`.
Outcome send_mark(Sim& sim, std::int64_t frame_end_us, const std::string& text, std::uint8_t mark);

// The outcome of a wait that did not end with what was awaited; reports a timeout or a closed
// line together with `waiting_for` ("waiting for block 3").
Outcome line_outcome(Sim& sim, LineStatus status, const char* waiting_for);

#endif
