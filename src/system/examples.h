#ifndef UPGRADE_SYSTEM_EXAMPLES_H
#define UPGRADE_SYSTEM_EXAMPLES_H

// What the program's help says that differs from one system to another: the names a
// technician types for a serial adapter, and where the manual is. One file per system:
// examples_posix.cpp and examples_win32.cpp.

struct SystemExamples {
    const char* adapter;     // a USB serial adapter's device: /dev/ttyUSB0, COM3
    const char* second;      // a second one, for a station: /dev/ttyUSB1, COM4
    const char* stable_name; // a name that stays with the adapter wherever it is plugged in,
                             // or nullptr where the system has none
    const char* manual;      // how to read the manual
};

const SystemExamples& system_examples();

#endif
