#ifndef UPGRADE_SYSTEM_WAKEUP_H
#define UPGRADE_SYSTEM_WAKEUP_H

// A flag that threads can wait for together with their ports and the keyboard: once raised it
// stays raised, and every wait that watches it wakes at once. A station raises one to stop
// every port's download when ESC is pressed, and another when its last port is done.
//
// One file per system implements this header: wakeup_posix.cpp (a pipe that is written once
// and never read, so it stays readable) and wakeup_win32.cpp (a manual-reset event).

#include <atomic>
#include <cstdint>

struct Wakeup {
    std::intptr_t wait_handle = -1;  // what wait_ports watches; -1: not open
    std::intptr_t raise_handle = -1; // the system's own
    std::atomic<bool> raised{false};
};

// Makes the flag ready to be waited for. False when the system refuses.
bool open_wakeup(Wakeup& wakeup);

// Raises the flag; safe from any thread, and more than once.
void raise_wakeup(Wakeup& wakeup);

#endif
