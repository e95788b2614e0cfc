#include "link/link_wait.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

// A write hands the driver as much as it takes at once (a full block on a pseudo-terminal); on
// a slow line the driver takes a few KB a time and the keyboard is watched while it drains.
constexpr std::size_t write_piece = 65536;

int ms_until(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

// Blocks until the port has input (or room, `for_output`), the watch's stop is raised (with a
// `watch`), the port is gone, or `timeout_ms` (-1: none) pass.
void wait_port(SerialPort& port, bool for_output, const LinkWatch* watch, int timeout_ms) {
    SerialPort* ports[1] = {&port};
    wait_ports(ports, 1, for_output, -1, timeout_ms, watch != nullptr ? stop_handle(*watch) : -1);
}

// Tells the listener; false when it ended the wait.
bool tell(const LinkWatch& watch, LinkNewsKind kind, const std::uint8_t* bytes = nullptr,
          std::size_t count = 0) {
    if (watch.listener.hear == nullptr)
        return true;
    LinkNews news;
    news.kind = kind;
    news.bytes = bytes;
    news.count = count;
    news.quiet_ms = watch.quiet_ms;
    return watch.listener.hear(watch.listener.context, news);
}

// The mark wait is over, for good or bad: the next one starts a quiet spell of its own.
LinkResult mark_wait_over(LinkWatch& watch, LinkResult result) {
    watch.waiting_for_mark = false;
    return result;
}

// Milliseconds until `until_ms` on the link clock (none left: 0), or -1 for no limit.
int ms_until_link(std::int64_t until_ms) {
    if (until_ms < 0)
        return -1;
    const std::int64_t left = until_ms - now_ms();
    return static_cast<int>(std::max<std::int64_t>(left, 0));
}

} // namespace

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
            wait_port(port, false, nullptr, ms_until(end));
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
        wait_port(port, false, nullptr, ms_until(deadline));
    }
    return LinkResult::Done;
}

std::intptr_t stop_handle(const LinkWatch& watch) {
    return watch.stop != nullptr ? watch.stop->wait_handle : -1;
}

bool stop_raised(const LinkWatch& watch) {
    return watch.stop != nullptr && watch.stop->raised.load();
}

LinkResult wait_for_mark(SerialPort& port, LinkWatch& watch, const char* marks, int& mark) {
    return wait_for_mark_until(port, watch, marks, mark, -1);
}

LinkResult wait_for_mark_until(SerialPort& port, LinkWatch& watch, const char* marks, int& mark,
                               std::int64_t until_ms) {
    // The quiet spell is the mark's, not one call's: a caller that waits in short spells (to
    // redraw a status line) waits for the same mark again, and the spell goes on.
    if (!watch.waiting_for_mark) {
        watch.waiting_for_mark = true;
        watch.heard_ms = now_ms();
        watch.quiet_told = false;
    }
    // What was said before the wait (a block's fragment) is complete: on a shared screen it is
    // shown now as a line of its own, not held back until the mark comes, which a stalled
    // receiver never sends.
    tell(watch, LinkNewsKind::TextEnded);
    for (;;) {
        if (stop_raised(watch))
            return mark_wait_over(watch, LinkResult::Escaped);
        const std::uint8_t* bytes = nullptr;
        const std::size_t queued = peek_received(port, bytes);
        if (queued == 0) {
            if (port.lost_error != 0)
                return mark_wait_over(watch, LinkResult::Lost);
            if (until_ms >= 0 && now_ms() >= until_ms)
                return LinkResult::TimedOut;
            int timeout_ms = ms_until_link(until_ms);
            if (!watch.quiet_told) {
                const int quiet_left_ms = ms_until_link(watch.heard_ms + watch.quiet_ms);
                if (quiet_left_ms == 0) {
                    tell(watch, LinkNewsKind::Quiet);
                    watch.quiet_told = true;
                } else if (timeout_ms < 0 || quiet_left_ms < timeout_ms) {
                    timeout_ms = quiet_left_ms;
                }
            }
            wait_port(port, false, &watch, timeout_ms);
            continue;
        }
        watch.heard_ms = now_ms();
        // Everything before the first mark is the receiver's own console text, reported in one
        // piece; the bytes behind the mark stay queued.
        for (std::size_t at = 0; at < queued; ++at) {
            const char* found = std::strchr(marks, bytes[at]);
            if (bytes[at] != 0 && found != nullptr) {
                if (at > 0)
                    tell(watch, LinkNewsKind::Text, bytes, at);
                tell(watch, LinkNewsKind::TextEnded);
                consume_received(port, at + 1);
                mark = static_cast<int>(found - marks);
                return mark_wait_over(watch, LinkResult::Done);
            }
        }
        const bool go_on = tell(watch, LinkNewsKind::Text, bytes, queued);
        consume_received(port, queued);
        if (!go_on)
            return mark_wait_over(watch, LinkResult::Ended);
    }
}

LinkResult wait_ready(SerialPort& port, LinkWatch& watch) {
    // Only the ready mark counts here; an '@' is console text like any other byte.
    int mark = 0;
    return wait_for_mark(port, watch, "!", mark);
}

LinkResult write_watching_stop(SerialPort& port, const LinkWatch& watch, const std::uint8_t* bytes,
                               std::size_t count) {
    std::size_t sent = 0;
    return write_until(port, watch, bytes, count, sent, -1);
}

LinkResult write_until(SerialPort& port, const LinkWatch& watch, const std::uint8_t* bytes,
                       std::size_t count, std::size_t& sent, std::int64_t until_ms) {
    for (;;) {
        // A stop raised before the write began (ESC while the reply was read, say) is seen
        // before the first byte goes out: ESC must not let a header erase the flash. Once the
        // last byte is out, the next wait looks at the stop.
        if (stop_raised(watch)) {
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
        wait_port(port, true, &watch, ms_until_link(until_ms));
    }
}
