#ifndef UPGRADE_DRIVER_RUN_LOOP_H
#define UPGRADE_DRIVER_RUN_LOOP_H

// The program's main flow: banner, options, ports, file names, then the ready loop that waits
// for the receiver's announcement and runs one download per announcement. The run decides how
// the program ends (driver/outcome.h); nothing below it ends the program.

#include "driver/options.h"
#include "link/record_file.h"
#include "link/serial_port.h"
#include "protocol/download.h"

// Everything one run of the program keeps from start to end. It lives in main and is passed
// down; nothing of it is global.
struct Run {
    Options options;
    PortSet ports;
    DownloadBuffers buffers;
    RecordFile record; // with /log=: where each download's record is appended
};

// Chooses the images from the files present in the current directory, prints what it found
// and runs the download on `port`. Nothing found is a refusal (NoImageFile).
// `request` is filled with what the download was asked to do.
DownloadOutcome detect_images(Run& run, SerialPort& port, DownloadRequest& request);

// Runs the whole program and returns its exit status.
int run_program(Run& run, int argc, const char* const argv[]);

#endif
