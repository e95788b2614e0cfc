#ifndef UPGRADE_DRIVER_LINE_H
#define UPGRADE_DRIVER_LINE_H

// The serving loop: one line, receiver after receiver. It waits for the receiver's
// announcement (on one port, or on two in auto mode), serves the receiver (driver/serve.h),
// and asks next_step (driver/outcome.h) what comes next: the next receiver, waiting for the
// line's device to come back, or the end. The one-port program and every port of a station run
// this same loop; what differs between them is decided in next_step alone.

#include "driver/run.h"

// Serves `line` until next_step ends it or the run's stop is raised; meant to run in a thread
// of its own (its console text goes to the line's channel, its waits watch the run's stop
// instead of the keyboard). The last line to end raises the run's `done`.
void serve_line(Run& run, Line& line);

#endif
