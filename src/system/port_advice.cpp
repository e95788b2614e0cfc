#include "system/port_advice.h"

// The advice itself, the same on every system.

#include <cstdio>

bool access_advice(const char* device, const DeviceAccess& access, char* text, std::size_t size) {
    if (!access.group_may_use) {
        std::snprintf(text, size,
                      "%s is not open to its group (%s) for reading and writing: whoever "
                      "administers this machine must give the group access, or this user",
                      device, access.group);
        return true;
    }
    if (access.process_in_group)
        return false; // something else refuses: an access list, a security module
    if (access.user_in_group) {
        std::snprintf(text, size,
                      "the user joined the group that owns %s (%s) after logging in: log in "
                      "again, or start a shell with newgrp %s",
                      device, access.group, access.group);
        return true;
    }
    std::snprintf(text, size,
                  "the user must be in the group that owns %s (%s): sudo usermod -aG %s $USER, "
                  "then log in again",
                  device, access.group, access.group);
    return true;
}
