#ifndef UPGRADE_SIM_SIM_LINE_H
#define UPGRADE_SIM_SIM_LINE_H

// The simulator's end of the serial line: a pseudo-terminal pair it creates (the host opens the
// slave, the simulator plays on the master) or an existing serial device.
//
// On a pseudo-terminal the simulator keeps a slave descriptor of its own for its whole life, so
// that the announcement waits in the slave's input queue, raw and unechoed, until the host opens
// the port, and so that it can see when the host has read everything sent to it. Because that
// descriptor keeps the pair alive, the master never reports a hangup; the host's opens and
// closes of the slave are watched instead (inotify), and the host's last close is "the line
// went away". On a real device a hangup or an I/O error is.
//
// Every wait blocks in the system with a deadline: the caller's own deadline and the overall
// time limit of the run, whichever comes first. Nothing here spins. The stop signals (SIGINT,
// SIGTERM, SIGHUP) end a wait with LineStatus::Interrupted, so the caller can save its results.

#include <cstddef>
#include <cstdint>

struct SimLine {
    int fd = -1;        // the pty master, or the serial device
    int slave_fd = -1;  // pty: the simulator's own slave descriptor
    int watch_fd = -1;  // pty: inotify on the slave, -1 when the system refused it
    int host_opens = 0; // opens of the slave by others, less their closes
    bool host_seen = false;
    std::int64_t host_gone_us = -1; // when the others' last close was seen, -1 while open
    bool is_pty = false;
    char slave_path[256] = {};
    char link_path[4096] = {};    // the symbolic link made to the slave, removed on close
    std::int64_t deadline_us = 0; // the overall time limit, on sim_now_us's clock
};

enum class LineStatus {
    Ok,
    Deadline,    // the caller's own deadline passed first
    Timeout,     // the overall time limit passed
    Closed,      // the host closed the line, or the device went away
    Interrupted, // a stop signal arrived
};

// Microseconds from a monotonic clock.
std::int64_t sim_now_us();

// Blocks the stop signals outside the waits and lets them end a wait instead; call once before
// the line is opened.
void install_stop_signals();
// The stop signal that arrived, or 0.
int stop_signal();

// Creates the pseudo-terminal pair, sets the slave to raw 8N1 at 57600 and keeps it open, makes
// the link when `link_path` is not empty. False after a message on standard error.
bool open_pty_line(SimLine& line, const char* link_path);

// Opens `path` raw 8N1 at 57600. False after a message on standard error.
bool open_device_line(SimLine& line, const char* path);

// Closes every descriptor and removes the link (when it still points to this slave).
void close_line(SimLine& line);

// Reads until `count` bytes are in `bytes`, `until_us` passes, or the line fails; `got` tells
// how many arrived. Ok only when all arrived.
LineStatus read_bytes(SimLine& line, std::uint8_t* bytes, std::size_t count, std::size_t& got,
                      std::int64_t until_us);

// Writes all `count` bytes, waiting for room as needed (up to the overall time limit).
LineStatus write_bytes(SimLine& line, const std::uint8_t* bytes, std::size_t count);

// Waits until `until_us` without reading anything; Ok when that time came. Ends early with
// Closed when the host goes away.
LineStatus pause_until(SimLine& line, std::int64_t until_us);

// Reads and throws away whatever arrives until the host goes away or the overall time limit
// passes (a receiver that keeps the line open and says nothing).
LineStatus discard_until_closed(SimLine& line);

// The speed the line runs at in baud: on a pty the one the host set on its side (the master
// reads the slave's settings), on a device its own. -1 when it cannot be read.
int line_speed(const SimLine& line);

// Waits up to `until_us` for the line speed to become `baud`, looking every millisecond. Ok
// when it did; `seen` holds the last speed read either way.
LineStatus wait_for_speed(SimLine& line, int baud, std::int64_t until_us, int& seen);

// Sets the simulator's own side to `baud`. On a pty both sides share one setting, so nothing
// changes when the host has already set it. False when the speed cannot be set.
bool set_line_speed(SimLine& line, int baud);

// True when `baud` is a speed a line can be set to.
bool baud_supported(int baud);

// Waits up to `until_us` until the host has read everything sent to it (on a device: until it
// has left the line).
LineStatus wait_output_taken(SimLine& line, std::int64_t until_us);

// Closes the line at once, as a pulled cable would; the link goes with it.
void drop_line(SimLine& line);

#endif
