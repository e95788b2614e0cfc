#ifndef UPGRADE_DRIVER_STATION_H
#define UPGRADE_DRIVER_STATION_H

// A station (/station): every port given with /comN= serves receiver after receiver on its
// own, all at once. Each port runs in a thread of its own through the same download code as the
// one-port program, with its own line, buffer and console channel, so a receiver that fails,
// stalls, floods text or hangs up affects only its port. The program's own thread reads the
// keyboard: ESC stops every port (downloads in flight end as ESC ends one), and the station ends
// with a table of what each port did.

#include "system/console.h"
#include "link/serial_port.h"
#include "system/wakeup.h"
#include "protocol/download.h"

#include <atomic>

struct Run;

struct StationPort {
    char name[8] = {}; // "COM3"
    SerialPort port;
    ConsoleChannel channel;
    std::uint8_t buffer[block_buffer_size] = {};
    int finished = 0;     // downloads that finished
    int not_finished = 0; // downloads that started and did not finish
    bool served = false;  // `last` holds the last download's outcome
    DownloadOutcome last;
    bool dropped = false; // its device went away
};

struct Station {
    StationPort ports[32];
    int count = 0;
    Wakeup stop;                 // raised by ESC: every port ends
    Wakeup done;                 // raised when the last port has ended
    std::atomic<int> running{0}; // ports still serving
};

// Opens every port given with /comN=; a port that cannot be opened is named on standard error
// and left out. False when none could be opened.
bool open_station_ports(Run& run);

// Serves the open ports until ESC or until none is left; prints the table and returns the exit
// status: 0 when every download that started finished, 1 otherwise.
int run_station(Run& run);

#endif
