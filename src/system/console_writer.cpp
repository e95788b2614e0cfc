#include "system/console_queue.h"

#include "system/clock.h"

// The console's one writer. It alone writes to the screen while lines are served: it takes what
// each channel queued, turns it into the screen's lines (whole lines behind a prefix, or the
// text as it comes without one), keeps the block of status lines at the bottom and writes it
// all out. A write that blocks (Ctrl-S, a slow terminal, a full pipe) blocks only this thread;
// the lines go on and their channels drop the receiver's text meanwhile.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// The status block is drawn again at most this often: a receiver that talks without pause must
// not cost a redraw per line of its text.
constexpr auto redraw_interval = std::chrono::milliseconds(200);
constexpr int max_block_lines = max_channels;

std::mutex writer_lock; // the list of channels, and the writer's wake-up
std::condition_variable work;
bool work_waiting = false;
bool stopping = false;
ConsoleChannel* channels[max_block_lines] = {};
int channel_count = 0;
std::thread writer;

// What only the writer touches.
struct Screen {
    char out[16384] = {};
    std::size_t used = 0;
    bool out_open = false;           // standard output's last byte did not end its line
    bool echo_open = false;          // nor the echo's
    bool echo_last = false;          // the echo wrote last
    int drawn[max_block_lines] = {}; // the lengths of the status lines on screen
    int drawn_count = 0;
    bool block_dirty = false; // the block on screen is not what it should be
    Clock::time_point drawn_at{};
    int channels = 0; // of the list, the ones this writer has taken up
};
Screen screen;

void flush_out() {
    if (screen.used > 0)
        write_message(screen.out, screen.used);
    screen.used = 0;
}

void put_out(const char* text, std::size_t length) {
    if (length == 0)
        return;
    for (std::size_t from = 0; from < length;) {
        if (screen.used == sizeof screen.out)
            flush_out();
        const std::size_t room = sizeof screen.out - screen.used;
        const std::size_t piece = length - from < room ? length - from : room;
        std::memcpy(screen.out + screen.used, text + from, piece);
        screen.used += piece;
        from += piece;
    }
    screen.out_open = text[length - 1] != '\n';
    screen.echo_last = false;
}

void put_out(const char* text) {
    put_out(text, std::strlen(text));
}

void put_spaces(int count) {
    static const char spaces[] = "                                                                ";
    for (; count > 0; count -= 64)
        put_out(spaces, static_cast<std::size_t>(count < 64 ? count : 64));
}

// The line on screen is unfinished. Where standard output is the screen, the echo shares it.
bool screen_line_open() {
    if (output_is_terminal() && screen.echo_last)
        return screen.echo_open;
    return screen.out_open;
}

// Takes the block off the screen: each line is covered with spaces from the bottom up, and the
// cursor ends at the start of the block's first line. One line needs no control sequence.
void clear_block() {
    if (screen.drawn_count == 0)
        return;
    for (int i = screen.drawn_count - 1; i >= 0; --i) {
        put_out("\r");
        put_spaces(screen.drawn[i]);
        put_out("\r");
        if (i > 0)
            put_out("\033[A");
    }
    screen.drawn_count = 0;
    screen.out_open = false;
}

bool has_status(const ConsoleChannel& channel) {
    return channel.shown_status[0] != '\0';
}

void draw_block() {
    clear_block();
    int count = 0;
    for (int i = 0; i < screen.channels; ++i)
        count += has_status(*channels[i]) ? 1 : 0;
    if (count > 0 && screen_line_open())
        put_out("\n");
    for (int i = 0; i < screen.channels && screen.drawn_count < max_block_lines; ++i) {
        const ConsoleChannel& channel = *channels[i];
        if (!has_status(channel))
            continue;
        if (screen.drawn_count > 0)
            put_out("\n");
        put_out(channel.prefix);
        put_out(channel.shown_status);
        screen.drawn[screen.drawn_count++] =
            static_cast<int>(std::strlen(channel.prefix) + std::strlen(channel.shown_status));
    }
    screen.block_dirty = false;
    screen.drawn_at = Clock::now();
}

// Text is about to be shown: the block makes room and is drawn again later, below it.
void text_begins() {
    if (screen.drawn_count == 0)
        return;
    clear_block();
    screen.block_dirty = true;
}

// One whole line of a channel with a prefix.
void emit_line(ConsoleChannel& channel) {
    std::size_t end = channel.line_used;
    while (end > 0 && channel.store->line[end - 1] == '\r')
        --end;
    text_begins();
    put_out(channel.prefix);
    put_out(channel.store->line, end);
    put_out("\n");
    channel.line_used = 0;
}

void end_line(ConsoleChannel& channel) {
    if (channel.line_used > 0)
        emit_line(channel);
}

// Adds text to a channel with a prefix; every line it completes is shown. The program's text and
// the receiver's never share a line; a line longer than the channel holds is shown in pieces.
void add_to_line(ConsoleChannel& channel, const char* text, std::size_t length, bool is_text) {
    for (std::size_t i = 0; i < length; ++i) {
        if (channel.line_used > 0 && channel.line_is_text != is_text)
            emit_line(channel);
        if (text[i] == '\n') {
            emit_line(channel);
            continue;
        }
        if (channel.line_used == channel_line_size)
            emit_line(channel);
        channel.store->line[channel.line_used++] = text[i];
        channel.line_is_text = is_text;
    }
    if (is_text)
        channel.text_ms = now_ms();
}

// The unfinished line of the receiver's text of a channel with a prefix is due to be shown at
// this time on the program's clock, or -1.
std::int64_t text_due_ms(const ConsoleChannel& channel) {
    const bool waiting = channel.prefix[0] != '\0' && channel.line_used > 0 && channel.line_is_text;
    return waiting ? channel.text_ms + text_quiet_ms : -1;
}

// Shows the receiver's unfinished lines whose ports have been quiet for text_quiet_ms. Returns
// when the next one is due, or -1.
std::int64_t show_quiet_text() {
    std::int64_t next_ms = -1;
    for (int i = 0; i < screen.channels; ++i) {
        ConsoleChannel& channel = *channels[i];
        const std::int64_t due_ms = text_due_ms(channel);
        if (due_ms >= 0 && due_ms <= now_ms())
            emit_line(channel);
        else if (due_ms >= 0 && (next_ms < 0 || due_ms < next_ms))
            next_ms = due_ms;
    }
    return next_ms;
}

void show_echo(ConsoleChannel& channel, const std::uint8_t* bytes, std::size_t count) {
    if (channel.prefix[0] != '\0') {
        char shown[2 * 2048];
        for (std::size_t from = 0; from < count; from += 2048) {
            const std::size_t piece = count - from < 2048 ? count - from : 2048;
            add_to_line(channel, shown, echo_form(bytes + from, piece, shown), true);
        }
        return;
    }
    text_begins();
    flush_out();
    echo_to_console(bytes, count);
    screen.echo_open = bytes[count - 1] != '\n';
    screen.echo_last = true;
}

void show_entry(ConsoleChannel& channel, EntryKind kind, const std::uint8_t* bytes,
                std::size_t count) {
    const bool prefixed = channel.prefix[0] != '\0';
    const auto* text = reinterpret_cast<const char*>(bytes);
    switch (kind) {
    case EntryKind::Message:
        if (prefixed) {
            add_to_line(channel, text, count, false);
        } else {
            text_begins();
            put_out(text, count);
        }
        break;
    case EntryKind::Echo:
        show_echo(channel, bytes, count);
        break;
    case EntryKind::Diagnostic:
        flush_out();
        (void)std::fwrite(text, 1, count, stderr);
        (void)std::fflush(stderr);
        break;
    case EntryKind::OwnLine:
        if (prefixed) {
            end_line(channel);
        } else {
            text_begins();
            if (screen_line_open())
                put_out("\n");
        }
        break;
    case EntryKind::TextEnd:
        if (prefixed)
            end_line(channel);
        break;
    case EntryKind::StatusEnd:
        if (prefixed)
            end_line(channel);
        channel.shown_status[0] = '\0';
        screen.block_dirty = true;
        if (count == 0)
            break;
        text_begins();
        if (screen_line_open())
            put_out("\n");
        put_out(channel.prefix);
        put_out(text, count);
        put_out("\n");
        break;
    }
}

void show_entries(ConsoleChannel& channel, const std::uint8_t* entries, std::size_t length) {
    for (std::size_t at = 0; at + entry_header_size <= length;) {
        const auto kind = static_cast<EntryKind>(entries[at]);
        const std::size_t count = entries[at + 1] | static_cast<std::size_t>(entries[at + 2]) << 8;
        show_entry(channel, kind, entries + at + entry_header_size, count);
        at += entry_header_size + count;
    }
}

// What one channel has queued, then, once the queue is empty, what it had to drop, and its
// status line's new text. Returns true when it had anything.
bool serve_channel(ConsoleChannel& channel) {
    static std::uint8_t taken[channel_queue_size];
    std::size_t length = 0;
    char note[160];
    std::size_t note_length = 0;
    char status[sizeof channel.status];
    bool status_changed = false;
    {
        const std::lock_guard<std::mutex> hold(channel.lock);
        length = take_entries(channel, taken);
        note_length = drop_note(channel, note, sizeof note);
        channel.text_dropped = 0;
        channel.messages_dropped = 0;
        status_changed = channel.status_changed;
        channel.status_changed = false;
        std::memcpy(status, channel.status, sizeof status);
    }
    show_entries(channel, taken, length);
    if (note_length > 0) {
        show_entry(channel, EntryKind::OwnLine, nullptr, 0);
        show_entry(channel, EntryKind::Message, reinterpret_cast<const std::uint8_t*>(note),
                   note_length);
    }
    if (status_changed) {
        std::memcpy(channel.shown_status, status, sizeof status);
        screen.block_dirty = true;
    }
    return length > 0 || note_length > 0 || status_changed;
}

// Until when the writer may sleep with nothing new: the next drawing of the status block, the
// next receiver's line due (`text_due_ms`, -1: none), or for ever.
void sleep_until_work(std::unique_lock<std::mutex>& hold, std::int64_t text_due_ms) {
    const auto ready = [] { return work_waiting || stopping; };
    Clock::time_point until = Clock::time_point::max();
    if (screen.block_dirty)
        until = screen.drawn_at + redraw_interval;
    if (text_due_ms >= 0)
        until = std::min(until, Clock::now() + std::chrono::milliseconds(std::max<std::int64_t>(
                                                   text_due_ms - now_ms(), 0)));
    if (until == Clock::time_point::max())
        work.wait(hold, ready);
    else
        work.wait_until(hold, until, ready);
}

void run_writer() {
    std::int64_t text_due = -1;
    for (;;) {
        bool stop = false;
        {
            std::unique_lock<std::mutex> hold(writer_lock);
            sleep_until_work(hold, text_due);
            work_waiting = false;
            stop = stopping;
            screen.channels = channel_count;
        }
        bool any = false;
        for (int i = 0; i < screen.channels; ++i)
            any = serve_channel(*channels[i]) || any;
        text_due = show_quiet_text();
        if (screen.block_dirty && (stop || Clock::now() - screen.drawn_at >= redraw_interval))
            draw_block();
        flush_out();
        // Stopping: the lines have ended, so nothing new comes; done once a round found nothing.
        if (stop && !any && !screen.block_dirty)
            return;
    }
}

} // namespace

void put_entry(ConsoleChannel& to, EntryKind kind, const void* bytes, std::size_t count) {
    const std::uint8_t header[entry_header_size] = {static_cast<std::uint8_t>(kind),
                                                    static_cast<std::uint8_t>(count & 0xFF),
                                                    static_cast<std::uint8_t>(count >> 8)};
    const auto* from = static_cast<const std::uint8_t*>(bytes);
    std::size_t end = (to.queue_start + to.queue_used) % channel_queue_size;
    for (std::size_t i = 0; i < entry_header_size + count; ++i) {
        to.store->queue[end] = i < entry_header_size ? header[i] : from[i - entry_header_size];
        end = end + 1 == channel_queue_size ? 0 : end + 1;
    }
    to.queue_used += entry_header_size + count;
}

std::size_t take_entries(ConsoleChannel& from, std::uint8_t* into) {
    const std::size_t length = from.queue_used;
    const std::size_t first = std::min(length, channel_queue_size - from.queue_start);
    std::memcpy(into, from.store->queue + from.queue_start, first);
    std::memcpy(into + first, from.store->queue, length - first);
    from.queue_start = 0;
    from.queue_used = 0;
    return length;
}

std::size_t drop_note(ConsoleChannel& to, char* note, std::size_t size) {
    int length = 0;
    if (to.text_dropped > 0)
        length = std::snprintf(note, size, "%llu bytes of receiver text not shown\n",
                               static_cast<unsigned long long>(to.text_dropped));
    if (to.messages_dropped > 0 && length >= 0 && static_cast<std::size_t>(length) < size)
        length += std::snprintf(note + length, size - static_cast<std::size_t>(length),
                                "%llu bytes of messages not shown\n",
                                static_cast<unsigned long long>(to.messages_dropped));
    return length > 0 && static_cast<std::size_t>(length) < size ? static_cast<std::size_t>(length)
                                                                 : 0;
}

void attach_channel(ConsoleChannel& channel) {
    const std::lock_guard<std::mutex> hold(writer_lock);
    for (int i = 0; i < channel_count; ++i) {
        if (channels[i] == &channel)
            return;
    }
    if (channel_count < max_block_lines)
        channels[channel_count++] = &channel;
}

void wake_console_writer() {
    {
        const std::lock_guard<std::mutex> hold(writer_lock);
        work_waiting = true;
    }
    work.notify_one();
}

void start_console_writer() {
    {
        const std::lock_guard<std::mutex> hold(writer_lock);
        stopping = false;
    }
    writer = std::thread(run_writer);
}

void stop_console_writer() {
    if (!writer.joinable())
        return;
    {
        const std::lock_guard<std::mutex> hold(writer_lock);
        stopping = true;
    }
    work.notify_one();
    writer.join();
}
