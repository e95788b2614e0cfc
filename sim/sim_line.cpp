#include "sim_line.h"

#include "system/error_text.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

// After the host's last close, bytes it wrote just before may still be on their way through the
// pty; they are read before the line counts as gone.
constexpr std::int64_t host_gone_grace_us = 100000;
constexpr std::int64_t speed_look_us = 1000;

volatile std::sig_atomic_t caught_signal = 0;
sigset_t wait_mask; // the mask in force during a wait: the stop signals let through

void on_stop_signal(int signal_number) {
    caught_signal = signal_number;
}

struct SpeedCode {
    int baud;
    speed_t code;
};

constexpr SpeedCode speed_codes[] = {
    {50, B50},           {75, B75},           {110, B110},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},
    {1800, B1800},       {2400, B2400},       {4800, B4800},       {9600, B9600},
    {19200, B19200},     {38400, B38400},     {57600, B57600},     {115200, B115200},
    {230400, B230400},   {460800, B460800},   {500000, B500000},   {576000, B576000},
    {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000},
    {4000000, B4000000},
};

bool speed_code(int baud, speed_t& code) {
    for (const SpeedCode& entry : speed_codes)
        if (entry.baud == baud) {
            code = entry.code;
            return true;
        }
    return false;
}

int speed_baud(speed_t code) {
    for (const SpeedCode& entry : speed_codes)
        if (entry.code == code)
            return entry.baud;
    return -1;
}

// Raw 8N1 at 57600, no flow control, modem lines ignored. VMIN 1 makes a read on a line with
// nothing queued fail with EAGAIN, so that a read of 0 bytes always means the line ended.
bool make_raw(int fd) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0)
        return false;
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | HUPCL);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    cfsetispeed(&settings, B57600);
    cfsetospeed(&settings, B57600);
    return tcsetattr(fd, TCSANOW, &settings) == 0;
}

void read_watch(SimLine& line) {
    alignas(inotify_event) char events[4096];
    for (;;) {
        const ssize_t size = read(line.watch_fd, events, sizeof events);
        if (size <= 0)
            return;
        for (ssize_t at = 0; at < size;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            if ((event->mask & IN_OPEN) != 0) {
                ++line.host_opens;
                line.host_seen = true;
                line.host_gone_us = -1;
            }
            if ((event->mask & IN_CLOSE) != 0 && line.host_opens > 0 && --line.host_opens == 0)
                line.host_gone_us = sim_now_us();
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

enum class Wake { Ready, Time, Closed, Interrupted };

// Blocks until `events` (0: none, only a failing line) on the line, the host's going away, a
// stop signal, or `until_us` capped by the overall time limit.
Wake wait_line(SimLine& line, short events, std::int64_t until_us) {
    const std::int64_t limit = std::min(until_us, line.deadline_us);
    for (;;) {
        if (caught_signal != 0)
            return Wake::Interrupted;
        const std::int64_t now = sim_now_us();
        const bool gone = line.host_gone_us >= 0;
        if (gone && now >= line.host_gone_us + host_gone_grace_us)
            return Wake::Closed;
        if (now >= limit)
            return Wake::Time;
        const std::int64_t wake =
            gone ? std::min(limit, line.host_gone_us + host_gone_grace_us) : limit;
        const std::int64_t wait_us = wake - now;
        const timespec wait_time{static_cast<time_t>(wait_us / 1000000),
                                 static_cast<long>(wait_us % 1000000) * 1000};
        pollfd fds[2] = {{line.fd, events, 0}, {line.watch_fd, POLLIN, 0}};
        const nfds_t count = line.watch_fd >= 0 ? 2 : 1;
        if (ppoll(fds, count, &wait_time, &wait_mask) < 0) {
            if (errno == EINTR)
                continue;
            return Wake::Closed;
        }
        if (count == 2 && (fds[1].revents & POLLIN) != 0)
            read_watch(line);
        if ((fds[0].revents & events) != 0)
            return Wake::Ready;
        if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
            return Wake::Closed;
    }
}

LineStatus time_status(const SimLine& line) {
    return sim_now_us() >= line.deadline_us ? LineStatus::Timeout : LineStatus::Deadline;
}

LineStatus wake_status(const SimLine& line, Wake wake) {
    switch (wake) {
    case Wake::Ready:
        return LineStatus::Ok;
    case Wake::Time:
        return time_status(line);
    case Wake::Closed:
        return LineStatus::Closed;
    case Wake::Interrupted:
        break;
    }
    return LineStatus::Interrupted;
}

// Without the inotify watch the host's close can only show as a hangup of the master, which the
// simulator's own slave descriptor would prevent: once the host has spoken, it has the port
// open, and that descriptor is let go.
void host_has_spoken(SimLine& line) {
    if (line.is_pty && line.watch_fd < 0 && line.slave_fd >= 0) {
        close(line.slave_fd);
        line.slave_fd = -1;
    }
}

void make_link(SimLine& line, const char* link_path) {
    if (link_path[0] == '\0')
        return;
    if (unlink(link_path) != 0 && errno != ENOENT)
        std::fprintf(stderr, "receiver-sim: cannot replace %s: %s\n", link_path,
                     error_text(errno).text);
    if (symlink(line.slave_path, link_path) != 0) {
        std::fprintf(stderr, "receiver-sim: cannot link %s: %s\n", link_path,
                     error_text(errno).text);
        return;
    }
    std::snprintf(line.link_path, sizeof line.link_path, "%s", link_path);
}

void watch_slave(SimLine& line) {
    line.watch_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (line.watch_fd >= 0 &&
        inotify_add_watch(line.watch_fd, line.slave_path, IN_OPEN | IN_CLOSE) >= 0)
        return;
    std::fprintf(stderr,
                 "receiver-sim: cannot watch %s (%s); the host's close shows only after it spoke\n",
                 line.slave_path, error_text(errno).text);
    if (line.watch_fd >= 0)
        close(line.watch_fd);
    line.watch_fd = -1;
}

} // namespace

std::int64_t sim_now_us() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void install_stop_signals() {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigset_t stops;
    sigemptyset(&stops);
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal_number, &action, nullptr);
        sigaddset(&stops, signal_number);
    }
    (void)std::signal(SIGPIPE, SIG_IGN); // cannot fail for SIGPIPE
    pthread_sigmask(SIG_BLOCK, &stops, &wait_mask);
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP})
        sigdelset(&wait_mask, signal_number);
}

int stop_signal() {
    return caught_signal;
}

bool open_pty_line(SimLine& line, const char* link_path) {
    line.is_pty = true;
    line.fd = posix_openpt(O_RDWR | O_NOCTTY);
    if (line.fd < 0 || grantpt(line.fd) != 0 || unlockpt(line.fd) != 0 ||
        ptsname_r(line.fd, line.slave_path, sizeof line.slave_path) != 0) {
        std::fprintf(stderr, "receiver-sim: cannot create a pseudo-terminal: %s\n",
                     error_text(errno).text);
        return false;
    }
    fcntl(line.fd, F_SETFL, fcntl(line.fd, F_GETFL) | O_NONBLOCK);
    line.slave_fd = open(line.slave_path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (line.slave_fd < 0 || !make_raw(line.slave_fd)) {
        std::fprintf(stderr, "receiver-sim: cannot set up %s: %s\n", line.slave_path,
                     error_text(errno).text);
        return false;
    }
    watch_slave(line);
    make_link(line, link_path);
    return true;
}

bool open_device_line(SimLine& line, const char* path) {
    line.is_pty = false;
    line.fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (line.fd < 0 || !make_raw(line.fd)) {
        std::fprintf(stderr, "receiver-sim: cannot open %s: %s\n", path, error_text(errno).text);
        return false;
    }
    std::snprintf(line.slave_path, sizeof line.slave_path, "%s", path);
    return true;
}

namespace {

// The link goes first, while this simulator still holds its pseudo-terminal: once that is let go,
// its number may at once be given to the next simulator's, which links the same name, and a
// link compared after the close could be that one's.
void remove_link(SimLine& line) {
    if (line.link_path[0] == '\0')
        return;
    char target[sizeof line.slave_path] = {};
    const ssize_t size = readlink(line.link_path, target, sizeof target - 1);
    if (size > 0 && std::strcmp(target, line.slave_path) == 0)
        unlink(line.link_path);
    line.link_path[0] = '\0';
}

} // namespace

void close_line(SimLine& line) {
    remove_link(line);
    for (int* fd : {&line.fd, &line.slave_fd, &line.watch_fd})
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
}

// A pulled cable: the adapter's name goes with it.
void drop_line(SimLine& line) {
    remove_link(line);
    if (line.fd >= 0)
        close(line.fd);
    line.fd = -1;
}

LineStatus read_bytes(SimLine& line, std::uint8_t* bytes, std::size_t count, std::size_t& got,
                      std::int64_t until_us) {
    got = 0;
    while (got < count) {
        const ssize_t size = read(line.fd, bytes + got, count - got);
        if (size > 0) {
            got += static_cast<std::size_t>(size);
            host_has_spoken(line);
            continue;
        }
        if (size == 0 || (errno != EAGAIN && errno != EINTR))
            return LineStatus::Closed; // EOF, or EIO once no one holds the slave
        const Wake wake = wait_line(line, POLLIN, until_us);
        if (wake != Wake::Ready)
            return wake_status(line, wake);
    }
    return LineStatus::Ok;
}

LineStatus write_bytes(SimLine& line, const std::uint8_t* bytes, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t size = write(line.fd, bytes + done, count - done);
        if (size > 0) {
            done += static_cast<std::size_t>(size);
            continue;
        }
        if (size < 0 && errno != EAGAIN && errno != EINTR)
            return LineStatus::Closed;
        const Wake wake = wait_line(line, POLLOUT, line.deadline_us);
        if (wake != Wake::Ready)
            return wake_status(line, wake);
    }
    return LineStatus::Ok;
}

LineStatus pause_until(SimLine& line, std::int64_t until_us) {
    const Wake wake = wait_line(line, 0, until_us);
    if (wake == Wake::Time && sim_now_us() >= until_us)
        return LineStatus::Ok;
    return wake_status(line, wake);
}

LineStatus discard_until_closed(SimLine& line) {
    std::uint8_t sink[4096];
    for (;;) {
        std::size_t got = 0;
        const LineStatus status = read_bytes(line, sink, sizeof sink, got, line.deadline_us);
        if (status != LineStatus::Ok)
            return status;
    }
}

int line_speed(const SimLine& line) {
    termios settings{};
    if (line.fd < 0 || tcgetattr(line.fd, &settings) != 0)
        return -1;
    return speed_baud(cfgetospeed(&settings));
}

LineStatus wait_for_speed(SimLine& line, int baud, std::int64_t until_us, int& seen) {
    for (;;) {
        seen = line_speed(line);
        if (seen == baud)
            return LineStatus::Ok;
        if (sim_now_us() >= until_us)
            return time_status(line);
        const Wake wake = wait_line(line, 0, std::min(until_us, sim_now_us() + speed_look_us));
        if (wake != Wake::Time)
            return wake_status(line, wake);
    }
}

bool set_line_speed(SimLine& line, int baud) {
    speed_t code = B0;
    termios settings{};
    if (!speed_code(baud, code) || tcgetattr(line.fd, &settings) != 0)
        return false;
    // On a pty the master's settings are the slave's: setting them would change the host's side.
    if (line.is_pty || cfgetospeed(&settings) == code)
        return true;
    cfsetispeed(&settings, code);
    cfsetospeed(&settings, code);
    return tcsetattr(line.fd, TCSADRAIN, &settings) == 0;
}

bool baud_supported(int baud) {
    speed_t code = B0;
    return speed_code(baud, code);
}

LineStatus wait_output_taken(SimLine& line, std::int64_t until_us) {
    if (!line.is_pty)
        return tcdrain(line.fd) == 0 ? LineStatus::Ok : LineStatus::Closed;
    for (;;) {
        int queued = 1;
        if (line.slave_fd >= 0 && ioctl(line.slave_fd, FIONREAD, &queued) == 0 && queued == 0)
            return LineStatus::Ok;
        if (sim_now_us() >= until_us)
            return time_status(line);
        const Wake wake = wait_line(line, 0, std::min(until_us, sim_now_us() + speed_look_us));
        if (wake != Wake::Time)
            return wake_status(line, wake);
    }
}
