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
int tty_fd = not_opened; // -1: there is no terminal (or it was dropped)
termios saved_settings{};
termios key_settings{};
volatile std::sig_atomic_t settings_changed = 0;

void restore_terminal() {
    if (settings_changed != 0) {
        tcsetattr(tty_fd, TCSANOW, &saved_settings);
        settings_changed = 0;
    }
}

// Signals that end the program put the terminal back first, then end it as they would have.
void restore_on_signal(int signal_number) {
    restore_terminal();
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

// Ctrl-Z hands the terminal back as it was; on `fg` key-by-key input is taken up again.
void stop_on_signal(int signal_number) {
    restore_on_signal(signal_number);
}

void continue_on_signal(int) {
    if (tty_fd >= 0 && tcgetpgrp(tty_fd) == getpgrp() &&
        tcsetattr(tty_fd, TCSANOW, &key_settings) == 0)
        settings_changed = 1;
    std::signal(SIGTSTP, stop_on_signal);
}

void switch_to_key_input() {
    if (tcgetattr(tty_fd, &saved_settings) != 0)
        return;
    key_settings = saved_settings;
    key_settings.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    key_settings.c_cc[VMIN] = 0;
    key_settings.c_cc[VTIME] = 0;
    std::atexit(restore_terminal);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE})
        std::signal(signal_number, restore_on_signal);
    std::signal(SIGTSTP, stop_on_signal);
    std::signal(SIGCONT, continue_on_signal);
    if (tcsetattr(tty_fd, TCSANOW, &key_settings) == 0)
        settings_changed = 1;
}

// From now on no key is ever waiting, waits no longer wake for the terminal, and the echo goes
// to standard error.
void drop_keyboard() {
    restore_terminal();
    close(tty_fd);
    tty_fd = -1;
}

// The terminal, when the program has one and runs in its foreground; a program started in the
// background must neither take the terminal's settings nor be stopped for trying.
int keyboard() {
    if (tty_fd == not_opened) {
        tty_fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (tty_fd >= 0 && tcgetpgrp(tty_fd) != getpgrp()) {
            close(tty_fd);
            tty_fd = -1;
        }
        if (tty_fd >= 0)
            switch_to_key_input();
    }
    return tty_fd;
}

// Reads what the terminal holds, up to `size` bytes; waits up to `wait_ms` for the first. A
// terminal that has hung up or can no longer be read is dropped.
int read_keys(std::uint8_t* keys, int size, int wait_ms) {
    pollfd fd{tty_fd, POLLIN, 0};
    if (poll(&fd, 1, wait_ms) <= 0)
        return 0;
    if ((fd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        drop_keyboard();
        return 0;
    }
    const ssize_t got = read(tty_fd, keys, static_cast<std::size_t>(size));
    if (got < 0 && errno != EAGAIN && errno != EINTR)
        drop_keyboard();
    return got > 0 ? static_cast<int>(got) : 0;
}

// True when the ESC at keys[at] starts an arrow or function key: CSI (ESC [) or SS3 (ESC O).
// An ESC followed by anything else, another ESC included, is the ESC key itself: keys pressed
// while the keyboard was not being looked at pile up, and a second ESC must not cancel the
// first.
bool starts_sequence(const std::uint8_t* keys, int at, int count) {
    return at + 1 < count && (keys[at + 1] == '[' || keys[at + 1] == 'O');
}

// Length of the key sequence that starts at keys[at]: CSI runs to its final byte, SS3 has one
// byte more.
int sequence_length(const std::uint8_t* keys, int at, int count) {
    int end = at + 2;
    if (keys[at + 1] == '[') {
        while (end < count && (keys[end] < 0x40 || keys[end] > 0x7E))
            ++end;
    }
    return (end < count ? end + 1 : count) - at;
}

} // namespace

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
        if (starts_sequence(keys, at, count)) {
            at += sequence_length(keys, at, count);
        } else {
            escape = true;
            ++at;
        }
    }
    return escape;
}

std::intptr_t console_wait_handle() {
    return keyboard();
}

void echo(std::uint8_t byte) {
    const int fd = keyboard() >= 0 ? tty_fd : STDERR_FILENO;
    // The terminal is non-blocking for the keyboard's sake; a terminal that cannot take more
    // (a slow link, Ctrl-S) is waited for, as a blocking write would, so that no byte is lost.
    for (;;) {
        if (write(fd, &byte, 1) == 1)
            return;
        if (errno == EINTR)
            continue;
        pollfd room{fd, POLLOUT, 0};
        if (errno != EAGAIN || poll(&room, 1, -1) < 0 || (room.revents & POLLOUT) == 0)
            return;
    }
}
