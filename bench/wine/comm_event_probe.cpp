// What a wait on comm events does on COM1 when nothing arrives: the smallest program that shows
// why the Windows link waits for input on an overlapped one-byte read instead. It sets the
// event mask to EV_RXCHAR, starts an overlapped WaitCommEvent and waits up to 1500 ms for it.
// On Windows the wait times out ("timeout"); a wait that ends without a byte ("ended", with the
// mask and the error) would have a comm-event wait loop spin.

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>

int main() {
    const HANDLE port = CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        std::printf("cannot open COM1: error %lu\n", GetLastError());
        return 2;
    }
    OVERLAPPED wait{};
    wait.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD mask = 0;
    if (!SetCommMask(port, EV_RXCHAR) ||
        (!WaitCommEvent(port, &mask, &wait) && GetLastError() != ERROR_IO_PENDING)) {
        std::printf("ended: error %lu at the start\n", GetLastError());
        return 0;
    }
    if (WaitForSingleObject(wait.hEvent, 1500) == WAIT_TIMEOUT) {
        std::printf("timeout\n");
        return 0;
    }
    DWORD ignored = 0;
    const BOOL done = GetOverlappedResult(port, &wait, &ignored, FALSE);
    std::printf("ended: mask 0x%lx, error %lu\n", mask, done ? 0 : GetLastError());
    return 0;
}
