#ifndef UPGRADE_DRIVER_PLAN_H
#define UPGRADE_DRIVER_PLAN_H

// /plan: what a download with these files and options would do, shown before any receiver is
// on the line, so that a technician can check it before powering one up: the images chosen,
// each one's file, length, flash region and addresses, the sectors the header lists (the ones
// the receiver erases), the blocks, and the time on the line at the chosen speed. It opens no
// port and sends nothing. What a download would refuse is refused here with the download's own
// checks and words.

#include "driver/options.h"

// Prints the plan for `options` and returns the exit status: exit_done when a download would
// start, exit_failed when it would be refused or a name cannot be used. Images are detected in
// the current directory when none was chosen, as a download detects them when the receiver
// calls.
int print_plan(const Options& options);

#endif
