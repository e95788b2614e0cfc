#ifndef UPGRADE_DRIVER_DIAGNOSTICS_H
#define UPGRADE_DRIVER_DIAGNOSTICS_H

// Lines on standard error that say what went wrong and what to do about it, beside the
// program's own console text, which they never change: the system's reason for a port or an
// image file that could not be opened, and the fix for a port this user may not open.

#include "link/serial_port.h"
#include "protocol/download.h"

// Names every port of `ports` that failed to open, with the system's reason, and the advice
// for a port the user was denied. Called only when no port opened: in auto mode a missing
// second port is no news on every run.
void explain_ports(const PortSet& ports);

// The same for one port that failed to open: its reason, and the advice when it was denied.
void explain_port(const SerialPort& port);

// Names the image file of a download refused because the file could not be opened, with the
// system's reason (the console only says "open fail" or "not found rom.bin"). Prints nothing
// for any other outcome.
void explain_outcome(const DownloadOutcome& outcome, const DownloadRequest& request);

#endif
