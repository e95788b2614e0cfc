#include "system/console.h"

// The console's output on Windows: the echo goes to the console output device (CONOUT$), opened
// on first use, so that it reaches the console even when standard output is redirected.

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>

#include <io.h>

namespace {

bool screen_opened = false;
HANDLE screen_handle = INVALID_HANDLE_VALUE;

// The console's output device, whatever standard output was redirected to.
HANDLE screen() {
    if (!screen_opened) {
        screen_opened = true;
        screen_handle =
            CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, 0, nullptr);
    }
    return screen_handle;
}

} // namespace

// Ports are handles of their own on Windows, never one of the C runtime's standard
// descriptors, so a closed standard output cannot be taken by a port.
void open_standard_streams() {}

bool output_is_terminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

// One WriteFile per message. The C runtime's C99 printf hands an unbuffered console stream one
// character at a time, each its own write to the console: a usage text became hundreds of
// writes, slow on a console and torn apart by any other output between them. The message gets
// the line ends the runtime's text mode gives it (each LF as CR LF), so the bytes that reach
// the console, a pipe or a file are the ones they always were.
void write_message(const char* text, std::size_t length) {
    std::fflush(stdout); // whatever the runtime still holds goes first
    const HANDLE out = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout)));
    if (out == INVALID_HANDLE_VALUE || out == nullptr)
        return;
    char written_form[2 * 8192];
    std::size_t used = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (used + 2 > sizeof written_form) {
            DWORD done = 0;
            WriteFile(out, written_form, static_cast<DWORD>(used), &done, nullptr);
            used = 0;
        }
        if (text[i] == '\n')
            written_form[used++] = '\r';
        written_form[used++] = text[i];
    }
    DWORD done = 0;
    if (used > 0)
        WriteFile(out, written_form, static_cast<DWORD>(used), &done, nullptr);
}

void echo_to_console(const std::uint8_t* bytes, std::size_t count) {
    // What one read of the line brings is shown in one write.
    constexpr std::size_t piece = echo_piece_size;
    char shown[2 * piece];
    for (std::size_t from = 0; from < count; from += piece) {
        const DWORD length = static_cast<DWORD>(
            echo_form(bytes + from, count - from < piece ? count - from : piece, shown));
        DWORD written = 0;
        if (screen() != INVALID_HANDLE_VALUE &&
            WriteConsoleA(screen(), shown, length, &written, nullptr))
            continue;
        // Without a console the text goes to standard error.
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), shown, length, &written, nullptr);
    }
}
