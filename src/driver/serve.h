#ifndef UPGRADE_DRIVER_SERVE_H
#define UPGRADE_DRIVER_SERVE_H

// Serving one receiver that has just announced itself: choosing its images (given, chosen by
// option, or detected in the current directory), running the download, saying how it ended,
// summing it up with /progress and appending its record with /log=. The one-port run loop and
// every port of a station serve receivers through here (driver/line.h); /plan builds its request
// and checks the names given with the same functions, so that it plans what a download does.

#include "driver/run.h"

// Serves the receiver that announced itself on the line's active port, named `line.name` in
// its record, from the line's buffer for the selection. Blocks until the download ends.
DownloadOutcome serve_receiver(Run& run, Line& line);

// The request for `selection`: the given file names, or each kind's default name.
DownloadRequest request_for(const Options& options, Selection selection);

// False when a file name given on the command line cannot be used (a format it does not know,
// a name too long), after saying so in the words a download would: the run ends then, before
// any port is used.
bool names_usable(const Options& options);

#endif
