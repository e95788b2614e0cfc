#ifndef UPGRADE_DRIVER_RUN_LOOP_H
#define UPGRADE_DRIVER_RUN_LOOP_H

// The program's main flow: banner, options, ports, file names, then the lines served until
// they end (the one-port program's line ends by itself, a station's on ESC or a signal). The
// program's own thread reads the keyboard meanwhile; each line is served in a thread of its
// own (driver/line.h) and the console's writer shows their text. The run decides how the
// program ends (driver/outcome.h); nothing below it ends the program.

#include "driver/run.h"

// Runs the whole program and returns its exit status. Each line served takes the store of the
// same place in `stores` (zero where no line of the run has used it) as its buffers and its
// channel's; the stores of lines not served are left untouched.
int run_program(Run& run, LineStore (&stores)[max_ports], int argc, const char* const argv[]);

#endif
