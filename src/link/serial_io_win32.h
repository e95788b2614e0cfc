#ifndef UPGRADE_LINK_SERIAL_IO_WIN32_H
#define UPGRADE_LINK_SERIAL_IO_WIN32_H

// Between the two halves of the serial port on Windows, and only for them: the half that opens
// and sets up ports (serial_port_win32.cpp) hands each new port to the half that moves its
// bytes and waits on it (serial_io_win32.cpp), and waits on that half before it changes the
// speed. Everything else either half offers is declared in serial_port.h.

#include "link/serial_port.h"

#include <cstdint>

// Gives a newly opened port (its `handle` set) its I/O state: the events its reads and writes
// signal, and the buffer its writes go out from. False, with the system's error to be read with
// GetLastError, when it cannot be made whole; what was made is the port's and goes with it.
bool make_port_io(SerialPort& port);

// Blocks until what the driver holds of the port's output has left the line at `baud`: the
// driver's queue (for at most twice the time it needs), then the UART's FIFO. Returns at once
// when the device has gone away (`lost_error` is set then). Does not look at the keyboard.
void wait_until_sent(SerialPort& port, std::uint32_t baud);

#endif
