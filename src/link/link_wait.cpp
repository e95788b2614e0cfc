#include "link/link_wait.h"

#include "link/console.h"

#include <algorithm>
#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;
const Clock::time_point program_start = Clock::now();

// A write hands the driver as much as it takes at once (a full block on a pseudo-terminal); on
// a slow line the driver takes a few KB a time and the keyboard is watched while it drains.
constexpr std::size_t write_piece = 65536;

int ms_until(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

// Blocks until the port has input (or room, `for_output`), a key may be waiting
// (`watch_keys`), the port is gone, or `timeout_ms` (-1: none) pass.
void wait_port(SerialPort& port, bool for_output, bool watch_keys, int timeout_ms) {
    SerialPort* ports[1] = {&port};
    wait_ports(ports, 1, for_output, watch_keys ? console_wait_handle() : -1, timeout_ms);
}

// Writes `count` bytes, waiting for room whenever the driver takes less than it was given;
// with `watch_keys`, ESC stops it and what the driver still holds is discarded.
std::ptrdiff_t write_bytes(SerialPort& port, const std::uint8_t* bytes, std::size_t count,
                           bool watch_keys) {
    std::size_t sent = 0;
    while (sent < count) {
        const std::ptrdiff_t written =
            write_some(port, bytes + sent, std::min(write_piece, count - sent));
        if (written < 0)
            return wait_lost;
        sent += static_cast<std::size_t>(written);
        if (watch_keys && escape_pressed()) {
            discard_output(port);
            return wait_escape;
        }
        if (sent < count)
            wait_port(port, true, watch_keys, -1);
    }
    return static_cast<std::ptrdiff_t>(count);
}

} // namespace

std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - program_start)
        .count();
}

void drain_input(SerialPort& port) {
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(drain_ms);
    do {
        while (read_byte(port) >= 0) {
        }
        if (port.lost_error != 0)
            return;
        wait_port(port, false, false, ms_until(end));
    } while (Clock::now() < end);
}

int read_reply(SerialPort& port, std::uint8_t* buffer, int count, int timeout_ms) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    int received = 0;
    while (received < count) {
        const int byte = read_byte(port);
        if (byte >= 0) {
            buffer[received++] = static_cast<std::uint8_t>(byte);
            continue;
        }
        if (port.lost_error != 0 || Clock::now() >= deadline)
            break;
        wait_port(port, false, false, ms_until(deadline));
    }
    return received;
}

int wait_for_mark(SerialPort& port, const char* marks) {
    for (;;) {
        if (escape_pressed())
            return wait_escape;
        const int byte = read_byte(port);
        if (byte < 0) {
            if (port.lost_error != 0)
                return wait_lost;
            wait_port(port, false, true, -1);
            continue;
        }
        for (int i = 0; marks[i] != '\0'; ++i) {
            if (static_cast<std::uint8_t>(marks[i]) == byte)
                return i;
        }
        // Anything else is the receiver's own console text.
        echo(static_cast<std::uint8_t>(byte));
    }
}

bool wait_ready(SerialPort& port) {
    // Only the ready mark counts here; an '@' is console text like any other byte.
    return wait_for_mark(port, "!") == 0;
}

std::ptrdiff_t write_watching_keys(SerialPort& port, const std::uint8_t* bytes, std::size_t count) {
    return write_bytes(port, bytes, count, true);
}

bool write_all(SerialPort& port, const std::uint8_t* bytes, std::size_t count) {
    return write_bytes(port, bytes, count, false) == static_cast<std::ptrdiff_t>(count);
}
