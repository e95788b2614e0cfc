#include "system/port_advice.h"

// Windows refuses a port to a user only while another program holds it; the port's own
// message says so.

bool read_denied_access(const char*, int, DeviceAccess&) {
    return false;
}
