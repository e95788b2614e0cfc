#ifndef UPGRADE_DRIVER_RECORD_H
#define UPGRADE_DRIVER_RECORD_H

// The record of one download: one JSON object on one line, for a production line to keep. It
// says when, on which port and device and through which USB adapter, to which receiver (its
// boot block and flash chip), with which images (file, length, SHA-256, blocks, resends) and
// how it ended. What the download did not reach is null.
//
// Written with nlohmann-json (header-only, so the Windows build uses the same headers): its
// keys kept in the order they are set, and any byte of a file name that is not UTF-8 replaced
// by U+FFFD, so that the record stays valid JSON whatever the names hold.

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
    // Where the system's description of `device` is read (system/port_list.h): "/" for this
    // machine, a tree of its own in a test.
    const char* system_root = "/";
};

// Writes the record and its line end into `text`. Returns its length, or 0 when it does not fit
// in `size` bytes (nothing is written then). The adapter is looked up from `device` as the
// record is made: a USB serial adapter's vid, pid, serial and product as the system reports
// them; null for any other device, or one that is gone by then.
std::size_t format_record(const RecordFacts& facts, char* text, std::size_t size);

// Milliseconds since 1970-01-01 UTC, from the system's clock.
std::int64_t unix_ms_now();

#endif
