#ifndef UPGRADE_LINK_SERIAL_IO_WIN32_H
#define UPGRADE_LINK_SERIAL_IO_WIN32_H

// Between the two halves of the serial port on Windows, and only for them: the half that opens
// and sets up ports (serial_port_win32.cpp) hands each new port to the half that moves its
// bytes and waits on it (serial_io_win32.cpp), and waits on that half before it changes the
// speed. Everything else either half offers is declared in serial_port.h.

#include "link/serial_port.h"

#include <cstdint>

// Gives a newly opened port handle its I/O state (the events its reads and writes signal, and
// the buffer its writes go out from). False when every slot is taken; nothing is kept then.
bool claim_port_io(std::intptr_t handle);

// Blocks until what the driver holds of the port's output has left the line at `baud`: the
// driver's queue (for at most twice the time it needs), then the UART's FIFO. Returns at once
// when the device has gone away (`lost_error` is set then). Does not look at the keyboard.
void wait_until_sent(SerialPort& port, std::uint32_t baud);

#endif
