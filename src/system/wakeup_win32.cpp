#include "system/wakeup.h"

// A flag on Windows: a manual-reset event, signalled for good once set.

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

bool open_wakeup(Wakeup& wakeup) {
    const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr)
        return false;
    wakeup.wait_handle = reinterpret_cast<std::intptr_t>(event);
    wakeup.raise_handle = wakeup.wait_handle;
    return true;
}

void raise_wakeup(Wakeup& wakeup) {
    if (wakeup.raised.exchange(true) || wakeup.raise_handle == -1)
        return;
    SetEvent(reinterpret_cast<HANDLE>(wakeup.raise_handle));
}
