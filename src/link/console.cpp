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
