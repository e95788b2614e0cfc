#include "link/console.h"

// The part of the console that is the same on every system.

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// The status line on screen: its text, and its length (0: none shown).
char status_text[200];
int status_length = 0;
bool status_hidden = false;

} // namespace

void say(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::fflush(stdout);
}

void complain(const char* format, ...) {
    std::fputs("upgrade: ", stderr);
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fflush(stderr);
}

void show_status(const char* text) {
    const int length = static_cast<int>(std::strlen(text));
    // Spaces over what a longer line before left on screen.
    const int cover = status_length > length ? status_length - length : 0;
    say("\r%s%*s", text, cover, "");
    std::snprintf(status_text, sizeof status_text, "%s", text);
    status_length = length + cover;
    status_hidden = false;
}

void end_status() {
    if (status_length > 0 && !status_hidden)
        say("\n");
    status_length = 0;
    status_hidden = false;
}

void hide_status_for_echo() {
    if (status_length == 0 || status_hidden)
        return;
    say("\r%*s\r", status_length, "");
    status_hidden = true;
}

void show_status_after_echo(bool line_ended) {
    if (status_length == 0 || !status_hidden)
        return;
    if (!line_ended)
        say("\n");
    status_hidden = false;
    say("%s", status_text);
    status_length = static_cast<int>(std::strlen(status_text));
}

std::size_t echo_form(const std::uint8_t* bytes, std::size_t count, char* shown) {
    std::size_t length = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t byte = bytes[i];
        const bool passes = byte == '\t' || byte == '\n' || byte == '\r' || byte == '\b';
        if ((byte < 0x20 && !passes) || byte == 0x7F) {
            shown[length++] = '^';
            shown[length++] = static_cast<char>(byte ^ 0x40);
        } else {
            shown[length++] = static_cast<char>(byte);
        }
    }
    return length;
}

void echo(const std::uint8_t* bytes, std::size_t count) {
    if (count == 0)
        return;
    hide_status_for_echo();
    echo_to_console(bytes, count);
    show_status_after_echo(bytes[count - 1] == '\n');
}
