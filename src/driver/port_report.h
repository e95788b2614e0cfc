#ifndef UPGRADE_DRIVER_PORT_REPORT_H
#define UPGRADE_DRIVER_PORT_REPORT_H

// The answer to /list: the serial ports of this system, one line each, ending with the argument
// that points COM1 at it. Opens no port.

// Prints the ports found below `root` ("/" for this machine; see system/port_list.h), or one line
// saying that there are none.
void print_port_list(const char* root);

#endif
