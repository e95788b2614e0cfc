#include "system/console.h"

// The part of the console that is the same on every system: the messages and the echo of a
// thread, put straight on the console or into its line's channel for the console's writer
// (console_writer.cpp).

#include "system/console_queue.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// Where this thread's console text goes (nullptr: straight to the console).
thread_local ConsoleChannel* channel = nullptr;

// A console that cannot be written to (closed, a full disk behind a redirection) cannot be
// told so, and the receiver's download must go on without it: these results are let go.
void flush_out(std::FILE* stream) {
    (void)std::fflush(stream);
}

// Puts an entry into the channel's queue, or counts it as dropped: the receiver's text only
// while the room kept for messages stays free, a message while it fits at all. The writer says
// what was dropped once it has shown what came before.
void queue_entry(ConsoleChannel& to, EntryKind kind, const void* bytes, std::size_t count) {
    {
        const std::lock_guard<std::mutex> hold(to.lock);
        const bool text = kind == EntryKind::Echo;
        const std::size_t keep = text ? message_room : 0;
        if (to.queue_used + entry_header_size + count + keep > channel_queue_size) {
            (text ? to.text_dropped : to.messages_dropped) += count;
            return;
        }
        put_entry(to, kind, bytes, count);
    }
    wake_console_writer();
}

// Entries are at most max_entry_size bytes: longer text goes in pieces.
void queue_text(ConsoleChannel& to, EntryKind kind, const void* bytes, std::size_t count) {
    const auto* at = static_cast<const std::uint8_t*>(bytes);
    for (std::size_t from = 0; from < count; from += max_entry_size) {
        const std::size_t piece = count - from < max_entry_size ? count - from : max_entry_size;
        queue_entry(to, kind, at + from, piece);
    }
}

} // namespace

void say(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    // Formatted whole first, so that the system gets the message in one write; a message
    // longer than any the program prints still goes out, through the C library.
    va_list again;
    va_copy(again, arguments);
    char text[8192];
    const int length = std::vsnprintf(text, sizeof text, format, arguments);
    if (length >= 0 && static_cast<std::size_t>(length) < sizeof text) {
        if (channel != nullptr)
            queue_text(*channel, EntryKind::Message, text, static_cast<std::size_t>(length));
        else
            write_message(text, static_cast<std::size_t>(length));
    } else if (channel != nullptr) {
        queue_text(*channel, EntryKind::Message, text, sizeof text - 1);
    } else {
        std::vprintf(format, again);
        flush_out(stdout);
    }
    va_end(again);
    va_end(arguments);
}

void complain(const char* format, ...) {
    char text[1024];
    const int lead =
        std::snprintf(text, sizeof text, "upgrade: %s", channel != nullptr ? channel->prefix : "");
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(text + lead, sizeof text - static_cast<std::size_t>(lead),
                                      format, arguments);
    va_end(arguments);
    if (length < 0)
        return;
    const std::size_t total = std::min(static_cast<std::size_t>(lead + length), sizeof text - 1);
    if (channel != nullptr) {
        queue_text(*channel, EntryKind::Diagnostic, text, total);
        return;
    }
    (void)std::fwrite(text, 1, total, stderr);
    flush_out(stderr);
}

void use_channel(ConsoleChannel* to) {
    if (to != nullptr)
        attach_channel(*to);
    channel = to;
}

void end_of_echoed_text() {
    if (channel != nullptr)
        queue_entry(*channel, EntryKind::TextEnd, nullptr, 0);
}

void start_own_line() {
    if (channel != nullptr)
        queue_entry(*channel, EntryKind::OwnLine, nullptr, 0);
}

void flush_channel(ConsoleChannel& of) {
    // A note of what was dropped goes with it when there is room; otherwise the writer says it
    // once it has shown the rest.
    queue_entry(of, EntryKind::TextEnd, nullptr, 0);
}

void show_status(const char* text) {
    if (channel == nullptr)
        return;
    {
        const std::lock_guard<std::mutex> hold(channel->lock);
        std::snprintf(channel->status, sizeof channel->status, "%s", text);
        channel->status_changed = true;
    }
    wake_console_writer();
}

void clear_status() {
    show_status("");
}

void end_status() {
    if (channel == nullptr)
        return;
    char last[sizeof channel->status];
    {
        const std::lock_guard<std::mutex> hold(channel->lock);
        std::snprintf(last, sizeof last, "%s", channel->status);
        channel->status[0] = '\0';
        channel->status_changed = true;
    }
    queue_entry(*channel, EntryKind::StatusEnd, last, std::strlen(last));
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
    if (channel != nullptr)
        queue_text(*channel, EntryKind::Echo, bytes, count);
    else
        echo_to_console(bytes, count);
}
