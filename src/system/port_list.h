#ifndef UPGRADE_SYSTEM_PORT_LIST_H
#define UPGRADE_SYSTEM_PORT_LIST_H

// The serial ports this system has, for a technician who must tell which one the receiver's
// cable is on. Nothing here opens a device: a port is only described from what the system
// keeps about it (on Linux the sysfs tree and /dev/serial/by-id, on Windows the registry and
// the device manager's records), because opening a serial device can raise its modem lines,
// disturb a program that uses it, or hang on a dead line.
//
// One file per system implements list_ports: port_list_posix.cpp and port_list_win32.cpp.

#include <cstddef>

struct PortInfo {
    char device[64] = {}; // what /com1= takes: /dev/ttyUSB0, COM3
    char by_id[256] = {}; // a name that stays with the adapter (/dev/serial/by-id/...), or ""
    // A name that stays with the USB socket the adapter is plugged into, whichever adapter it
    // is (/dev/serial/by-path/...), or "": what a bench position is set up with.
    char by_path[256] = {};
    // Where the adapter is plugged in, as the system names the socket: on Linux the USB port
    // path (1-2.3: bus 1, port 2 of the root hub, port 3 of the hub behind it), on Windows the
    // device manager's location (Port_#0003.Hub_#0001); or "".
    char location[64] = {};
    char interface[16] = {}; // a USB adapter's interface (1.0), for adapters with several ports
    // The by-id name cannot tell this adapter from another: it has no serial number, or another
    // adapter of the list has the same one (udev keeps one link for both, leading to either).
    bool by_id_ambiguous = false;
    char shares_with[64] = {}; // the other port with the same serial number, or ""
    char driver[64] = {};      // the driver that runs the port, or ""
    char vid[8] = {};          // a USB adapter's vendor id in hexadecimal (0403), or ""
    char pid[8] = {};          // and its product id (6001), or ""
    char serial[64] = {};      // the adapter's serial number, or ""
    char product[128] = {};    // the product or friendly name, or ""
};

constexpr int max_listed_ports = 64;

struct PortList {
    PortInfo ports[max_listed_ports];
    int count = 0;
};

// Fills `list` with the serial ports found, sorted by device name (ttyS2 before ttyS10); at
// most max_listed_ports of them. On POSIX systems the tree is read below `root` ("/" for this
// machine; a test gives a tree of its own): ROOT/sys/class/tty/NAME with a `device` (a UART
// slot that reports no hardware is left out), ROOT/dev/serial/by-id and by-path. On Windows
// `root` is not used. USB adapters whose by-id name cannot tell them apart are marked
// (by_id_ambiguous). Never blocks, never opens a device.
void list_ports(const char* root, PortList& list);

// Marks the USB adapters of `list` whose by-id name is ambiguous: no serial number, or the
// same maker, product, serial number and interface as another adapter of the list.
void mark_ambiguous_names(PortList& list);

// The name a bench position is best set up with: the socket's (by-path) where the by-id name is
// ambiguous or missing, else the adapter's (by-id), else the device node.
const char* stable_name(const PortInfo& port);

// Describes the one port that `device` names, as list_ports describes each port and from the
// same places: on POSIX systems a device node or a link to one (/dev/ttyUSB0,
// /dev/serial/by-id/...), looked up below `root` as list_ports does; on Windows COM3 or
// \\.\COM3, `root` not used. Returns false, with `port` cleared, when the system has no serial
// port of that name (a pseudo-terminal, a plain file, a device that has gone away). Never
// blocks, never opens the device; `by_id` is not filled.
bool describe_device(const char* root, const char* device, PortInfo& port);

// Names in the order people count them: ttyS2 before ttyS10, 1-2.9 before 1-2.10.
bool counted_before(const char* a, const char* b);

// True when `port` is a USB adapter whose identity the system reports (vid and pid known).
bool is_usb_adapter(const PortInfo& port);

// One line for `port`, without its line end: the device and what is known about it, the socket
// it is plugged into, then the argument to copy onto the command line (/com1=, with
// stable_name), and the socket's name beside it when that is not the argument already.
void port_line(const PortInfo& port, char* text, std::size_t size);

#endif
