#ifndef UPGRADE_DRIVER_REQUEST_H
#define UPGRADE_DRIVER_REQUEST_H

// From the command line to a download's request: which images are sent (chosen, or found in the
// current directory), which file each is read from, the block size and the speed, and whether
// the file names given can be used at all. A download when a receiver calls and /plan build
// their requests here alike, so that /plan plans what a download does.

#include "driver/options.h"
#include "protocol/download.h"

// The images present in the current directory under their default names (rom.bin, font.bin,
// tplist.bin), as a selection; 0 when there is none. A download with no image chosen sends
// these, and /plan plans them. Looks at the files only; says nothing.
Selection images_present();

// The request for `selection`: the given file names, or each kind's default name, and the
// bound on the receiver's answer (/silence=, or a station's worst-case bound).
DownloadRequest request_for(const Options& options, Selection selection);

// False when a file name given on the command line cannot be used (a format it does not know,
// a name too long), after saying so in the words a download would: the run ends then, before
// any port is used.
bool names_usable(const Options& options);

#endif
