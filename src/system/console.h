#ifndef UPGRADE_SYSTEM_CONSOLE_H
#define UPGRADE_SYSTEM_CONSOLE_H

// The technician's console as the program's output: its printed messages, the echo of the
// receiver's own console text, the status lines, and the channels through which the lines
// being served hand all of it to the console's one writer. The keyboard is system/keyboard.h,
// the signals system/signals.h. One file per system implements the system's part of this
// header (console_posix.cpp, console_win32.cpp).

#include <cstddef>
#include <cstdint>
#include <mutex>

// Makes sure standard input, output and error are open, on the null device where one was
// closed when the program was started. Called before any port is opened: a port must never
// take descriptor 1 or 2, or the program's messages would go down the serial line.
void open_standard_streams();

// What a channel holds for the screen at most. A line never waits for the console: when the
// screen cannot keep up (a slow terminal, Ctrl-S, a pipe nobody reads), the receiver's text is
// dropped first and counted, the program's own messages are kept in the room set aside for
// them, and the count of what was not shown is said once the text flows again.
constexpr std::size_t channel_queue_size = 65536;
constexpr std::size_t message_room = 16384; // of the queue, kept for the program's messages
// Channels the writer shows at most, one status line each: the lines one run serves at most.
constexpr int max_channels = 32;
// What the writer keeps of a channel's unfinished line at most; a longer line is shown in
// pieces.
constexpr std::size_t channel_line_size = 4096;

// A channel's large arrays, kept apart from the channel: its queue and the writer's unfinished
// line. Each channel has one of its own (two channels never share one, or their lines would
// wait on each other's text), in static storage, where it starts zero without being written:
// it takes no room in the program file, and a page of it becomes the program's memory only
// once the channel's text reaches it.
struct ChannelStore {
    std::uint8_t queue[channel_queue_size];
    char line[channel_line_size];
};

// The console text of one line being served: its messages, the receiver's echoed text and its
// status line, on their way to the console's one writer. With a prefix the channel shares the
// screen with others: each whole line is shown behind the prefix, so that a line never mixes
// two ports, and a line of the program's and a line of the receiver's text never share a line.
// Without one it is the program's own console: the text goes out as it comes, the messages to
// standard output and the receiver's text to the console device. Its `store` is given before
// the channel is used (use_channel) and stays the channel's for the whole run.
struct ConsoleChannel {
    char prefix[24] = {}; // "COM3: ", or empty
    // Its queue (under `lock`) and its unfinished line (the writer's).
    ChannelStore* store = nullptr;
    // Between the line's thread and the writer, under `lock`.
    std::mutex lock;
    std::size_t queue_start = 0;
    std::size_t queue_used = 0;
    std::uint64_t text_dropped = 0;     // receiver bytes not shown since the last note
    std::uint64_t messages_dropped = 0; // message bytes not shown since the last note
    char status[200] = {};              // the status line's latest text; empty: none
    bool status_changed = false;
    // The writer's alone.
    std::size_t line_used = 0; // of the store's `line`: an unfinished line, with a prefix
    bool line_is_text = false; // the unfinished line is the receiver's text
    std::int64_t text_ms = 0;  // when the receiver's text last came (system/clock.h)
    char shown_status[200] = {};
};

// The receiver's text without a line end is shown as a line of its own once its port has been
// quiet this long: a receiver that prints a prompt, or stalls mid-line, is seen at once, and
// one that talks on fills its lines.
constexpr int text_quiet_ms = 400;

// Sends this thread's messages, echo and status line to `channel`, which the console's writer
// shows from now on (nullptr: straight to the console, as before any line is served). The
// channel has its store.
void use_channel(ConsoleChannel* channel);

// What the channel holds of an unfinished line is shown as a line of its own (with a prefix),
// and what was not shown is said: the line's serving is over.
void flush_channel(ConsoleChannel& channel);

// Starts the console's one writer: from now on every channel's text reaches the screen through
// it, in a thread of its own, which alone owns the screen, the status lines and the state of
// the line on screen. Nothing else may write to the console until stop_console_writer returns.
void start_console_writer();

// Shows what every channel still holds, then ends the writer. Blocks until the console has
// taken it all (after Ctrl-S, until Ctrl-Q).
void stop_console_writer();

// The receiver's text up to a mark is complete: on a channel with a prefix, what is left of its
// line is shown as a line of its own, so that the next message starts a line. Nothing without
// one.
void end_of_echoed_text();

// The next message starts on a line of its own: a line that the receiver's text or a message
// left unfinished is ended first. Used before a message that must stand out (a line lost).
void start_own_line();

// Writes received bytes to the console device at once, in one piece: not to standard output,
// so that they stay on the screen when the output is redirected (standard error without a
// terminal). The receiver's text must not drive the terminal: control bytes other than TAB,
// LF, CR and BS, and DEL, are shown in caret notation (see echo_form).
void echo(const std::uint8_t* bytes, std::size_t count);

// The system's part of echo: writes the bytes in their echo form to the console device, up to
// echo_piece_size of them in one write.
void echo_to_console(const std::uint8_t* bytes, std::size_t count);
// What the serial line brings in one read at most (4 KiB): the echo shows it in one write.
constexpr std::size_t echo_piece_size = 4096;

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

// The status line of this thread's channel (with /progress on a terminal): one line per
// channel in a block at the bottom of the screen, redrawn in place at most 5 times a second
// (carriage returns and spaces; with more than one line, the cursor is moved up with
// ESC [ A). Text shown while the block stands takes it off the screen and it is drawn again
// below. Nothing without a channel.
void show_status(const char* text);
// Leaves the status line's last text among the channel's lines and takes it out of the block.
void end_status();
// Takes the status line out of the block, leaving nothing of it.
void clear_status();

// Prints a diagnostic line to standard error, prefixed "upgrade: " (and, on a channel with a
// prefix, the channel's), and flushes it: what the system said about a device, beside the
// program's own messages. On a channel it goes through the channel's queue like its messages.
void complain(const char* format, ...) __attribute__((format(UPGRADE_PRINTF_FORMAT, 1, 2)));

#endif
