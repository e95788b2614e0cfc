#ifndef UPGRADE_SYSTEM_ERROR_TEXT_H
#define UPGRADE_SYSTEM_ERROR_TEXT_H

// The system's text for an errno value (a port's lost_error, a file that cannot be opened), safe
// to take from several threads at once: a station serves many receivers, and strerror may hand
// them all one buffer. Used as error_text(errno).text inside the call that prints it: the text
// lives until that call ends. Each system has its own file (error_text_posix.cpp,
// error_text_win32.cpp).

struct ErrorText {
    char text[256];
};

// The text for `error`, cut short where it is longer than the room; never empty (an error the
// system has no text for is still named). Never blocks.
ErrorText error_text(int error);

#endif
