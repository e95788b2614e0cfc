#include "system/console.h"

// The console's output on POSIX systems: messages to standard output, the echo to the
// controlling terminal (the keyboard's, keyboard_posix.h) or to standard error without one.

#include "system/keyboard_posix.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

bool output_is_terminal() {
    return isatty(STDOUT_FILENO) == 1;
}

void open_standard_streams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free descriptor is the one that was closed.
        const int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0 && null_fd != fd)
            close(null_fd);
    }
}

void write_message(const char* text, std::size_t length) {
    // A console that cannot take the message cannot be told so; the download goes on.
    (void)std::fwrite(text, 1, length, stdout);
    (void)std::fflush(stdout);
}

void echo_to_console(const std::uint8_t* bytes, std::size_t count) {
    const int fd = echo_descriptor();
    if (fd < 0)
        return;
    // What one read of the line brings is shown in one write.
    constexpr std::size_t piece = echo_piece_size;
    char shown[2 * piece];
    for (std::size_t from = 0; from < count; from += piece) {
        const std::size_t length =
            echo_form(bytes + from, count - from < piece ? count - from : piece, shown);
        // The terminal is non-blocking for the keyboard's sake; a terminal that cannot take
        // more (a slow link, Ctrl-S) is waited for, as a blocking write would, so that no byte
        // is lost. An output that is gone (a closed pipe) takes nothing more.
        for (std::size_t written = 0; written < length;) {
            const ssize_t put = write(fd, shown + written, length - written);
            if (put > 0) {
                written += static_cast<std::size_t>(put);
                continue;
            }
            if (put < 0 && errno == EINTR)
                continue;
            if (put == 0 || errno != EAGAIN)
                return;
            pollfd room{fd, POLLOUT, 0};
            const int ready = poll(&room, 1, -1);
            if ((ready < 0 && errno != EINTR) || (ready > 0 && (room.revents & POLLOUT) == 0))
                return;
        }
    }
}
