#ifndef UPGRADE_DRIVER_RUN_H
#define UPGRADE_DRIVER_RUN_H

// The run's records: everything one run of the program keeps from start to end, created in
// main and passed down; nothing of it is global. The program serves lines: the one-port
// program one line (COM1, COM2, or both in auto mode), a station (/station) one line per port
// given with /comN=. Every line is served by the same loop (driver/line.h), in a thread of its
// own, with its own ports, buffers and console channel.

#include "driver/options.h"
#include "link/link_wait.h"
#include "link/serial_port.h"
#include "protocol/download.h"
#include "system/console.h"
#include "system/record_file.h"
#include "system/wakeup.h"

#include <atomic>

// What a line's downloads keep from one to the next: each selection sends from a buffer of its
// own, zero at start and never cleared, so that the bytes behind a header's sector list and
// behind a short last block are what that selection's previous download left there (zeros for
// its first). Only in a LineStore, whose static storage is what makes them zero.
struct DownloadBuffers {
    std::uint8_t by_selection[8][block_buffer_size];
};

// A line's large arrays, kept apart from its records: its download buffers (400 KiB) and its
// console channel's queue and line. The records are set in the program's image as they start
// (some of their values are not zero), so arrays inside them would fill the program file
// with zeros, and with MinGW, where the records are made when the program starts, every byte
// of them would be written then. The stores are plain static arrays without initialisers
// (driver/main.cpp): zero without ever being written, no room in the program file, and a page
// of them the program's memory only once a line uses it. Every line served has its own:
// lines never share a buffer or a queue, so none waits on another.
struct LineStore {
    DownloadBuffers buffers;
    ChannelStore channel;
};

// What a line has done, for the station's table.
struct LineTally {
    int finished = 0;     // downloads that finished
    int failed = 0;       // downloads that started and did not finish
    int unplugged = 0;    // times its device went away
    bool served = false;  // `last` holds the last download's outcome
    bool waiting = false; // it was waiting for its device when the run ended
    DownloadOutcome last;
};

struct Line {
    int numbers[2] = {1, 2}; // N of COMN for the ports of `ports`
    char name[8] = {};       // "COM3": the port the last receiver announced itself on
    PortSet ports;           // a station's line has its one port in com[0]
    LinkWatch watch;         // what its waits share: the run's stop, the quiet spell
    ConsoleChannel channel;  // a station's has the port's name as its prefix
    // Its store's, given (with the channel's) before the line is served.
    DownloadBuffers* buffers = nullptr;
    LineTally tally;
    int status = -1; // the exit status the line decided on, -1: none (a station decides)
};

// Every line's channel has its place in the console's writer.
static_assert(max_ports <= max_channels);

struct Run {
    Options options;
    RecordFile record; // with /log=: where each download's record is appended
    Line lines[max_ports];
    int line_count = 0;
    Wakeup stop;                 // ESC (or, in a station, a signal): every line ends
    Wakeup done;                 // raised when the last line has ended
    std::atomic<int> running{0}; // lines still serving
};

// The records stay small: they are set in the program's image (and, with MinGW, written as the
// program starts), so what is large goes into a LineStore.
static_assert(sizeof(Run) < std::size_t{1024} * 1024);

#endif
