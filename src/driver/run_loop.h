#ifndef UPGRADE_DRIVER_RUN_LOOP_H
#define UPGRADE_DRIVER_RUN_LOOP_H

// The program's main flow: banner, options, ports, file names, then the ready loop that waits
// for the receiver's announcement and runs one download per announcement. The run decides how
// the program ends (driver/outcome.h); nothing below it ends the program.

#include "driver/options.h"
#include "driver/station.h"
#include "system/record_file.h"
#include "link/serial_port.h"
#include "protocol/download.h"

// What a line's downloads keep from one to the next: each selection sends from a buffer of its
// own, zero-filled at start and never cleared, so that the bytes behind a header's sector list
// and behind a short last block are what that selection's previous download left there.
struct DownloadBuffers {
    std::uint8_t by_selection[8][block_buffer_size] = {};
};

// Everything one run of the program keeps from start to end. It lives in main and is passed
// down; nothing of it is global.
struct Run {
    Options options;
    PortSet ports;
    DownloadBuffers buffers;
    RecordFile record; // with /log=: where each download's record is appended
    Station station;   // with /station: its ports
};

// Runs the whole program and returns its exit status.
int run_program(Run& run, int argc, const char* const argv[]);

#endif
