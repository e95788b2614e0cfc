#ifndef UPGRADE_SYSTEM_PORT_ADVICE_H
#define UPGRADE_SYSTEM_PORT_ADVICE_H

// What to do about a port the system would not let this user open. On Linux a serial device
// belongs to a group (dialout on Debian) that may read and write it; a user outside that group
// is refused, and one added to it only gets it at the next login. The advice is built from the
// device's own owner and mode, not from a guess at the group's name.
//
// One file per system implements read_denied_access: port_advice_posix.cpp and
// port_advice_win32.cpp (Windows refuses a port only while another program holds it, and the
// port's own message says so: it gives no advice).

#include <cstddef>

// Who may open a device, as far as it matters to the advice.
struct DeviceAccess {
    char group[64] = {};           // the group that owns the device, by name (or number)
    bool group_may_use = false;    // that group may read and write it
    bool process_in_group = false; // this process has the group
    bool user_in_group = false;    // the user is a member (perhaps only since this login)
};

// True when `device` failed to open because the system denied this user access (`open_error`,
// the system's code for the failure: errno, or the Windows error), with `access` read from the
// device. False for every other failure, and when the device cannot be looked at.
bool read_denied_access(const char* device, int open_error, DeviceAccess& access);

// Writes the one-line advice (without "upgrade: " and without line end) for a user denied
// `device`; false when joining its group would not help and there is nothing simple to say.
bool access_advice(const char* device, const DeviceAccess& access, char* text, std::size_t size);

#endif
