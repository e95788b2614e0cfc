#ifndef UPGRADE_LINK_SERIAL_PORT_H
#define UPGRADE_LINK_SERIAL_PORT_H

// The serial line to the receiver. Opens COM1 and COM2 (or the devices they are mapped to),
// applies the one line configuration the receiver's boot block speaks (8N1, no flow control
// of any kind, modem lines left low), moves single bytes without ever blocking on a read,
// switches the line speed for the data phase, and picks the active port in auto mode.
//
// Everything here reports failure by return value and never ends the program. A device that
// goes away (a USB adapter pulled out, a hangup) is remembered in the port's `lost_error`, so
// that the caller can say so once and stop instead of polling a dead line.
//
// One file per system implements this header: serial_port_posix.cpp (termios) and
// serial_port_win32.cpp (the comm API).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>

// What one read from the driver may take at most. A talkative receiver's text is taken in
// pieces of this size rather than byte by byte.
constexpr std::size_t receive_buffer_size = 4096;

// What a system keeps of an open port beside its handle, defined by the system's own file: on
// Windows the read and the write in flight, the events they signal and the buffers the system
// fills and empties in the background (serial_io_win32.cpp). POSIX keeps nothing: its ports
// never have one.
struct PortIo;

// Frees a port's PortIo once the system is done with it: what is still in flight is ended first,
// and a state whose operation would not end is left to the system, never freed under it.
struct PortIoFree {
    void operator()(PortIo* io) const;
};

// An open port, or the invalid value (`handle` -1). `handle` is the system's own: a file
// descriptor on POSIX, a HANDLE on Windows.
//
// Received bytes are read from the driver as many at a time as it holds and kept in the port's
// own buffer until they are consumed, so that the bytes behind a mark (the identification that
// follows the ready mark at once) are never lost to a read that took more than the mark.
//
// A port record can be moved but not copied: the system writes into its `io` while an operation
// is in flight, so that state stays where it is, on the heap, and belongs to one record, which
// frees it once (close_port, or the record's end when the program ends with the port open). A
// record moved from keeps its `handle` but has no `io` and must not be used again.
struct SerialPort {
    std::intptr_t handle = -1;
    std::unique_ptr<PortIo, PortIoFree> io; // null on POSIX, and on the invalid port
    int lost_error = 0;    // once the device has gone away: why, as an errno value; else 0
    char device[256] = {}; // the name it was opened (or tried) under, for messages
    // Why open_port failed: the step ("cannot open", "held by another program", ...), the
    // system's own code (errno, or the Windows error) and its text; no step when it did not.
    // (Null, not "": the run's records hold a port record for each slot of every line, in the
    // program's image, and a pointer to a text there would be set when the program is loaded,
    // making a page of each line the program's memory whether the line is served or not.)
    const char* open_step = nullptr;
    int open_error = 0;
    char open_reason[160] = {};
    std::uint8_t received[receive_buffer_size] = {};
    std::size_t received_at = 0;  // first byte not yet consumed
    std::size_t received_end = 0; // end of the bytes read from the driver
};
static_assert(!std::is_copy_constructible_v<SerialPort> && !std::is_copy_assignable_v<SerialPort>,
              "two records of one port would free its I/O state twice");

// The COM1 and COM2 slots and the active port that every download exchange uses.
struct PortSet {
    SerialPort com[2];
    int active = -1;        // index of the active slot, -1 while none is chosen
    bool auto_mode = false; // no port was named: poll_ports picks the active one
};

// The most ports one run opens: COM1 to COM32 can be given a device (/comN=), and a station
// serves every one that is. Every table of ports, in every layer, has this many places.
constexpr int max_ports = 32;

// The line's base speed: the announcement, the handshake and the header always run at it.
constexpr std::int32_t base_baud = 57600;

// The device that COM1 (index 0) or COM2 (index 1) stands for when none is given.
const char* default_device(int index);

bool port_is_open(const SerialPort& port);

// Opens `device` for reading and writing, exclusively, and applies the whole line
// configuration at `baud`. Returns the invalid port when the device cannot be opened, is held
// by another program, or refuses the settings; it then names the device and holds the step
// that failed and the system's reason (`open_step`, `open_error`, `open_reason`), printing
// nothing. Open ports are closed when the program ends, however it ends.
SerialPort open_port(const char* device, std::int32_t baud);

// Closes an open port and frees its I/O state; the port is the invalid one after. Does nothing
// to a port that is not open.
void close_port(SerialPort& port);

// True when `port` failed to open because no device is there (yet): nothing at the path, or a
// device that is gone.
bool port_missing(const SerialPort& port);

// Gives up the exclusive hold on every open port as the program is being ended by a signal:
// the system closes the ports with the process, but on a line whose other end stays open the
// hold would outlive it and keep the next run out. Safe to call in a signal handler.
void release_ports_on_signal();

// True when `baud` is a standard speed that a port can be set to.
bool speed_supported(std::int32_t baud);

// One received byte (0 to 255), or -1 when none is queued. Never waits. On a device that has
// gone away it returns -1 and sets `lost_error`.
int read_byte(SerialPort& port);

// The received bytes not yet consumed, in order: the port's buffer, refilled with what the
// driver holds (in one read) when it is empty. Never waits. Returns how many there are (0 when
// none is queued, or when the device went away: `lost_error` is set then) and points `bytes`
// at them; they stay valid until the next call on the port. Nothing is consumed here.
std::size_t peek_received(SerialPort& port, const std::uint8_t*& bytes);

// Consumes the first `count` bytes that peek_received showed.
void consume_received(SerialPort& port, std::size_t count);

// Writes up to `count` bytes without waiting for room; returns how many the driver took
// (possibly 0), or -1 when the device has gone away (`lost_error` is set then). A system may
// keep a write going in the background: until a call returns a count above 0, the next call
// must offer the same bytes again (or discard_output must end the write).
std::ptrdiff_t write_some(SerialPort& port, const std::uint8_t* bytes, std::size_t count);

// Discards output still queued in the driver, so that it never reaches the line.
void discard_output(SerialPort& port);

// Changes the line speed, leaving every other setting as open_port made it. The bytes already
// queued leave the line at the old speed first. Returns false when the speed cannot be set.
bool set_speed(SerialPort& port, std::int32_t baud);

// Blocks until one of `ports` (at most two) has input (or, with `for_output`, room for output),
// a port has gone away, a key may be waiting on `key_handle` (-1: no keyboard), `other_handle`
// is signalled (a raised Wakeup; -1: none), or `timeout_ms` have passed (-1: no limit). Returns
// nothing: callers look again at what they were waiting for. A port found gone gets its
// `lost_error` set.
void wait_ports(SerialPort* const ports[], int count, bool for_output, std::intptr_t key_handle,
                int timeout_ms, std::intptr_t other_handle = -1);

// One byte from the receiver while the ready loop waits for it, or -1. With a named port it
// reads the active port. In auto mode it asks COM1 first and COM2 only when COM1 had nothing;
// a printable byte (0x20 to 0x7E) makes the port it came from the active one. Never waits.
int poll_ports(PortSet& ports);

// The first open port of the set that has gone away, or nullptr.
const SerialPort* lost_port(const PortSet& ports);

// The system's part of the ports' bookkeeping, used by the part every system shares
// (serial_port.cpp): remember_port is called by open_port for every port it opens; a remembered
// port is given back with release_handle when it is closed or the program ends, and with
// release_on_signal (which must be safe in a signal handler) when a signal ends the program.
// release_handle ends whatever I/O is still in flight on the port and closes it. The port's I/O
// state is its record's: close_port frees it just before; at the program's end it goes with the
// record.
void remember_port(std::intptr_t handle);
void release_handle(std::intptr_t handle);
void release_on_signal(std::intptr_t handle);

#endif
