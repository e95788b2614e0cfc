#ifndef UPGRADE_DRIVER_RECORD_H
#define UPGRADE_DRIVER_RECORD_H

// The record of one download: one JSON object on one line, for a production line to keep. It
// says when, on which port and device, to which receiver (its boot block and flash chip), with
// which images (file, length, SHA-256, blocks, resends) and how it ended. What the download did
// not reach is null.
//
// Written by hand rather than with a JSON library: the record is one flat object of numbers and
// texts, built in a fixed buffer without allocating and written with a single write, and the
// one delicate part, escaping texts, is done here in full (control bytes escaped, file names
// that are not valid UTF-8 kept readable with U+FFFD for each stray byte).

#include "protocol/download.h"

#include <cstddef>
#include <cstdint>

struct RecordFacts {
    const DownloadOutcome* outcome = nullptr;
    const DownloadRequest* request = nullptr;
    std::int64_t start_unix_ms = 0; // when the announcement was seen
    std::int64_t end_unix_ms = 0;   // when the download had ended
    const char* program = "";       // the program's version
    const char* port = "";          // "COM1" or "COM2"
    const char* device = "";        // what the port stands for
    const char* reason = nullptr;   // the message shown when the download did not finish
};

// Writes the record and its line end into `text`. Returns its length, or 0 when it does not fit
// in `size` bytes.
std::size_t format_record(const RecordFacts& facts, char* text, std::size_t size);

// Milliseconds since 1970-01-01 UTC, from the system's clock.
std::int64_t unix_ms_now();

#endif
