#ifndef UPGRADE_TESTS_E2E_ESC_CASES_H
#define UPGRADE_TESTS_E2E_ESC_CASES_H

// ESC while a download waits in its exchange with the receiver: one table for the Linux build's
// tests and for the Windows build's, which runs each case with both builds. In every case the
// program sleeps while it waits, ESC ends the download with status 1, and nothing is written
// after the fragment it waited at.

#include <string>
#include <vector>

namespace e2e {

struct EscCase {
    const char* name;
    std::vector<std::string> sim_args; // what leaves the program waiting
    std::string stuck_at;              // the output's end while the program waits, and after ESC
    const char* busy;                  // what CPU use while it waits means
};

// A transponder list (selection 4) of more than one block is sent. The receiver never answers
// the first block (a mark wait); or it stops reading at the first block, which cannot leave (a
// pty holds far less than its 51216 bytes), so that the program waits for room in the driver.
inline const EscCase esc_cases[] = {
    {"waiting_for_a_block_mark",
     {"--no-mark-at", "0"},
     "len = 51200  ::  ",
     "busy waiting for the mark"},
    {"block_stuck_in_the_driver",
     {"--stop-reading-at", "0"},
     "len = 51200  :",
     "busy waiting for room"},
};

} // namespace e2e

#endif
