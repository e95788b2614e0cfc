#include "link/serial_port.h"

// The parts of the serial layer that are the same on every system.

#include <algorithm>

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
