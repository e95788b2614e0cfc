#include "link/link_wait.h"

#include "system/console.h"
#include "system/keyboard.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;
const Clock::time_point program_start = Clock::now();

// A write hands the driver as much as it takes at once (a full block on a pseudo-terminal); on
// a slow line the driver takes a few KB a time and the keyboard is watched while it drains.
constexpr std::size_t write_piece = 65536;

std::atomic<int> quiet_ms{quiet_notice_ms};

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

// Milliseconds until `until_ms` on the link clock (none left: 0), or -1 for no limit.
int ms_until_link(std::int64_t until_ms) {
    if (until_ms < 0)
        return -1;
    const std::int64_t left = until_ms - now_ms();
    return static_cast<int>(std::max<std::int64_t>(left, 0));
}

} // namespace

std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - program_start)
        .count();
}

void drain_input(SerialPort& port) {
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(drain_ms);
    // The clock is looked at after every piece: a receiver that keeps talking must not stretch
    // the drain over its answer.
    do {
        const std::uint8_t* bytes = nullptr;
        const std::size_t count = peek_received(port, bytes);
        consume_received(port, count);
        if (port.lost_error != 0)
            return;
        if (count == 0)
            wait_port(port, false, false, ms_until(end));
    } while (Clock::now() < end);
}

LinkResult read_reply(SerialPort& port, std::uint8_t* buffer, int count, int timeout_ms,
                      int& received) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    received = 0;
    while (received < count) {
        const std::uint8_t* bytes = nullptr;
        const std::size_t queued = peek_received(port, bytes);
        if (queued > 0) {
            // Only the reply is taken; what follows it stays for the next wait.
            const std::size_t taken = std::min(queued, static_cast<std::size_t>(count - received));
            std::copy(bytes, bytes + taken, buffer + received);
            consume_received(port, taken);
            received += static_cast<int>(taken);
            continue;
        }
        if (port.lost_error != 0)
            return LinkResult::Lost;
        if (Clock::now() >= deadline)
            return LinkResult::TimedOut;
        wait_port(port, false, false, ms_until(deadline));
    }
    return LinkResult::Done;
}

void set_quiet_notice_ms(int ms) {
    quiet_ms = ms;
}

LinkResult wait_for_mark(SerialPort& port, const char* marks, int& mark) {
    return wait_for_mark_until(port, marks, mark, -1);
}

LinkResult wait_for_mark_until(SerialPort& port, const char* marks, int& mark,
                               std::int64_t until_ms) {
    // The quiet spell is the mark's, not one call's: a caller that waits in short spells (to
    // redraw a status line) waits for the same mark again, and the spell goes on.
    thread_local const SerialPort* quiet_port = nullptr;
    thread_local Clock::time_point heard;
    thread_local bool told = false;
    if (quiet_port != &port) {
        quiet_port = &port;
        heard = Clock::now();
        told = false;
    }
    const int quiet_limit_ms = quiet_ms.load();
    // What was said before the wait (a block's fragment) is complete: on a shared screen it is
    // shown now as a line of its own, not held back until the mark comes, which a stalled
    // receiver never sends.
    end_of_echoed_text();
    for (;;) {
        if (escape_pressed()) {
            quiet_port = nullptr;
            return LinkResult::Escaped;
        }
        const std::uint8_t* bytes = nullptr;
        const std::size_t queued = peek_received(port, bytes);
        if (queued == 0) {
            if (port.lost_error != 0) {
                quiet_port = nullptr;
                return LinkResult::Lost;
            }
            if (until_ms >= 0 && now_ms() >= until_ms)
                return LinkResult::TimedOut;
            int timeout_ms = ms_until_link(until_ms);
            if (!told) {
                const int quiet_left_ms =
                    ms_until(heard + std::chrono::milliseconds(quiet_limit_ms));
                if (quiet_left_ms == 0) {
                    complain("nothing heard from the receiver on %s for %d s; ESC ends the "
                             "download\n",
                             port.device, (quiet_limit_ms + 999) / 1000);
                    told = true;
                } else if (timeout_ms < 0 || quiet_left_ms < timeout_ms) {
                    timeout_ms = quiet_left_ms;
                }
            }
            wait_port(port, false, true, timeout_ms);
            continue;
        }
        heard = Clock::now();
        // Everything before the first mark is the receiver's own console text, shown in one
        // piece; the bytes behind the mark stay queued.
        for (std::size_t at = 0; at < queued; ++at) {
            const char* found = std::strchr(marks, bytes[at]);
            if (bytes[at] != 0 && found != nullptr) {
                echo(bytes, at);
                end_of_echoed_text();
                consume_received(port, at + 1);
                mark = static_cast<int>(found - marks);
                quiet_port = nullptr;
                return LinkResult::Done;
            }
        }
        echo(bytes, queued);
        consume_received(port, queued);
    }
}

LinkResult wait_ready(SerialPort& port) {
    // Only the ready mark counts here; an '@' is console text like any other byte.
    int mark = 0;
    return wait_for_mark(port, "!", mark);
}

LinkResult write_watching_keys(SerialPort& port, const std::uint8_t* bytes, std::size_t count) {
    std::size_t sent = 0;
    return write_until(port, bytes, count, sent, -1);
}

LinkResult write_until(SerialPort& port, const std::uint8_t* bytes, std::size_t count,
                       std::size_t& sent, std::int64_t until_ms) {
    for (;;) {
        // A key pressed before the write began (while the reply was read, say) is seen before
        // the first byte goes out: ESC must not let a header erase the flash. Once the last
        // byte is out, the next wait looks at the keyboard.
        if (escape_pressed()) {
            discard_output(port);
            return LinkResult::Escaped;
        }
        // Looked at after a wait, before the next write: a spell that ran out while the
        // driver had no room costs no write call.
        if (until_ms >= 0 && now_ms() >= until_ms)
            return LinkResult::TimedOut;
        const std::ptrdiff_t written =
            write_some(port, bytes + sent, std::min(write_piece, count - sent));
        if (written < 0)
            return LinkResult::Lost;
        sent += static_cast<std::size_t>(written);
        if (sent == count)
            return LinkResult::Done;
        wait_port(port, true, true, ms_until_link(until_ms));
    }
}
