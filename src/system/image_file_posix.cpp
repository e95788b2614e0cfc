#include "system/image_file.h"

// Image files on POSIX systems.

#include "system/error_text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool open_image_file(const char* name, ImageFile& file) {
    file = ImageFile{};
    if (name == nullptr)
        return false;
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    const int fd = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        file.open_error = errno;
        return false;
    }
    struct stat status {};
    const bool stated = fstat(fd, &status) == 0;
    if (!stated || !S_ISREG(status.st_mode)) {
        file.open_error = stated ? image_not_regular : errno;
        close(fd);
        return false;
    }
    file.handle = fd;
    file.length = static_cast<std::int64_t>(status.st_size);
    return true;
}

bool read_image_file(const ImageFile& file, std::int64_t offset, std::uint8_t* bytes,
                     std::size_t count) {
    const int fd = static_cast<int>(file.handle);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = pread(fd, bytes + done, count - done,
                                  static_cast<off_t>(offset) + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

void describe_image_error(int error, char* text, std::size_t size) {
    if (error == image_not_regular)
        std::snprintf(text, size, "not a regular file");
    else
        std::snprintf(text, size, "%s", error_text(error).text);
}

void close_image_file(ImageFile& file) {
    if (file.handle >= 0)
        close(static_cast<int>(file.handle));
    file = ImageFile{};
}
