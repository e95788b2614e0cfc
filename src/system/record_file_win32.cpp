#include "system/record_file.h"

// The record file on Windows: FILE_APPEND_DATA alone makes every write land whole at the end,
// even with several writers.

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstring>

bool open_record_file(const char* path, RecordFile& file, char* reason, std::size_t size) {
    const HANDLE handle = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           error, 0, reason, static_cast<DWORD>(size), nullptr) == 0)
            std::snprintf(reason, size, "error %lu", static_cast<unsigned long>(error));
        for (std::size_t end = std::strlen(reason);
             end > 0 && (reason[end - 1] == '\r' || reason[end - 1] == '\n'); --end)
            reason[end - 1] = '\0';
        return false;
    }
    file.handle = reinterpret_cast<std::intptr_t>(handle);
    return true;
}

bool append_record(RecordFile& file, const char* text, std::size_t length) {
    const HANDLE handle = reinterpret_cast<HANDLE>(file.handle);
    DWORD written = 0;
    return WriteFile(handle, text, static_cast<DWORD>(length), &written, nullptr) &&
           written == length && FlushFileBuffers(handle);
}
