#ifndef UPGRADE_LINK_LINK_WAIT_H
#define UPGRADE_LINK_LINK_WAIT_H

// The waits the download exchange is built from. The receiver frames nothing it sends except
// single mark bytes and one fixed-length reply, so the host relies on timing: a short drain
// after each frame it sends, a bounded read of the reply, and an unbounded wait for a mark
// during which the receiver's other output is its console text and the run's stop (ESC) ends
// the wait. Every wait blocks in the system (no spinning) and works on the one port and the
// one watch it is given, so downloads on different ports can run side by side.
//
// Nothing here prints or reads the keyboard. What a wait hears besides its answer (the
// receiver's text, a spell of silence) is reported to the watch's listener, and whoever runs
// the line decides what the person at the bench sees of it.
//
// Times come from a monotonic clock, so a change of the system time neither stretches nor
// cuts a wait.

#include "link/serial_port.h"
#include "system/clock.h"
#include "system/wakeup.h"

#include <cstddef>
#include <cstdint>

// How long the host discards input after the header and after each block: what the receiver
// sends in that moment is the tail of its previous state, never an answer.
constexpr int drain_ms = 2;
// The whole identification reply must arrive within this time of the host starting to read.
constexpr int reply_timeout_ms = 5000;

// A mark wait that has heard nothing from the receiver for this long reports it once; the line
// is left as it is. A receiver that answered inside the drain after a frame had its mark
// discarded, and both sides now wait: the person at the bench must not be left staring at a
// frozen line.
constexpr int quiet_notice_ms = 60000;

// How a wait or a write on the line ended: one encoding for all of them.
enum class LinkResult {
    Done,     // what was waited for arrived, or every byte went out
    TimedOut, // the reply did not arrive whole within its time
    Escaped,  // the user pressed ESC
    Lost,     // the serial device went away (the port's lost_error says why)
    Ended,    // the watch's listener ended the wait on what it heard
};

// What a wait hears on the line besides what it waits for.
enum class LinkNewsKind {
    Text,      // the receiver's own console text: `bytes`, `count`, as many as came in one piece
    TextEnded, // the text up to here is complete: a mark came, or a mark wait begins
    Quiet,     // nothing heard for `quiet_ms` in a mark wait (said once a mark)
};

struct LinkNews {
    LinkNewsKind kind = LinkNewsKind::Text;
    const std::uint8_t* bytes = nullptr;
    std::size_t count = 0;
    int quiet_ms = 0;
};

// Who hears a watch's news: a function and what it is called with. The news and its bytes live
// only for the call. The function returns false to end the wait it hears from (Ended): what it
// heard tells it that the mark will not come.
struct LinkListener {
    bool (*hear)(void* context, const LinkNews& news) = nullptr; // nullptr: nobody listens
    void* context = nullptr;
};

// What a line's waits share: the stop that ends them, the listener they report to, and the mark
// wait's quiet spell, which outlives the short waits a caller makes for one mark (to redraw a
// status line). One per line, handed to every wait on it; never shared between two lines.
struct LinkWatch {
    // Once raised, every wait and write ends as ESC ends it (a raise before a write's first
    // byte keeps the whole frame off the line). nullptr: nothing stops the waits but the line.
    const Wakeup* stop = nullptr;
    LinkListener listener;
    int quiet_ms = quiet_notice_ms; // the quiet spell a mark wait reports
    // The mark wait's own: a mark is being waited for, since when nothing was heard, and
    // whether the silence was reported.
    bool waiting_for_mark = false;
    std::int64_t heard_ms = 0;
    bool quiet_told = false;
};

// True once the watch's stop was raised.
bool stop_raised(const LinkWatch& watch);

// What wakes a wait when the watch's stop is raised (for wait_ports), or -1 without a stop.
std::intptr_t stop_handle(const LinkWatch& watch);

// Discards whatever the port receives during drain_ms, and no longer: the clock is
// looked at as bytes arrive, so a receiver that keeps talking cannot stretch it. At least one
// read is made. Does not look at the stop.
void drain_input(SerialPort& port);

// Reads `count` bytes into `buffer` within `timeout_ms` of the call (one deadline for the whole
// reply, not per byte) and sets `received` to how many arrived. Returns Done, TimedOut, or Lost
// when the device went away first. Does not look at the stop.
LinkResult read_reply(SerialPort& port, std::uint8_t* buffer, int count, int timeout_ms,
                      int& received);

// Waits without a time limit for one of the bytes of `marks` on the port; on Done, `mark` is the
// position of the one that came in `marks`. Every other byte is reported as the receiver's
// text, as many as have arrived in one piece; the bytes behind the mark stay queued for the
// next read. Returns Escaped when the watch's stop is raised, Lost when the device goes away,
// Ended when the listener ended it on the text it heard.
// After a quiet spell of the watch's `quiet_ms` it reports it once and goes on waiting.
LinkResult wait_for_mark(SerialPort& port, LinkWatch& watch, const char* marks, int& mark);

// The same wait, only until `until_ms` on the program's clock (-1: no limit): returns TimedOut
// when that time came first, with everything before it reported as wait_for_mark reports it,
// so that a caller can redraw a status line and wait again; the quiet spell goes on.
LinkResult wait_for_mark_until(SerialPort& port, LinkWatch& watch, const char* marks, int& mark,
                               std::int64_t until_ms);

// Waits for the ready mark '!' alone: an '@' here is the receiver's text like any other byte.
LinkResult wait_ready(SerialPort& port, LinkWatch& watch);

// Writes `count` bytes to the port in large pieces, looking at the watch's stop before the
// first piece, between pieces and while the driver has no room: a receiver that stops reading
// must never hold the program where ESC cannot reach it. Returns Done, Escaped when the stop was
// raised (what the driver still held of the bytes is discarded then, so the rest never reaches
// the line), or Lost when the device went away (a hangup included).
LinkResult write_watching_stop(SerialPort& port, const LinkWatch& watch, const std::uint8_t* bytes,
                               std::size_t count);

// The same write, in spells: writes bytes `sent` to `count` of `bytes` as write_watching_stop
// does, but only until `until_ms` on the program's clock (-1: no limit), so that a caller can
// show how far a long write has gone. Returns TimedOut when that time came first; `sent` then
// counts every byte the driver has taken so far, and a call with the same bytes and `sent`
// goes on where this one stopped. Done, Escaped and Lost as write_watching_stop.
LinkResult write_until(SerialPort& port, const LinkWatch& watch, const std::uint8_t* bytes,
                       std::size_t count, std::size_t& sent, std::int64_t until_ms);

#endif
