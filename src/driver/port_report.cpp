#include "driver/port_report.h"

#include "system/console.h"
#include "system/port_list.h"

void print_port_list(const char* root) {
    static PortList list; // large for the stack of a small program, and needed once
    list_ports(root, list);
    if (list.count == 0) {
        say("No serial ports found.\n");
        return;
    }
    for (int i = 0; i < list.count; ++i) {
        char line[1024];
        port_line(list.ports[i], line, sizeof line);
        say("%s\n", line);
    }
}
