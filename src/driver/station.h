#ifndef UPGRADE_DRIVER_STATION_H
#define UPGRADE_DRIVER_STATION_H

// A station (/station): one line per port given with /comN=, all served at once by the same
// loop as the one-port program (driver/line.h), each with the port's name before its console
// text. A receiver that fails, stalls, floods text or hangs up affects only its line, and a
// line whose device goes away (a USB adapter unplugged) waits for one to appear at the same
// path. The station ends on ESC or a signal, with a table of what each line did.

#include "driver/run.h"

// Sets up a line for every port given with /comN= and opens its device. A device that is not
// there yet is waited for by its line; one that cannot be opened for another reason is named
// on standard error, with the advice for a port this user may not open, and left out. False
// when no line is left.
bool open_station_lines(Run& run);

// Prints the table of the lines and returns the station's exit status: 0 when every download
// that started finished, 1 otherwise.
int end_station(const Run& run);

#endif
