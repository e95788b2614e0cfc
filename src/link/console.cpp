#include "link/console.h"

// The part of the console that is the same on every system.

#include <cstdarg>
#include <cstdio>

void say(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::fflush(stdout);
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
