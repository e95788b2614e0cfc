#include "link/serial_port.h"

// The parts of the serial layer that are the same on every system.

#include <algorithm>
#include <atomic>
#include <cstdlib>

namespace {

// Ports still open, given back once when the program ends, however it ends: at exit, or from
// a signal handler just before the signal ends it (which is why the slots are lock-free
// atomics, safe to read there).
std::atomic<std::intptr_t> open_handles[max_ports];
std::atomic<bool> release_registered{false};
static_assert(std::atomic<std::intptr_t>::is_always_lock_free);

void release_open_ports() {
    for (std::atomic<std::intptr_t>& slot : open_handles) {
        const std::intptr_t handle = slot.exchange(-1);
        if (handle != -1)
            release_handle(handle);
    }
}

struct EmptySlots {
    EmptySlots() {
        for (std::atomic<std::intptr_t>& slot : open_handles)
            slot = -1;
    }
};
const EmptySlots empty_slots;

} // namespace

void remember_port(std::intptr_t handle) {
    if (!release_registered.exchange(true))
        (void)std::atexit(release_open_ports); // fails only past 32 handlers; there are two
    for (std::atomic<std::intptr_t>& slot : open_handles) {
        std::intptr_t empty = -1;
        if (slot.compare_exchange_strong(empty, handle))
            return;
    }
}

void release_ports_on_signal() {
    for (const std::atomic<std::intptr_t>& slot : open_handles) {
        const std::intptr_t handle = slot.load();
        if (handle != -1)
            release_on_signal(handle);
    }
}

void close_port(SerialPort& port) {
    if (!port_is_open(port))
        return;
    for (std::atomic<std::intptr_t>& slot : open_handles) {
        std::intptr_t open = port.handle;
        if (slot.compare_exchange_strong(open, -1))
            break;
    }
    port.io.reset();
    release_handle(port.handle);
    port.handle = -1;
}

bool port_is_open(const SerialPort& port) {
    return port.handle != -1;
}

int read_byte(SerialPort& port) {
    const std::uint8_t* bytes = nullptr;
    if (peek_received(port, bytes) == 0)
        return -1;
    const int byte = bytes[0];
    consume_received(port, 1);
    return byte;
}

void consume_received(SerialPort& port, std::size_t count) {
    port.received_at += std::min(count, port.received_end - port.received_at);
}

namespace {

bool printable(int byte) {
    return byte >= 0x20 && byte <= 0x7E;
}

// Reads the slot `index` in auto mode; a printable byte shows the receiver is on that port.
int poll_slot(PortSet& ports, int index) {
    if (!port_is_open(ports.com[index]))
        return -1;
    const int byte = read_byte(ports.com[index]);
    if (printable(byte))
        ports.active = index;
    return byte;
}

} // namespace

int poll_ports(PortSet& ports) {
    if (!ports.auto_mode)
        return ports.active < 0 ? -1 : read_byte(ports.com[ports.active]);
    // COM1 is always asked first; COM2 only when COM1 had nothing. The choice is not final:
    // a later printable byte on the other port moves it while the ready loop runs.
    const int byte = poll_slot(ports, 0);
    if (byte >= 0)
        return byte;
    return poll_slot(ports, 1);
}

const SerialPort* lost_port(const PortSet& ports) {
    for (const SerialPort& port : ports.com) {
        if (port_is_open(port) && port.lost_error != 0)
            return &port;
    }
    return nullptr;
}
