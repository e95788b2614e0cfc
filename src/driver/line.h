#ifndef UPGRADE_DRIVER_LINE_H
#define UPGRADE_DRIVER_LINE_H

// The serving loop: one line, receiver after receiver. It waits for the receiver's
// announcement (on one port, or on two in auto mode), serves the receiver (driver/serve.h),
// and asks next_step (driver/outcome.h) what comes next: the next receiver, waiting for the
// line's device to come back, or the end. The one-port program and every port of a station run
// this same loop; what differs between them is decided in next_step alone.

#include "driver/run.h"

// Names the line after its active port ("COM3"), for its messages, records and table.
void name_line(Line& line);

// How a wait for a receiver ended.
enum class Heard { Announcement, Escape, LineLost };

// Reads the ports until the receiver's announcement has been seen whole (see
// match_announcement for the rule), the watch's stop is raised (ESC) or a port's device goes
// away. Blocks in the system meanwhile.
Heard wait_for_announcement(PortSet& ports, const LinkWatch& watch);

// Serves `line` until next_step ends it or the run's stop is raised; meant to run in a thread
// of its own (its console text goes to the line's channel, its waits watch the run's stop,
// which ESC raises). The last line to end raises the run's `done`.
void serve_line(Run& run, Line& line);

#endif
