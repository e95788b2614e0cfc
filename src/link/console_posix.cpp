#include "link/console.h"

// The console on POSIX systems: the controlling terminal (/dev/tty), switched to key-by-key
// input without echo while the program runs and restored at every end, signals included.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr std::uint8_t esc = 27;
// Arrow and function keys arrive as ESC and more bytes in one burst; a lone ESC has nothing
// behind it for this long.
constexpr int escape_sequence_ms = 25;

constexpr int not_opened = -2;
int tty_fd = not_opened; // -1: there is no terminal
termios saved_settings{};
volatile std::sig_atomic_t settings_changed = 0;

void restore_terminal() {
    if (settings_changed != 0) {
        tcsetattr(tty_fd, TCSANOW, &saved_settings);
        settings_changed = 0;
    }
}

void restore_on_signal(int signal_number) {
    restore_terminal();
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

void switch_to_key_input() {
    if (tcgetattr(tty_fd, &saved_settings) != 0)
        return;
    termios keys = saved_settings;
    keys.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    keys.c_cc[VMIN] = 0;
    keys.c_cc[VTIME] = 0;
    std::atexit(restore_terminal);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP})
        std::signal(signal_number, restore_on_signal);
    if (tcsetattr(tty_fd, TCSANOW, &keys) == 0)
        settings_changed = 1;
}

int keyboard() {
    if (tty_fd == not_opened) {
        tty_fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (tty_fd >= 0)
            switch_to_key_input();
    }
    return tty_fd;
}

// Reads what the terminal holds, up to `size` bytes; waits up to `wait_ms` for the first. A
// terminal that has hung up is dropped: from then on no key is ever waiting, and waits no
// longer wake for it.
int read_keys(std::uint8_t* keys, int size, int wait_ms) {
    pollfd fd{tty_fd, POLLIN, 0};
    if (poll(&fd, 1, wait_ms) <= 0)
        return 0;
    if ((fd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        restore_terminal();
        close(tty_fd);
        tty_fd = -1;
        return 0;
    }
    const ssize_t got = read(tty_fd, keys, static_cast<std::size_t>(size));
    return got > 0 ? static_cast<int>(got) : 0;
}

// Length of the escape sequence starting at keys[at] (an ESC with bytes behind it): CSI
// sequences run to their final byte, SS3 sequences have one more byte, an Alt+key pair is two.
int sequence_length(const std::uint8_t* keys, int at, int count) {
    int end = at + 1;
    if (keys[end] == '[') {
        ++end;
        while (end < count && (keys[end] < 0x40 || keys[end] > 0x7E))
            ++end;
    } else if (keys[end] == 'O') {
        ++end;
    }
    return (end < count ? end + 1 : count) - at;
}

} // namespace

bool escape_pressed() {
    if (keyboard() < 0)
        return false;
    std::uint8_t keys[64];
    int count = read_keys(keys, sizeof keys, 0);
    if (tty_fd < 0)
        return false;
    bool escape = false;
    // Every key waiting is consumed here, so none stays behind unseen by the next wait.
    for (int at = 0; at < count;) {
        if (keys[at] != esc) {
            ++at;
            continue;
        }
        if (at + 1 == count && count < static_cast<int>(sizeof keys) && tty_fd >= 0)
            count +=
                read_keys(keys + count, static_cast<int>(sizeof keys) - count, escape_sequence_ms);
        if (at + 1 == count) {
            escape = true;
            ++at;
        } else {
            at += sequence_length(keys, at, count);
        }
    }
    return escape;
}

std::intptr_t console_wait_handle() {
    return keyboard();
}

void echo(std::uint8_t byte) {
    const int fd = keyboard() >= 0 ? tty_fd : STDERR_FILENO;
    while (write(fd, &byte, 1) < 0 && errno == EINTR) {
    }
}
