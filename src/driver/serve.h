#ifndef UPGRADE_DRIVER_SERVE_H
#define UPGRADE_DRIVER_SERVE_H

// Serving one receiver that has just announced itself: choosing its images (given, chosen by
// option, or detected in the current directory), running the download, saying how it ended,
// summing it up with /progress and appending its record with /log=. The one-port run loop and
// every port of a station serve receivers through here.

#include "driver/run_loop.h"

// Serves the receiver on `port`, named `port_name` ("COM1") in its record. The download sends
// from `buffer` when one is given (a station's port has one of its own), otherwise from the
// run's buffer for its selection. Blocks until the download ends.
DownloadOutcome serve_receiver(Run& run, SerialPort& port, const char* port_name,
                               std::uint8_t* buffer);

#endif
