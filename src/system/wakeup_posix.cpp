#include "system/wakeup.h"

// A flag on POSIX systems: a pipe whose read end becomes readable for good once one byte is
// written to it.

#include <fcntl.h>
#include <unistd.h>

bool open_wakeup(Wakeup& wakeup) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    wakeup.wait_handle = ends[0];
    wakeup.raise_handle = ends[1];
    return true;
}

void raise_wakeup(Wakeup& wakeup) {
    if (wakeup.raised.exchange(true) || wakeup.raise_handle < 0)
        return;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(static_cast<int>(wakeup.raise_handle), &byte, 1);
}
