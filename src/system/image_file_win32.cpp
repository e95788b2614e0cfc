#include "system/image_file.h"

// Image files on Windows.

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>

namespace {

HANDLE handle_of(const ImageFile& file) {
    return reinterpret_cast<HANDLE>(file.handle);
}

} // namespace

bool open_image_file(const char* name, ImageFile& file) {
    file = ImageFile{};
    if (name == nullptr)
        return false;
    const HANDLE handle = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        file.open_error = static_cast<int>(GetLastError());
        return false;
    }
    LARGE_INTEGER size{};
    // Only a file on disk is an image: not a pipe, a device or a console.
    const bool on_disk = GetFileType(handle) == FILE_TYPE_DISK;
    if (!on_disk || !GetFileSizeEx(handle, &size)) {
        file.open_error = on_disk ? static_cast<int>(GetLastError()) : image_not_regular;
        CloseHandle(handle);
        return false;
    }
    file.handle = reinterpret_cast<std::intptr_t>(handle);
    file.length = size.QuadPart;
    return true;
}

bool read_image_file(const ImageFile& file, std::int64_t offset, std::uint8_t* bytes,
                     std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        OVERLAPPED at{};
        const auto position = static_cast<std::uint64_t>(offset) + done;
        at.Offset = static_cast<DWORD>(position);
        at.OffsetHigh = static_cast<DWORD>(position >> 32);
        const std::size_t left = count - done;
        const auto piece = static_cast<DWORD>(left > 0x40000000U ? 0x40000000U : left);
        DWORD got = 0;
        if (!ReadFile(handle_of(file), bytes + done, piece, &got, &at) || got == 0)
            return false;
        done += got;
    }
    return true;
}

void describe_image_error(int error, char* text, std::size_t size) {
    if (error == image_not_regular) {
        std::snprintf(text, size, "not a regular file");
        return;
    }
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(error), 0, text, static_cast<DWORD>(size), nullptr);
    if (length == 0) {
        std::snprintf(text, size, "system error %d", error);
        return;
    }
    for (DWORD end = length; end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n'); --end)
        text[end - 1] = '\0';
}

void close_image_file(ImageFile& file) {
    if (file.handle != -1)
        CloseHandle(handle_of(file));
    file = ImageFile{};
}
