#include "system/console.h"

// The part of the console that is the same on every system.

#include "system/wakeup.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

// The status line on screen: its text, and its length (0: none shown).
char status_text[200];
int status_length = 0;
bool status_hidden = false;

// A station's port threads: where this thread's console text goes, and what stops it.
thread_local ConsoleChannel* channel = nullptr;
thread_local const Wakeup* station_stop = nullptr;

// The ports' lines and the block of status lines below them go out one at a time.
std::mutex output_lock;
constexpr int max_status_lines = 40;
ConsoleChannel* status_lines[max_status_lines] = {};
int status_line_count = 0;
int block_lines_shown = 0; // status lines on screen below the last text line

// A console that cannot be written to (closed, a full disk behind a redirection) cannot be
// told so, and the receiver's download must go on without it: these results are let go.
void write_out(const char* text, std::size_t length) {
    (void)std::fwrite(text, 1, length, stdout);
}

void flush_out(std::FILE* stream) {
    (void)std::fflush(stream);
}

// Takes the block of status lines off the screen (the cursor goes back to its first line).
void clear_block() {
    if (block_lines_shown > 0)
        std::printf("\033[%dA\r\033[J", block_lines_shown);
    block_lines_shown = 0;
}

void draw_block() {
    for (int i = 0; i < status_line_count; ++i) {
        if (status_lines[i]->status[0] == '\0')
            continue;
        std::printf("%s%s\n", status_lines[i]->prefix, status_lines[i]->status);
        ++block_lines_shown;
    }
}

// One whole line of a port, above the status lines.
void emit_line(const ConsoleChannel& from, const char* line, std::size_t length) {
    const std::lock_guard<std::mutex> hold(output_lock);
    clear_block();
    write_out(from.prefix, std::strlen(from.prefix));
    write_out(line, length);
    write_out("\n", 1);
    draw_block();
    flush_out(stdout);
}

// Adds text to the channel; every line it completes is shown. A line longer than the channel
// holds is shown in pieces rather than lost.
void add_to_channel(ConsoleChannel& to, const char* text, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] == '\n') {
            std::size_t end = to.used;
            while (end > 0 && to.pending[end - 1] == '\r')
                --end;
            emit_line(to, to.pending, end);
            to.used = 0;
            continue;
        }
        if (to.used == sizeof to.pending)
            flush_channel(to);
        to.pending[to.used++] = text[i];
    }
}

void redraw_status(ConsoleChannel& of) {
    const std::lock_guard<std::mutex> hold(output_lock);
    int at = 0;
    while (at < status_line_count && status_lines[at] != &of)
        ++at;
    if (at == status_line_count && at < max_status_lines)
        status_lines[status_line_count++] = &of;
    clear_block();
    draw_block();
    flush_out(stdout);
}

} // namespace

void say(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    if (channel != nullptr) {
        char text[4096];
        // va_start is above: the analyser misses it in C++, a false report.
        // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
        const int length = std::vsnprintf(text, sizeof text, format, arguments);
        if (length > 0)
            add_to_channel(*channel, text,
                           static_cast<std::size_t>(length) < sizeof text
                               ? static_cast<std::size_t>(length)
                               : sizeof text - 1);
    } else {
        // Formatted whole first, so that the system gets the message in one write; a message
        // longer than any the program prints still goes out, through the C library.
        va_list again;
        va_copy(again, arguments);
        char text[8192];
        // va_start is above: the analyser misses it in C++, a false report.
        // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
        const int length = std::vsnprintf(text, sizeof text, format, arguments);
        if (length >= 0 && static_cast<std::size_t>(length) < sizeof text) {
            write_message(text, static_cast<std::size_t>(length));
        } else {
            // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
            std::vprintf(format, again);
            flush_out(stdout);
        }
        va_end(again);
    }
    va_end(arguments);
}

bool escape_pressed() {
    if (station_stop != nullptr)
        return station_stop->raised.load();
    return key_escape_pressed();
}

std::intptr_t console_wait_handle() {
    if (station_stop != nullptr)
        return station_stop->wait_handle;
    return keyboard_wait_handle();
}

void watch_stop_instead_of_keys(const Wakeup* stop) {
    station_stop = stop;
}

void use_channel(ConsoleChannel* to) {
    channel = to;
}

void end_of_echoed_text() {
    if (channel != nullptr)
        flush_channel(*channel);
}

void flush_channel(ConsoleChannel& of) {
    if (of.used > 0)
        emit_line(of, of.pending, of.used);
    of.used = 0;
}

void complain(const char* format, ...) {
    std::fputs("upgrade: ", stderr);
    va_list arguments;
    va_start(arguments, format);
    // va_start is above: the analyser misses it in C++, a false report.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    flush_out(stderr);
}

void show_status(const char* text) {
    if (channel != nullptr) {
        std::snprintf(channel->status, sizeof channel->status, "%s", text);
        redraw_status(*channel);
        return;
    }
    const int length = static_cast<int>(std::strlen(text));
    // Spaces over what a longer line before left on screen.
    const int cover = status_length > length ? status_length - length : 0;
    say("\r%s%*s", text, cover, "");
    std::snprintf(status_text, sizeof status_text, "%s", text);
    status_length = length + cover;
    status_hidden = false;
}

void end_status() {
    if (channel != nullptr) {
        // The last state stays in the port's lines; the block loses the port's line.
        if (channel->status[0] != '\0')
            emit_line(*channel, channel->status, std::strlen(channel->status));
        channel->status[0] = '\0';
        redraw_status(*channel);
        return;
    }
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
    if (channel != nullptr) {
        char shown[2 * 2048];
        for (std::size_t from = 0; from < count; from += 2048) {
            const std::size_t piece = count - from < 2048 ? count - from : 2048;
            const std::size_t length = echo_form(bytes + from, piece, shown);
            add_to_channel(*channel, shown, length);
        }
        return;
    }
    hide_status_for_echo();
    echo_to_console(bytes, count);
    show_status_after_echo(bytes[count - 1] == '\n');
}
