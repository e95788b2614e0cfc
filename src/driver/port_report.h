#ifndef UPGRADE_DRIVER_PORT_REPORT_H
#define UPGRADE_DRIVER_PORT_REPORT_H

// The answer to /list: the serial ports of this system, one line each, ending with the argument
// that points COM1 at it. Opens no port.

// Prints the ports found below `root` ("/" for this machine; see system/port_list.h), or one line
// saying that there are none.
void print_port_list(const char* root);

// Prints the command line of a station for the USB adapters found below `root`: /station, then
// /com1=, /com2=, ... in the order of the sockets they are plugged into, each named by its
// socket (udev's by-path name), so that a slot keeps its number when its adapter is swapped;
// where the system gives no such name, as /list would name it. Or one line saying that there
// are none.
void print_station_command(const char* root);

#endif
