#ifndef UPGRADE_SYSTEM_RECORD_FILE_H
#define UPGRADE_SYSTEM_RECORD_FILE_H

// The file the record of every download is appended to. Each record is one line, written with
// a single write on a file opened for appending and flushed to the disk before the program goes
// on: a record is never half written, and several programs (or stations) can share one file.
//
// One file per system implements this header: record_file_posix.cpp and record_file_win32.cpp.

#include <cstddef>
#include <cstdint>

struct RecordFile {
    std::intptr_t handle = -1; // the system's own; -1: not open
};

// Opens `path` for appending, creating it when it does not exist. Returns false and writes the
// system's reason into `reason` (of `size` bytes) when it cannot.
bool open_record_file(const char* path, RecordFile& file, char* reason, std::size_t size);

// Appends `length` bytes in one write and flushes them to the disk. Returns false when the
// write was refused or short.
bool append_record(RecordFile& file, const char* text, std::size_t length);

#endif
