#ifndef UPGRADE_LINK_LINK_WAIT_H
#define UPGRADE_LINK_LINK_WAIT_H

// The waits the download exchange is built from. The receiver frames nothing it sends except
// single mark bytes and one fixed-length reply, so the host relies on timing: a short drain
// after each frame it sends, a bounded read of the reply, and an unbounded wait for a mark
// during which the receiver's other output is its console text, shown to the user, and ESC
// ends the wait. Every wait blocks in the system (no spinning) and reads the active port.
//
// Times come from a monotonic clock, so a change of the system time neither stretches nor
// cuts a wait.

#include "link/serial_port.h"

#include <cstddef>
#include <cstdint>

// How long the host discards input after the header and after each block: what the receiver
// sends in that moment is the tail of its previous state, never an answer.
constexpr int drain_ms = 2;
// The whole identification reply must arrive within this time of the host starting to read.
constexpr int reply_timeout_ms = 5000;

// Results of the waits besides a mark's index.
constexpr int wait_escape = -1; // the user pressed ESC
constexpr int wait_lost = -2;   // the serial device went away (the port's lost_error says why)

// Milliseconds since the program started, from a monotonic clock.
std::int64_t now_ms();

// Discards whatever the active port receives during drain_ms, and no longer: the clock is
// looked at as bytes arrive, so a receiver that keeps talking cannot stretch it. At least one
// read is made. Does not look at the keyboard.
void drain_input(PortSet& ports);

// Reads up to `count` bytes into `buffer` within `timeout_ms` of the call (one deadline for the
// whole reply, not per byte). Returns how many arrived; fewer than `count` on the deadline or
// when the device went away. Does not look at the keyboard.
int read_reply(PortSet& ports, std::uint8_t* buffer, int count, int timeout_ms);

// Waits without a time limit for one of the bytes of `marks` on the active port and returns the
// position of the first matching one in `marks`. Every other byte is echoed to the console, as
// many as have arrived in one piece; the bytes behind the mark stay queued for the next read.
// Returns wait_escape when ESC is pressed, wait_lost when the device goes away.
int wait_for_mark(PortSet& ports, const char* marks);

// Waits for the ready mark '!'; false on ESC or a lost device (tell them apart with the port's
// lost_error). An '@' here is console text like any other byte.
bool wait_ready(PortSet& ports);

// Writes `count` bytes to the active port in large pieces, looking at the keyboard before the
// first piece, between pieces and while the driver has no room: a receiver that stops reading
// must never hold the program where ESC cannot reach it. Returns count, wait_escape when ESC was
// pressed (what the driver still held of the bytes is discarded then, so the rest never reaches the
// line), or wait_lost when the device went away (a hangup included).
std::ptrdiff_t write_watching_keys(PortSet& ports, const std::uint8_t* bytes, std::size_t count);

#endif
