#ifndef UPGRADE_SIM_SIM_SESSION_H
#define UPGRADE_SIM_SIM_SESSION_H

// What every step of the receiver's side of a download shares: the simulator's state (its
// options, line, flash and report, and the download in progress), how a step ends, and the
// answers every step sends. The handshake (sim_exchange) and the block phase (sim_blocks) both
// build on this.

#include "sim_flash.h"
#include "sim_line.h"
#include "sim_options.h"
#include "sim_report.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr std::int64_t us_per_ms = 1000;

struct Sim {
    SimOptions options;
    SimLine line;
    SimFlash flash;
    SimReport report;
    bool violated = false;  // a protocol violation was seen during the run
    bool restarted = false; // --restart-at has happened (it happens once)
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
    Restarted,   // --restart-at: the receiver started again and announces anew
    Interrupted, // a stop signal arrived
};

// Writes `bytes` to the line; `doing` names the step for a timeout or a closed line.
Outcome write_line(Sim& sim, const std::string& bytes, const char* doing);

// Sends `text` and then `mark` once --mark-delay-ms have passed since `frame_end_us`.
Outcome send_mark(Sim& sim, std::int64_t frame_end_us, const std::string& text, std::uint8_t mark);

// True when --restart-at names `point` (and, for a block, `block`) and the receiver has not
// started again yet.
bool restart_due(const Sim& sim, RestartPoint point, std::int64_t block = no_block);

// Starts the receiver again, as --restart-at asks: it answers nothing for --restart-silence
// (whatever arrives is thrown away), returns to 57600 baud and says "restart WHERE" in the
// report. Restarted, or how the line failed meanwhile.
Outcome restart(Sim& sim, const char* where);

// The outcome of a wait that did not end with what was awaited; reports a timeout or a closed
// line together with `waiting_for` ("waiting for block 3").
Outcome line_outcome(Sim& sim, LineStatus status, const char* waiting_for);

#endif
