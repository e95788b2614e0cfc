#ifndef UPGRADE_SYSTEM_CONSOLE_H
#define UPGRADE_SYSTEM_CONSOLE_H

// The technician's console: the one key that steers a running upgrade (ESC), the echo of the
// receiver's own console text, and the program's printed messages.
//
// The keyboard is the controlling terminal itself (the console device on Windows), opened on
// first use even when standard input is redirected, and read without echo while the program
// runs in the terminal's foreground; its settings are restored at every end of the program and
// whenever it is stopped. In the background (after Ctrl-Z and `bg`, or started with `&`) the
// keyboard is neither read nor set, and it is taken again once the program is back in the
// foreground. Without a terminal no key is ever waiting. One file per system implements this
// header.

#include <cstddef>
#include <cstdint>

struct Wakeup;

// Makes sure standard input, output and error are open, on the null device where one was
// closed when the program was started. Called before any port is opened: a port must never
// take descriptor 1 or 2, or the program's messages would go down the serial line.
void open_standard_streams();

// Makes the program hard to end by accident; call once at start, before the first message.
// A closed standard output or standard error (`| head`) never ends the program: what cannot
// be written is dropped. The signals that end a program (interrupt, terminate, hangup, quit)
// restore the terminal and release the serial ports before they end it as they would have; a
// signal that was ignored when the program started (`nohup`, `&` in a script) stays ignored.
void prepare_console();

// True when a key was waiting and it was a lone ESC: one with nothing behind it at once. Any
// other waiting key is read and thrown away. Bytes that follow an ESC at once make one key
// that is not ESC, whole, none of its bytes a key of its own: an arrow or function key
// (ESC [ ... or ESC O x), Alt with a key (ESC x), and the terminal's own answers to queries
// (ESC ] ... and ESC P ..., ended by BEL or ESC \). ESC pressed twice is ESC. Returns false
// at once when no key is waiting, and without looking in the background.
bool escape_pressed();

// What wait_ports can block on to learn that a key may be waiting, or -1 without a keyboard
// (or in the background, where keys typed are the shell's).
std::intptr_t console_wait_handle();

// The system's part of the two above, for the keyboard itself.
bool key_escape_pressed();
std::intptr_t keyboard_wait_handle();

// A thread that serves one port of a station watches the station's stop instead of the
// keyboard (the station's own thread reads the keys): in it, escape_pressed() says whether the
// station was stopped, and console_wait_handle() is what wakes its waits when it is. nullptr:
// the keyboard again.
void watch_stop_instead_of_keys(const Wakeup* stop);

// The console text of one port of a station. Its messages and the receiver's echoed text are
// shown line by line, each whole line behind the port's name, so that a line never mixes two
// ports; an unfinished line waits for its end. Its status line (with /progress on a terminal)
// is one line of a block at the bottom of the screen, one line per port.
struct ConsoleChannel {
    char prefix[24] = {}; // "COM3: "
    char pending[4096] = {};
    std::size_t used = 0;
    char status[200] = {}; // empty: no status line
};

// Sends this thread's messages, echo and status line to `channel` (nullptr: the console).
void use_channel(ConsoleChannel* channel);

// Shows what the channel holds of an unfinished line as a line of its own.
void flush_channel(ConsoleChannel& channel);

// The receiver's text up to a mark is complete: on a channel, what is left of its line is
// shown as a line of its own, so that the next message starts a line. Nothing without one.
void end_of_echoed_text();

// Writes received bytes to the console device at once, in one piece: not to standard output,
// so that they stay on the screen when the output is redirected (standard error without a
// terminal). The receiver's text must not drive the terminal: control bytes other than TAB,
// LF, CR and BS, and DEL, are shown in caret notation (see echo_form).
void echo(const std::uint8_t* bytes, std::size_t count);

// The system's part of echo: writes the bytes in their echo form to the console device.
void echo_to_console(const std::uint8_t* bytes, std::size_t count);

// The form in which the echo shows `count` received bytes, written to `shown` (room for twice
// `count`); returns its length. Printable and 8-bit bytes, TAB, LF, CR and BS stay as they
// are; any other control byte becomes '^' and the character 64 above it (ESC is "^[", NUL
// "^@"), DEL becomes "^?".
std::size_t echo_form(const std::uint8_t* bytes, std::size_t count, char* shown);

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

// The system's part of say: writes one whole message to standard output in one piece and
// flushes it, so that a console shows it at once and never a character at a time.
void write_message(const char* text, std::size_t length);

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
