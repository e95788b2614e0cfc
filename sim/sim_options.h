#ifndef UPGRADE_SIM_SIM_OPTIONS_H
#define UPGRADE_SIM_SIM_OPTIONS_H

// The receiver simulator's command line. Tests and people script the simulated receiver with
// it: which line it plays on, what it announces and answers, which faults it injects, and where
// it writes its simulated flash and its report. Texts given on the command line take C escapes
// (\r \n \t \\ \xHH, also \0 and \e), so that any byte can be sent.

#include "protocol/frames.h"

#include <cstdint>
#include <string>
#include <vector>

// Answer block `block` with the resend mark `count` times before accepting it.
struct ResendRule {
    std::uint32_t block = 0;
    std::uint32_t count = 0;
};

constexpr std::int64_t no_block = -1; // a fault option that was not given

// Where --restart-at makes the receiver start again, as one whose power was cut and restored:
// instead of its next answer it goes silent, returns to 57600 baud and announces itself anew.
enum class RestartPoint {
    None,
    Ready,  // after the access string, before the ready mark
    Reply,  // after the ready mark, before the identification
    Header, // after the header (its sectors erased), before its ready mark
    Block,  // after block K, before its mark
    Resend, // after block K came again, before its mark (with --resend K:N)
};

struct SimOptions {
    // Line.
    bool use_pty = true; // false with --device
    std::string device;  // --device PATH
    std::string link;    // --link PATH (pty only)
    // Announcement.
    int delay_ms = 300; // before each announcement
    std::string stray;  // bytes sent just before each announcement
    std::string announce = announcement;
    int announce_every_ms = 0; // 0: announce once per download
    int downloads = 1;         // downloads to serve before exiting
    bool stay = false;         // after the last download, keep the line until the host closes it
    int header_wait_ms = 0;    // 0: wait for the header until the overall timeout
    // Identification and text.
    std::uint16_t manufacturer_id = 0x0001;
    std::uint16_t device_id = 0x2249;
    std::uint8_t version_major = 1;
    std::uint8_t version_minor = 2;
    std::string text;       // before each ready mark of the handshake
    std::string block_text; // after each block, before its mark
    int reply_short = 10;   // bytes of the 10-byte reply actually sent
    bool reply_bad_crc = false;
    int reply_delay_ms = 0;
    int ready_delay_ms = 0;
    int chatter_ms = 0; // console text without a break after each frame, before its answer
    // Blocks and faults (ordinals of block frames from 0, resends not counted).
    std::vector<ResendRule> resends;
    std::int64_t no_mark_at = no_block;
    std::string silent_text; // sent after block --no-mark-at, in place of its mark
    std::int64_t stop_reading_at = no_block;
    std::int64_t hangup_at = no_block;
    int mark_delay_ms = 5;
    RestartPoint restart_at = RestartPoint::None; // once, in the first download it reaches
    std::int64_t restart_block = no_block;        // K of block:K and resend:K
    int restart_silence_ms = 2000;                // silent this long before announcing again
    // Results.
    std::string flash;  // simulated flash file, empty: none
    std::string report; // report file, empty: none
    int timeout_s = 60;
    bool verbose = false; // trace the exchange on standard error
};

// Exit statuses of the simulator.
constexpr int sim_exit_ok = 0;
constexpr int sim_exit_usage = 1;     // bad command line, or the line/files could not be set up
constexpr int sim_exit_violation = 2; // the host broke the protocol
constexpr int sim_exit_timeout = 3;   // the overall --timeout ran out
constexpr int sim_exit_closed = 4;    // the host closed the line

// Decodes the C escapes of `text` into `bytes`. Returns false (with `bytes` unspecified) on an
// unknown escape, a backslash at the end, or \x without a hexadecimal digit. \xHH takes one or
// two hexadecimal digits.
bool parse_escapes(const char* text, std::string& bytes);

// Parses the arguments after the program name into `options`. Returns false after printing the
// reason and a hint to standard error; `help` is set (and true returned) for --help.
bool parse_sim_options(int argc, const char* const argv[], SimOptions& options, bool& help);

// The usage text, to standard output.
void print_sim_usage();

// How often block `block` is to be answered with the resend mark before it is accepted.
std::uint32_t resends_for(const SimOptions& options, std::uint32_t block);

#endif
