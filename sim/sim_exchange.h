#ifndef UPGRADE_SIM_SIM_EXCHANGE_H
#define UPGRADE_SIM_SIM_EXCHANGE_H

// The receiver's side of one download, in the order the boot block plays it:
//   announcement (with optional stray bytes), repeated if asked until the host answers;
//   its own announcement coming back from the host's line is dropped (sim_echo.h);
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

#include "sim_session.h"

// Serves one download, announcing at `announce_at_us` (sim_now_us clock). `number` counts the
// downloads of the run from 1, for the report. Blocks until the download ends one way or another
// (never beyond the overall time limit).
Outcome serve_download(Sim& sim, int number, std::int64_t announce_at_us);

#endif
