#ifndef UPGRADE_SYSTEM_CONSOLE_QUEUE_H
#define UPGRADE_SYSTEM_CONSOLE_QUEUE_H

// Between the two halves of the console, and only for them: the threads that serve lines put
// their text into their channels' queues (console.cpp), and the console's one writer takes it
// out and shows it (console_writer.cpp).
//
// A queue holds entries one after the other, wrapping round the end of the channel's bytes:
// one byte of kind, two of length (low byte first), then the bytes. Every access is under the
// channel's lock.

#include "system/console.h"

#include <cstddef>
#include <cstdint>

enum class EntryKind : std::uint8_t {
    Message,    // the program's own text: standard output
    Echo,       // the receiver's text as received: the console device, in its echo form
    Diagnostic, // a whole "upgrade: ..." line: standard error
    OwnLine,    // the next text starts on a line of its own
    TextEnd,    // the receiver's text up to a mark is complete
    StatusEnd,  // the status line's last text (the bytes) stays among the channel's lines
};

constexpr std::size_t entry_header_size = 3;
constexpr std::size_t max_entry_size = 8192;

// Appends an entry; the caller has made sure it fits.
void put_entry(ConsoleChannel& to, EntryKind kind, const void* bytes, std::size_t count);

// Moves every entry of the channel's queue into `into` (channel_queue_size bytes), in the same
// form, and empties the queue. Returns the bytes moved.
std::size_t take_entries(ConsoleChannel& from, std::uint8_t* into);

// The note that stands where text was dropped ("48213 bytes of receiver text not shown"), or
// an empty text (0) when nothing was. Under the channel's lock; the caller resets the counts.
std::size_t drop_note(ConsoleChannel& to, char* note, std::size_t size);

// Makes the writer show `channel` from now on (once: a channel is never forgotten).
void attach_channel(ConsoleChannel& channel);

// Tells the writer that a channel has something new. Never blocks for long.
void wake_console_writer();

#endif
