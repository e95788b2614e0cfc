#include "system/keyboard.h"

// The keyboard on POSIX systems: the controlling terminal (/dev/tty), switched to key-by-key
// input without echo while the program runs in its foreground, and restored at every end and
// every stop, signals included.

#include "system/key_decoder.h"
#include "system/keyboard_posix.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Keys that are more than one byte (an arrow, Alt with a key, a terminal's answer) arrive in
// one burst; a lone ESC has nothing behind it for this long.
constexpr int escape_sequence_ms = 25;
// Keys read per look at most, so that a flood of input cannot hold a wait.
constexpr int key_reads_per_look = 16;

// The signals whose handlers restore the terminal: the ones that end the program
// (signals_posix.cpp) and Ctrl-Z.
constexpr int restoring_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};

// The terminal's descriptor; -1 when there is no terminal, or once it was dropped.
//
// Two threads use it at once: the program's own thread reads keys and drops the terminal when
// it hangs up, while the console's writer echoes the receiver's text to it. Dropping it
// therefore never closes the descriptor: it only marks the keyboard as gone, and the
// descriptor stays open on the terminal that hung up until the program ends (O_CLOEXEC keeps
// it out of other programs). A writer that took the descriptor just before the mark writes to
// the hung-up terminal, which fails harmlessly; had it been closed, another file (a port, the
// record file) could have taken its number by then and received the echo. A lock held across
// the close and the echo would not do: the echo waits while the terminal cannot take more
// (Ctrl-S), and the keyboard, ESC included, would wait with it.
constexpr int not_opened = -2;
std::atomic<int> tty_fd{not_opened};
static_assert(std::atomic<int>::is_always_lock_free, "read in signal handlers");
std::mutex open_lock; // the first use, from either thread, opens the terminal once
termios saved_settings{};
volatile std::sig_atomic_t settings_changed = 0;
bool stop_handled = false; // Ctrl-Z was not ignored at start: it hands the terminal back

bool in_foreground(int fd) {
    return fd >= 0 && tcgetpgrp(fd) == getpgrp();
}

// Ctrl-Z hands the terminal back as it was; the keyboard is taken again at the first look in
// the foreground after SIGCONT.
void stop_on_signal(int signal_number) {
    restore_terminal();
    // Neither fails for a signal that was caught, and a handler could do nothing about it.
    (void)std::signal(signal_number, SIG_DFL);
    (void)std::raise(signal_number);
}

// Back from a stop (`fg` or `bg`), or moved to the foreground (`fg` of a background job): the
// next Ctrl-Z must hand the terminal back again. The signal also ends a wait in poll, so the
// wait looks at the keyboard again at once.
void continue_on_signal(int) {
    if (stop_handled)
        set_handler(SIGTSTP, stop_on_signal);
}

// Key-by-key input without echo, taken afresh from the terminal's current settings each time
// the program comes back to the foreground. Ctrl-C and Ctrl-Z keep working.
void take_keys() {
    if (settings_changed != 0)
        return;
    // A signal that restores the terminal must not come between reading the settings and
    // marking them as changed.
    sigset_t held;
    sigset_t previous;
    sigemptyset(&held);
    for (int signal_number : restoring_signals)
        sigaddset(&held, signal_number);
    pthread_sigmask(SIG_BLOCK, &held, &previous);
    // Whatever brought the program back (SIGCONT, which may be ignored), the next Ctrl-Z must
    // hand the terminal back again.
    if (stop_handled)
        set_handler(SIGTSTP, stop_on_signal);
    const int fd = tty_fd.load();
    termios current{};
    if (tcgetattr(fd, &current) == 0) {
        saved_settings = current;
        current.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        current.c_cc[VMIN] = 0;
        current.c_cc[VTIME] = 0;
        if (tcsetattr(fd, TCSANOW, &current) == 0)
            settings_changed = 1;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

// From now on no key is ever waiting, waits no longer wake for the terminal, and the echo goes
// to standard error. The descriptor stays open (see tty_fd).
void drop_keyboard() {
    restore_terminal();
    tty_fd.store(-1);
}

// Opens the controlling terminal on first use.
void open_terminal() {
    if (tty_fd.load() != not_opened)
        return;
    const std::lock_guard<std::mutex> hold(open_lock);
    if (tty_fd.load() != not_opened)
        return;
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    // Without the exit handler the terminal would be left without echo: then it is not taken
    // at all.
    if (fd >= 0 && std::atexit(restore_terminal) != 0) {
        close(fd);
        fd = -1;
    }
    tty_fd.store(fd);
}

// The terminal, while the program runs in its foreground; -1 otherwise. A program in the
// background neither reads the terminal nor sets it, so the terminal never stops it. A terminal
// that hung up (its window closed, the link to it lost) has no foreground any more: it is
// dropped.
int keyboard() {
    open_terminal();
    const int fd = tty_fd.load();
    if (fd < 0)
        return -1;
    const pid_t owner = tcgetpgrp(fd);
    if (owner < 0) {
        drop_keyboard();
        return -1;
    }
    if (owner != getpgrp())
        return -1;
    take_keys();
    return fd;
}

// Reads what the terminal holds, up to `size` bytes; waits up to `wait_ms` for the first. A
// terminal that has hung up or can no longer be read is dropped.
int read_keys(std::uint8_t* keys, int size, int wait_ms) {
    const int tty = tty_fd.load();
    pollfd fd{tty, POLLIN, 0};
    if (poll(&fd, 1, wait_ms) <= 0)
        return 0;
    if ((fd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        drop_keyboard();
        return 0;
    }
    // Should the program have lost the foreground since it looked, the read fails (EIO)
    // instead of stopping it.
    sigset_t held;
    sigset_t previous;
    sigemptyset(&held);
    sigaddset(&held, SIGTTIN);
    pthread_sigmask(SIG_BLOCK, &held, &previous);
    const ssize_t got = read(tty, keys, static_cast<std::size_t>(size));
    const int error = errno;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (got < 0 && error != EAGAIN && error != EINTR) {
        const pid_t owner = tcgetpgrp(tty);
        if (!(error == EIO && owner >= 0 && owner != getpgrp()))
            drop_keyboard();
    }
    return got > 0 ? static_cast<int>(got) : 0;
}

} // namespace

void restore_terminal() {
    const int fd = tty_fd.load();
    if (settings_changed != 0 && in_foreground(fd))
        tcsetattr(fd, TCSANOW, &saved_settings);
    settings_changed = 0;
}

void hand_back_terminal_on_stop() {
    stop_handled = !ignored_at_start(SIGTSTP);
    if (stop_handled)
        set_handler(SIGTSTP, stop_on_signal);
    if (!ignored_at_start(SIGCONT))
        set_handler(SIGCONT, continue_on_signal);
}

// In the background the echo goes on as any background job's output does, unless the terminal
// stops background output (stty tostop): then it is dropped rather than have the flash stopped.
// A terminal that hung up is one no more: the echo goes where it goes once the keyboard has
// dropped the terminal at its next look.
int echo_descriptor() {
    open_terminal();
    const int fd = tty_fd.load();
    if (fd < 0)
        return STDERR_FILENO;
    const pid_t owner = tcgetpgrp(fd);
    if (owner < 0)
        return STDERR_FILENO;
    termios settings{};
    if (owner == getpgrp() || (tcgetattr(fd, &settings) == 0 && (settings.c_lflag & TOSTOP) == 0))
        return fd;
    return -1;
}

bool escape_pressed() {
    if (keyboard() < 0)
        return false;
    KeyDecoder decoder;
    KeyVerdict verdict = KeyVerdict::NoEscape;
    // Every key waiting is consumed here, so none stays behind unseen by the next wait; a key
    // of several bytes is read to its end, waiting briefly for the rest of its burst.
    for (int reads = 0; reads < key_reads_per_look; ++reads) {
        std::uint8_t keys[256];
        const int count =
            read_keys(keys, sizeof keys, verdict == KeyVerdict::NeedMore ? escape_sequence_ms : 0);
        verdict = decode_keys(decoder, keys, static_cast<std::size_t>(count));
        if (count == 0 || tty_fd.load() < 0)
            break;
    }
    return decide_keys(decoder);
}

std::intptr_t console_wait_handle() {
    return keyboard();
}
