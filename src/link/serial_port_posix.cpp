#include "link/serial_port.h"

// The serial port on POSIX systems: a terminal device in raw mode through termios.

#include "system/error_text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <string_view>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct SpeedCode {
    std::int32_t baud;
    speed_t code;
};

constexpr SpeedCode speed_codes[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool speed_code(std::int32_t baud, speed_t& code) {
    for (const SpeedCode& entry : speed_codes) {
        if (entry.baud == baud) {
            code = entry.code;
            return true;
        }
    }
    return false;
}

int fd_of(const SerialPort& port) {
    return static_cast<int>(port.handle);
}

// Errors that mean the device itself is gone, not that it is merely busy.
bool device_gone(int error) {
    return error == EIO || error == ENXIO || error == ENODEV || error == EBADF || error == EPIPE;
}

// The one line configuration: raw 8N1, receiver enabled, modem lines ignored (and no hangup
// on close), no flow control of any kind, no character translation, reads that never wait.
bool apply_line_settings(int fd, speed_t code) {
    termios settings{};
    settings.c_cflag = CS8 | CREAD | CLOCAL;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    if (cfsetispeed(&settings, code) != 0 || cfsetospeed(&settings, code) != 0)
        return false;
    return tcsetattr(fd, TCSANOW, &settings) == 0;
}

// The receiver must not see DTR or RTS raised, and the system raises both on open (also on a
// device another program holds): lower them as soon as the line is set. Devices without modem
// lines (pseudo-terminals) refuse this, which is fine.
// Leaves errno as it was: a failed open reports why it failed, not this.
void lower_modem_lines(int fd) {
    const int error = errno;
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIC, &lines);
    errno = error;
}

// Takes the device for this program alone. The lock decides whether another program holds it:
// it goes with its holder, however that ends. The exclusive flag keeps other users' programs
// from opening the device at all, but it outlives a run that was killed on a line whose other
// end stays open, so a flag found set is no proof of a holder.
bool take_device(int fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        errno = EBUSY;
        return false;
    }
    ioctl(fd, TIOCEXCL);
    return true;
}

SerialPort fail_open(const char* device, int fd, const char* what) {
    const int error = errno;
    if (fd >= 0)
        close(fd);
    SerialPort port;
    std::snprintf(port.device, sizeof port.device, "%s", device);
    port.open_step = what;
    port.open_error = error;
    // A text longer than the room is cut short: the reason is for a person to read.
    std::snprintf(port.open_reason, sizeof port.open_reason, "%.*s",
                  static_cast<int>(sizeof port.open_reason - 1), error_text(error).text);
    return port;
}

} // namespace

const char* default_device(int index) {
    return index == 0 ? "/dev/ttyS0" : "/dev/ttyS1";
}

bool port_missing(const SerialPort& port) {
    // ENXIO and ENODEV: a node whose device is being taken away, or not yet there.
    return port.open_step != nullptr && port.open_step == std::string_view("cannot open") &&
           (port.open_error == ENOENT || port.open_error == ENXIO || port.open_error == ENODEV);
}

bool speed_supported(std::int32_t baud) {
    speed_t code;
    return speed_code(baud, code);
}

SerialPort open_port(const char* device, std::int32_t baud) {
    speed_t code;
    if (!speed_code(baud, code)) {
        errno = EINVAL;
        return fail_open(device, -1, "unsupported speed");
    }
    const int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return fail_open(device, fd, "cannot open");
    // A device opened for the first time (a USB adapter just plugged in) starts as a terminal
    // that echoes what it receives: a receiver announcing itself before the line settings are
    // made has its bytes sent back, and takes them for the access string. So the settings come
    // right after the checks that must precede them (a device held by another program keeps
    // its settings), before anything that waits for the device, as lowering the modem lines
    // does on a USB adapter; what an echo queued and the driver has not sent yet is discarded.
    // Nothing of the program's is queued yet.
    if (!isatty(fd))
        return fail_open(device, fd, "not a serial device");
    if (!take_device(fd)) {
        lower_modem_lines(fd);
        return fail_open(device, fd, "held by another program");
    }
    if (!apply_line_settings(fd, code)) {
        const int error = errno;
        lower_modem_lines(fd);
        ioctl(fd, TIOCNXCL);
        errno = error;
        return fail_open(device, fd, "cannot apply the line settings");
    }
    lower_modem_lines(fd);
    tcflush(fd, TCOFLUSH);

    SerialPort port;
    port.handle = fd;
    std::snprintf(port.device, sizeof port.device, "%s", device);
    remember_port(fd);
    return port;
}

// Gives the device back: the exclusive flag stays on a terminal whose other end is still open
// (a virtual line), and would keep the next run out.
void release_handle(std::intptr_t handle) {
    release_on_signal(handle);
    close(static_cast<int>(handle));
}

void release_on_signal(std::intptr_t handle) {
    ioctl(static_cast<int>(handle), TIOCNXCL);
}

// A descriptor is all a POSIX port has: no port here is ever given a PortIo to free.
void PortIoFree::operator()(PortIo*) const {}

std::size_t peek_received(SerialPort& port, const std::uint8_t*& bytes) {
    if (port.received_at == port.received_end && port_is_open(port) && port.lost_error == 0) {
        port.received_at = port.received_end = 0;
        int queued = 0;
        if (ioctl(fd_of(port), FIONREAD, &queued) != 0) {
            if (device_gone(errno))
                port.lost_error = errno;
        } else if (queued > 0) {
            const ssize_t got = read(fd_of(port), port.received, sizeof port.received);
            if (got > 0)
                port.received_end = static_cast<std::size_t>(got);
            else if (got < 0 && device_gone(errno))
                port.lost_error = errno;
        }
    }
    bytes = port.received + port.received_at;
    return port.received_end - port.received_at;
}

std::ptrdiff_t write_some(SerialPort& port, const std::uint8_t* bytes, std::size_t count) {
    if (port.lost_error != 0)
        return -1;
    const ssize_t written = write(fd_of(port), bytes, count);
    if (written >= 0)
        return written;
    if (errno == EAGAIN || errno == EINTR)
        return 0;
    port.lost_error = device_gone(errno) ? errno : EIO;
    return -1;
}

void discard_output(SerialPort& port) {
    tcflush(fd_of(port), TCOFLUSH);
}

bool set_speed(SerialPort& port, std::int32_t baud) {
    speed_t code;
    termios settings{};
    if (!speed_code(baud, code) || tcgetattr(fd_of(port), &settings) != 0) {
        if (device_gone(errno))
            port.lost_error = errno;
        return false;
    }
    if (cfgetospeed(&settings) == code && cfgetispeed(&settings) == code)
        return true;
    cfsetispeed(&settings, code);
    cfsetospeed(&settings, code);
    // TCSADRAIN: what is still queued leaves the line at the speed it was written for.
    if (tcsetattr(fd_of(port), TCSADRAIN, &settings) != 0) {
        if (device_gone(errno))
            port.lost_error = errno;
        return false;
    }
    termios applied{};
    return tcgetattr(fd_of(port), &applied) == 0 && cfgetospeed(&applied) == code;
}

void wait_ports(SerialPort* const ports[], int count, bool for_output, std::intptr_t key_handle,
                int timeout_ms, std::intptr_t other_handle) {
    pollfd fds[4];
    nfds_t used = 0;
    for (int i = 0; i < count && used < 2; ++i)
        fds[used++] =
            pollfd{fd_of(*ports[i]), static_cast<short>(for_output ? POLLOUT : POLLIN), 0};
    for (const std::intptr_t handle : {key_handle, other_handle}) {
        if (handle >= 0)
            fds[used++] = pollfd{static_cast<int>(handle), POLLIN, 0};
    }
    if (poll(fds, used, timeout_ms) <= 0)
        return;
    for (int i = 0; i < count && i < 2; ++i) {
        if ((fds[i].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && ports[i]->lost_error == 0)
            ports[i]->lost_error = (fds[i].revents & POLLNVAL) != 0 ? EBADF : EIO;
    }
}
