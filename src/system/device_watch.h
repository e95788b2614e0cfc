#ifndef UPGRADE_SYSTEM_DEVICE_WATCH_H
#define UPGRADE_SYSTEM_DEVICE_WATCH_H

// Waiting for a serial device to appear at a path: a USB adapter plugged in again (its
// /dev/ttyUSB1 or /dev/serial/by-id/... name), or a device named before it exists. Where the
// system tells of changes to the folder that holds the path, the wait sleeps until something
// changes there and costs nothing meanwhile; where it does not, the caller looks again once a
// second.
//
// One file per system implements this header: device_watch_posix.cpp (inotify on the folder,
// or on the nearest folder above it that exists, since /dev/serial/by-id comes and goes with
// the adapters) and device_watch_win32.cpp (no watch: COM names are not files).

#include <cstdint>

struct DeviceWatch {
    std::intptr_t wait_handle = -1; // what wait_ports watches; -1: no watch, look once a second
    int watch = -1;                 // the system's own
    char folder[256] = {};          // the folder watched
};

// Starts watching the folder of `device` (a path). False, with no watch, when the system
// offers none or refuses; the caller then looks once a second.
bool open_device_watch(DeviceWatch& watch, const char* device);

// Takes what the watch has noted, without waiting; follows the path down when a folder on it
// appeared. True when anything changed in the folder watched since the last call.
bool take_device_changes(DeviceWatch& watch, const char* device);

void close_device_watch(DeviceWatch& watch);

// False when nothing is at the path now (a link to nowhere counts as nothing). A system whose
// device names are not paths says true and leaves it to the opening.
bool device_present(const char* device);

#endif
