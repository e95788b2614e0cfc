// How late the end of an overlapped write reaches a program under wine: the smallest program
// that shows it. It writes ROUNDS blocks of BYTES bytes to COM1, each in one overlapped WriteFile,
// and as soon as it sees a block's write complete it writes one byte '!'. upgrade.exe starts
// its 2 ms drain at that moment, so the other end of the line, which times the '!' from the
// moment it has read the block's last byte, sees how much of a receiver's answer time the end
// of the write takes. Prints "done" at the end.

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

bool write_whole(HANDLE port, OVERLAPPED& op, const void* bytes, DWORD count) {
    ResetEvent(op.hEvent);
    op.Offset = op.OffsetHigh = 0;
    if (!WriteFile(port, bytes, count, nullptr, &op) && GetLastError() != ERROR_IO_PENDING)
        return false;
    WaitForSingleObject(op.hEvent, INFINITE);
    DWORD written = 0;
    return GetOverlappedResult(port, &op, &written, FALSE) && written == count;
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 10;
    const DWORD bytes = argc > 2 ? static_cast<DWORD>(std::atol(argv[2])) : 51216;
    const HANDLE port = CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        std::printf("cannot open COM1: error %lu\n", GetLastError());
        return 2;
    }
    DCB line{};
    line.DCBlength = sizeof line;
    line.BaudRate = 115200;
    line.fBinary = TRUE;
    line.ByteSize = 8;
    COMMTIMEOUTS none{};
    SetCommState(port, &line);
    SetCommTimeouts(port, &none);
    OVERLAPPED op{};
    op.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const std::vector<char> block(bytes, 'b');
    for (int round = 0; round < rounds; ++round) {
        if (!write_whole(port, op, block.data(), bytes)) {
            std::printf("block write failed: error %lu\n", GetLastError());
            return 1;
        }
        if (!write_whole(port, op, "!", 1)) {
            std::printf("mark write failed: error %lu\n", GetLastError());
            return 1;
        }
        Sleep(5); // a pause between rounds, as between a block and the next
    }
    std::printf("done\n");
    return 0;
}
