#ifndef UPGRADE_DRIVER_RUN_LOOP_H
#define UPGRADE_DRIVER_RUN_LOOP_H

// The program's main flow: banner, options, ports, file names, then the ready loop that waits
// for the receiver's announcement and runs one download per announcement.

#include "driver/options.h"
#include "link/serial_port.h"

constexpr int exit_done = 0;
constexpr int exit_failed = 1;
constexpr int exit_escape = 27;

// The 17 bytes a receiver in download mode sends.
constexpr char announcement[] = "KAL VERON KELDKAR";
constexpr int announcement_size = sizeof announcement - 1;

// Feeds one received byte to the announcement matcher (`buffer` of announcement_size bytes,
// `position` starting at 0). Returns true when the announcement is complete.
bool match_announcement(char* buffer, int& position, int byte);

// Chooses the images from the files present in the current directory, prints what it found
// and runs the download. Returns false when nothing was downloaded.
bool detect_images(PortSet& ports, const Options& options);

// Runs the whole program and returns its exit status.
int run_program(int argc, const char* const argv[]);

#endif
