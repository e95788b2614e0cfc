#ifndef UPGRADE_DRIVER_SERVE_H
#define UPGRADE_DRIVER_SERVE_H

// Serving one receiver that has just announced itself: choosing its images (given, chosen by
// option, or detected in the current directory), running the download, saying how it ended,
// summing it up with /progress and appending its record with /log=. The one-port run loop and
// every port of a station serve receivers through here (driver/line.h). The request comes from
// driver/request.h, as /plan's does, so that /plan plans what a download does.

#include "driver/run.h"

// Serves the receiver that announced itself on the line's active port, named `line.name` in
// its record, from the line's buffer for the selection. Blocks until the download ends.
DownloadOutcome serve_receiver(Run& run, Line& line);

#endif
