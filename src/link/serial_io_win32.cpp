#include "link/serial_io_win32.h"

// The serial port on Windows, once open: its bytes move in overlapped reads and writes, so that
// a wait sleeps in the system on everything that can end it at once (a byte arriving, a write
// finishing, a key, the station's stop) with the wait's own time limit, and no thread ever
// wakes to ask. Each open port's record holds its I/O state (PortIo, made by make_port_io): one
// read of a single byte left pending while the program waits for input (its completion is what
// wakes the wait), and at most one write in flight, taken from a copy of the caller's bytes so
// that it may finish in the background and be cancelled when ESC ends it.

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX 1 // std::min and std::max, not the macros
#endif
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <new>

namespace {

using Clock = std::chrono::steady_clock;

// What one write hands the driver: a whole block, so that a block costs one call, not one per
// few hundred bytes. The driver takes it at the line's pace while the thread sleeps.
constexpr DWORD write_piece = 65536;
// A UART's transmit FIFO, which the driver's queue count no longer includes.
constexpr DWORD fifo_bytes = 16;
constexpr std::uint64_t bits_per_byte = 10; // start bit, 8 data bits, stop bit

HANDLE handle_of(const SerialPort& port) {
    return reinterpret_cast<HANDLE>(port.handle);
}

// On an open port the comm calls fail only when the device has gone away (a USB adapter pulled
// out, the far end of a virtual line closed): line errors never abort a call, since the
// configuration leaves fAbortOnError off and ClearCommError clears them as it goes.
// `lost_error` holds the C library's code for the failure, as on other systems, so that the
// message naming the reason reads the same everywhere.
int lost_reason(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_UNIT:
    case ERROR_BAD_COMMAND:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
        return ENODEV;
    case ERROR_INVALID_HANDLE:
        return EBADF;
    case ERROR_BROKEN_PIPE:
        return EPIPE;
    default:
        return EIO; // ERROR_NOT_READY, ERROR_GEN_FAILURE, ERROR_OPERATION_ABORTED and the rest
    }
}

void note_lost(SerialPort& port) {
    port.lost_error = lost_reason(GetLastError());
}

// The driver's queue counts; clears any line error as it asks.
bool queue_status(SerialPort& port, COMSTAT& status) {
    DWORD errors = 0;
    status = COMSTAT{};
    if (ClearCommError(handle_of(port), &errors, &status))
        return true;
    note_lost(port);
    return false;
}

std::uint64_t line_ms(std::uint64_t bytes, DWORD baud) {
    return bytes * bits_per_byte * 1000 / std::max<DWORD>(baud, 1) + 1;
}

// The two kinds of read. Taking what is queued returns at once with it, never waiting for
// more; the one-byte read a wait leaves pending has no time limit of its own and ends when
// the byte arrives (the wait's limit is the system wait's). Writes have none in either: a
// write that does not progress is cancelled by the one who waits for it.
bool set_read_mode(HANDLE handle, bool waiting) {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = waiting ? 0 : MAXDWORD;
    return SetCommTimeouts(handle, &timeouts) != 0;
}

} // namespace

// The I/O state of one open port, on the heap and owned by the port's record (serial_port.h):
// the system writes into the OVERLAPPEDs, `waiting_byte` and reads `out` while an operation is
// in flight, so it never moves. Only the thread that serves a port touches it.
struct PortIo {
    HANDLE handle = nullptr;    // the port's, for ending what is in flight when it is freed
    HANDLE read_done = nullptr; // manual-reset events that the reads and writes signal
    HANDLE write_done = nullptr;
    OVERLAPPED read_op{};
    OVERLAPPED write_op{};
    bool read_pending = false;  // the waiting read was issued and its result not yet taken
    bool write_pending = false; // a write is in flight (or finished, its count not yet taken)
    int read_mode = -1;         // the kind of read the port is set for: 1 waiting, 0 queued
    std::uint8_t waiting_byte = 0;
    std::uint8_t out[write_piece] = {};
};

namespace {

bool use_read_mode(SerialPort& port, PortIo& io, bool waiting) {
    if (io.read_mode == (waiting ? 1 : 0))
        return true;
    if (!set_read_mode(handle_of(port), waiting)) {
        note_lost(port);
        return false;
    }
    io.read_mode = waiting ? 1 : 0;
    return true;
}

// Ends an operation still in flight and waits (boundedly) until the system is done with its
// buffer. False when it did not end: the buffer must then stay untouched. The handle may be
// closed already (at the program's end, release_handle ended the operation and closed it
// before the port's record went): the wait and the result go by the OVERLAPPED and its event.
bool cancel_operation(HANDLE handle, OVERLAPPED& operation) {
    CancelIoEx(handle, &operation);
    constexpr DWORD cancel_wait_ms = 1000;
    WaitForSingleObject(operation.hEvent, cancel_wait_ms);
    DWORD ignored = 0;
    return GetOverlappedResult(handle, &operation, &ignored, FALSE) ||
           GetLastError() != ERROR_IO_INCOMPLETE;
}

// Issues the one-byte read that a wait for input sleeps on, unless it is in flight already.
// True when it is pending; false when there is something to look at at once (it finished
// already, or it failed: the port is gone then).
bool start_waiting_read(SerialPort& port, PortIo& io) {
    if (io.read_pending)
        return !HasOverlappedIoCompleted(&io.read_op);
    if (!use_read_mode(port, io, true))
        return false;
    io.read_op = OVERLAPPED{};
    io.read_op.hEvent = io.read_done;
    io.read_pending = true;
    if (ReadFile(handle_of(port), &io.waiting_byte, 1, nullptr, &io.read_op))
        return false;
    if (GetLastError() == ERROR_IO_PENDING)
        return true;
    io.read_pending = false;
    note_lost(port);
    return false;
}

// Puts the byte of a finished waiting read into the port's buffer. False while the read is
// still in flight, or when it failed (`lost_error` is set then).
bool take_waiting_read(SerialPort& port, PortIo& io) {
    DWORD got = 0;
    if (!GetOverlappedResult(handle_of(port), &io.read_op, &got, FALSE)) {
        if (GetLastError() == ERROR_IO_INCOMPLETE)
            return false;
        io.read_pending = false;
        note_lost(port);
        return false;
    }
    io.read_pending = false;
    if (got == 1)
        port.received[port.received_end++] = io.waiting_byte;
    return true;
}

// Appends what the driver holds to the port's buffer, in one read that returns at once.
void read_queued(SerialPort& port, PortIo& io) {
    COMSTAT status;
    const std::size_t room = sizeof port.received - port.received_end;
    if (room == 0 || !queue_status(port, status) || status.cbInQue == 0 ||
        !use_read_mode(port, io, false))
        return;
    io.read_op = OVERLAPPED{};
    io.read_op.hEvent = io.read_done;
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(status.cbInQue, room));
    DWORD got = 0;
    if (!ReadFile(handle_of(port), port.received + port.received_end, wanted, nullptr,
                  &io.read_op) &&
        GetLastError() != ERROR_IO_PENDING) {
        note_lost(port);
        return;
    }
    // The read takes what is there and never waits for more, so it ends at once even where it
    // was reported pending.
    if (!GetOverlappedResult(handle_of(port), &io.read_op, &got, TRUE))
        note_lost(port);
    else
        port.received_end += got;
}

// The count of the write in flight once it has finished (0 while it goes on), or -1 when it
// failed (`lost_error` is set then).
std::ptrdiff_t finish_write(SerialPort& port, PortIo& io) {
    DWORD written = 0;
    if (!GetOverlappedResult(handle_of(port), &io.write_op, &written, FALSE)) {
        if (GetLastError() == ERROR_IO_INCOMPLETE)
            return 0;
        io.write_pending = false;
        note_lost(port);
        return -1;
    }
    io.write_pending = false;
    return static_cast<std::ptrdiff_t>(written);
}

// What a wait for `port` sleeps on, or nullptr when there is something to look at at once:
// input (or room, `for_output`) already there, or the port gone.
HANDLE wait_handle_of(SerialPort& port, bool for_output) {
    PortIo* const io = port.io.get();
    if (io == nullptr || port.lost_error != 0)
        return nullptr;
    if (for_output) {
        // Without a write in flight there is room; with one, its end is what is waited for.
        if (!io->write_pending || HasOverlappedIoCompleted(&io->write_op))
            return nullptr;
        return io->write_done;
    }
    if (port.received_at < port.received_end)
        return nullptr;
    if (!io->read_pending) {
        COMSTAT status;
        if (!queue_status(port, status) || status.cbInQue > 0)
            return nullptr;
    }
    return start_waiting_read(port, *io) ? io->read_done : nullptr;
}

} // namespace

bool make_port_io(SerialPort& port) {
    PortIo* const io = new (std::nothrow) PortIo;
    if (io == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    port.io.reset(io);
    io->handle = handle_of(port);
    io->read_done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (io->read_done == nullptr)
        return false;
    io->write_done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return io->write_done != nullptr;
}

void PortIoFree::operator()(PortIo* io) const {
    // An operation that would not end keeps its state: the system may still write into it.
    if (io->read_pending && !cancel_operation(io->handle, io->read_op))
        return;
    if (io->write_pending && !cancel_operation(io->handle, io->write_op))
        return;
    for (const HANDLE event : {io->read_done, io->write_done}) {
        if (event != nullptr)
            CloseHandle(event);
    }
    delete io;
}

void wait_until_sent(SerialPort& port, std::uint32_t baud) {
    COMSTAT status;
    if (!queue_status(port, status))
        return;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(2 * line_ms(status.cbOutQue, baud) + 50);
    while (status.cbOutQue > 0 && Clock::now() < deadline) {
        Sleep(1);
        if (!queue_status(port, status))
            return;
    }
    Sleep(static_cast<DWORD>(line_ms(fifo_bytes, baud)));
}

void release_handle(std::intptr_t handle) {
    // Every read and write still in flight on the port is ended, whichever thread issued it. A
    // port closed by close_port has none left; one the program's end finds open may have its
    // waiting read pending, and its PortIo, freed with its record after this, then only waits
    // for the system to let go of it.
    const HANDLE port_handle = reinterpret_cast<HANDLE>(handle);
    CancelIoEx(port_handle, nullptr);
    CloseHandle(port_handle);
}

std::size_t peek_received(SerialPort& port, const std::uint8_t*& bytes) {
    PortIo* const io = port.io.get();
    if (port.received_at == port.received_end && io != nullptr && port.lost_error == 0) {
        port.received_at = port.received_end = 0;
        // The byte a wait's read took comes first; what queued behind it is read only once
        // that read is over, so that no byte overtakes another.
        if (!io->read_pending || take_waiting_read(port, *io)) {
            if (port.lost_error == 0)
                read_queued(port, *io);
        }
    }
    bytes = port.received + port.received_at;
    return port.received_end - port.received_at;
}

std::ptrdiff_t write_some(SerialPort& port, const std::uint8_t* bytes, std::size_t count) {
    PortIo* const io = port.io.get();
    if (io == nullptr || port.lost_error != 0)
        return -1;
    if (io->write_pending)
        return finish_write(port, *io);
    if (count == 0)
        return 0;
    // The piece is copied, so that the write may go on while the caller's bytes are not its
    // to hold; the caller passes the same bytes again until their count comes back.
    const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(count, write_piece));
    std::memcpy(io->out, bytes, piece);
    io->write_op = OVERLAPPED{};
    io->write_op.hEvent = io->write_done;
    io->write_pending = true;
    if (WriteFile(handle_of(port), io->out, piece, nullptr, &io->write_op) ||
        GetLastError() == ERROR_IO_PENDING)
        return finish_write(port, *io);
    io->write_pending = false;
    note_lost(port);
    return -1;
}

void discard_output(SerialPort& port) {
    PortIo* const io = port.io.get();
    // A write the receiver does not take would otherwise go on after ESC: it is cancelled,
    // and what it had not handed the driver never reaches the line.
    if (io != nullptr && io->write_pending && cancel_operation(handle_of(port), io->write_op))
        io->write_pending = false;
    PurgeComm(handle_of(port), PURGE_TXABORT | PURGE_TXCLEAR);
}

void wait_ports(SerialPort* const ports[], int count, bool for_output, std::intptr_t key_handle,
                int timeout_ms, std::intptr_t other_handle) {
    // Every port's read or write and the key and wakeup handles, in one system wait: the
    // thread sleeps until one of them is signalled or the time is up.
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    DWORD watched = 0;
    for (int i = 0; i < count && watched + 2 < MAXIMUM_WAIT_OBJECTS; ++i) {
        if (!port_is_open(*ports[i]))
            continue;
        const HANDLE handle = wait_handle_of(*ports[i], for_output);
        if (handle == nullptr)
            return;
        handles[watched++] = handle;
    }
    for (const std::intptr_t handle : {key_handle, other_handle}) {
        if (handle != -1)
            handles[watched++] = reinterpret_cast<HANDLE>(handle);
    }
    const DWORD limit = timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms);
    if (watched == 0) {
        Sleep(limit);
        return;
    }
    WaitForMultipleObjects(watched, handles, FALSE, limit);
}
