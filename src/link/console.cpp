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

void complain(const char* format, ...) {
    std::fputs("upgrade: ", stderr);
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fflush(stderr);
}
