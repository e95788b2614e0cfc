#ifndef UPGRADE_SIM_SIM_REPORT_H
#define UPGRADE_SIM_SIM_REPORT_H

// What the simulated receiver saw, one fact per line, appended to a file so that tests can
// compare it with what the host meant to send. Lines (per download):
//   download N                                  N counts from 1
//   header block_size=B speed=S sectors=4,5,6
//   speed_seen=BAUD                             the host's line speed after the header (pty)
//   block K blk=X len=Y address=0xADDR crc=ok|bad   one per frame, resends included
//   done                                        the download completed correctly
//   error TEXT                                  the host broke the protocol
//   abandoned                                   no header came within --header-wait
//   hangup block K                              the simulator dropped the line (--hangup-at)
//   timeout TEXT / closed TEXT                  the run ended while waiting for TEXT
// Errors also go to standard error; --verbose traces the exchange there.

#include <cstdio>

struct SimReport {
    std::FILE* file = nullptr; // nullptr: no report file
    bool verbose = false;
};

// Opens `path` for appending (an empty path: no report). False after a message on standard error.
bool open_report(SimReport& report, const char* path, bool verbose);

void close_report(SimReport& report);

// Appends one line (the format has no line end) and writes it out at once.
void report_line(SimReport& report, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Reports a protocol violation: "error TEXT" in the report, "receiver-sim: TEXT" on standard
// error.
void report_error(SimReport& report, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A line on standard error only with --verbose.
void trace(const SimReport& report, const char* format, ...) __attribute__((format(printf, 2, 3)));

#endif
