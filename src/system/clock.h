#ifndef UPGRADE_SYSTEM_CLOCK_H
#define UPGRADE_SYSTEM_CLOCK_H

// The program's one clock for waits, status lines and durations: monotonic, so that a change
// of the system time neither stretches nor cuts a wait.

#include <cstdint>

// Milliseconds since the program started, from a monotonic clock.
std::int64_t now_ms();

#endif
