#include "link/link_wait.h"

#include "link/console.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;
const Clock::time_point program_start = Clock::now();

// A write hands the driver as much as it takes at once (a full block on a pseudo-terminal); on
// a slow line the driver takes a few KB a time and the keyboard is watched while it drains.
constexpr std::size_t write_piece = 65536;

SerialPort& active(PortSet& ports) {
    return ports.com[ports.active];
}

int ms_until(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

// Blocks until the active port has input (or room, `for_output`), a key may be waiting
// (`watch_keys`), the port is gone, or `timeout_ms` (-1: none) pass.
void wait_active(PortSet& ports, bool for_output, bool watch_keys, int timeout_ms) {
    SerialPort* port = &active(ports);
    wait_ports(&port, 1, for_output, watch_keys ? console_wait_handle() : -1, timeout_ms);
}

} // namespace

std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - program_start)
        .count();
}

void drain_input(PortSet& ports) {
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(drain_ms);
    // The clock is looked at after every piece: a receiver that keeps talking must not stretch
    // the drain over its answer.
    do {
        const std::uint8_t* bytes = nullptr;
        const std::size_t count = peek_received(active(ports), bytes);
        consume_received(active(ports), count);
        if (active(ports).lost_error != 0)
            return;
        if (count == 0)
            wait_active(ports, false, false, ms_until(end));
    } while (Clock::now() < end);
}

int read_reply(PortSet& ports, std::uint8_t* buffer, int count, int timeout_ms) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    int received = 0;
    while (received < count) {
        const std::uint8_t* bytes = nullptr;
        const std::size_t queued = peek_received(active(ports), bytes);
        if (queued > 0) {
            // Only the reply is taken; what follows it stays for the next wait.
            const std::size_t taken = std::min(queued, static_cast<std::size_t>(count - received));
            std::copy(bytes, bytes + taken, buffer + received);
            consume_received(active(ports), taken);
            received += static_cast<int>(taken);
            continue;
        }
        if (active(ports).lost_error != 0 || Clock::now() >= deadline)
            break;
        wait_active(ports, false, false, ms_until(deadline));
    }
    return received;
}

int wait_for_mark(PortSet& ports, const char* marks) {
    for (;;) {
        if (escape_pressed())
            return wait_escape;
        const std::uint8_t* bytes = nullptr;
        const std::size_t queued = peek_received(active(ports), bytes);
        if (queued == 0) {
            if (active(ports).lost_error != 0)
                return wait_lost;
            wait_active(ports, false, true, -1);
            continue;
        }
        // Everything before the first mark is the receiver's own console text, shown in one
        // piece; the bytes behind the mark stay queued.
        for (std::size_t at = 0; at < queued; ++at) {
            const char* mark = std::strchr(marks, bytes[at]);
            if (bytes[at] != 0 && mark != nullptr) {
                echo(bytes, at);
                consume_received(active(ports), at + 1);
                return static_cast<int>(mark - marks);
            }
        }
        echo(bytes, queued);
        consume_received(active(ports), queued);
    }
}

bool wait_ready(PortSet& ports) {
    // Only the ready mark counts here; an '@' is console text like any other byte.
    return wait_for_mark(ports, "!") == 0;
}

std::ptrdiff_t write_watching_keys(PortSet& ports, const std::uint8_t* bytes, std::size_t count) {
    std::size_t sent = 0;
    for (;;) {
        // A key pressed before the write began (while the reply was read, say) is seen before
        // the first byte goes out: ESC must not let a header erase the flash. Once the last
        // byte is out, the next wait looks at the keyboard.
        if (escape_pressed()) {
            discard_output(active(ports));
            return wait_escape;
        }
        const std::ptrdiff_t written =
            write_some(active(ports), bytes + sent, std::min(write_piece, count - sent));
        if (written < 0)
            return wait_lost;
        sent += static_cast<std::size_t>(written);
        if (sent == count)
            return static_cast<std::ptrdiff_t>(count);
        wait_active(ports, true, true, -1);
    }
}
