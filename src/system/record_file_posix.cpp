#include "system/record_file.h"

// The record file on POSIX systems: O_APPEND makes every write land whole at the end, even with
// several writers.

#include "system/error_text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

bool open_record_file(const char* path, RecordFile& file, char* reason, std::size_t size) {
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) {
        std::snprintf(reason, size, "%s", error_text(errno).text);
        return false;
    }
    file.handle = fd;
    return true;
}

bool append_record(RecordFile& file, const char* text, std::size_t length) {
    const int fd = static_cast<int>(file.handle);
    ssize_t written;
    do
        written = write(fd, text, length);
    while (written < 0 && errno == EINTR);
    // fdatasync: the record must be on the disk before the next receiver is served.
    return written == static_cast<ssize_t>(length) && fdatasync(fd) == 0;
}
