#ifndef UPGRADE_LINK_CONSOLE_H
#define UPGRADE_LINK_CONSOLE_H

// The technician's console: the one key that steers a running upgrade (ESC), the echo of the
// receiver's own console text, and the program's printed messages.
//
// The keyboard is the controlling terminal itself (the console device on Windows), opened on
// first use even when standard input is redirected, and read without echo while the program
// runs; its settings are restored at every end of the program. Without a terminal no key is
// ever waiting. One file per system implements this header.

#include <cstdint>

// Makes sure standard input, output and error are open, on the null device where one was
// closed when the program was started. Called before any port is opened: a port must never
// take descriptor 1 or 2, or the program's messages would go down the serial line.
void open_standard_streams();

// True when a key was waiting and it was a lone ESC. Any other waiting key is read and thrown
// away, one key per call; an escape sequence (an arrow or function key: ESC followed at once
// by more bytes) counts as one key that is not ESC. Returns false at once when no key is
// waiting.
bool escape_pressed();

// What wait_ports can block on to learn that a key may be waiting, or -1 without a keyboard.
std::intptr_t console_wait_handle();

// Writes one received byte to the console device as it is, at once: not to standard output, so
// that it stays on the screen when the output is redirected (standard error without a
// terminal).
void echo(std::uint8_t byte);

// The templates are checked as C99 printf formats (%zu, %lld). MinGW's GCC takes plain "printf"
// for the older Microsoft dialect, while the program gets the C99 printf there; clang knows no
// "gnu_printf".
#if defined(__MINGW32__)
#define UPGRADE_PRINTF_FORMAT gnu_printf
#else
#define UPGRADE_PRINTF_FORMAT printf
#endif

// Prints one of the program's messages to standard output and flushes it, so that a message
// without a line end stands on the screen before the next echoed byte.
void say(const char* format, ...) __attribute__((format(UPGRADE_PRINTF_FORMAT, 1, 2)));

// True when standard output is a terminal (a console on Windows), where a status line can be
// redrawn in place.
bool output_is_terminal();

// The status line: one line of standard output redrawn in place (carriage return and spaces
// over what a longer line left, no terminal control sequences). While one is shown, the echo
// of the receiver's text clears it, shows the text above it (ending the text's line) and draws
// it again below, so that the text never tears through it. One status line at a time.
void show_status(const char* text);
// Leaves the status line as it stands and goes on below it.
void end_status();
// Around an echo: clear the status line, then draw it again below the text (`line_ended`: the
// text's last byte ended its line).
void hide_status_for_echo();
void show_status_after_echo(bool line_ended);

// Prints a diagnostic line to standard error, prefixed "upgrade: ", and flushes it: what the
// system said about a device, beside the program's own messages.
void complain(const char* format, ...) __attribute__((format(UPGRADE_PRINTF_FORMAT, 1, 2)));

#endif
