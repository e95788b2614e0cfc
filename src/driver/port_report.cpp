#include "driver/port_report.h"

#include "system/console.h"
#include "system/port_list.h"

#include <algorithm>
#include <string>

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

void print_station_command(const char* root) {
    static PortList list;
    list_ports(root, list);
    const PortInfo* adapters[max_listed_ports];
    int count = 0;
    for (int i = 0; i < list.count; ++i) {
        if (is_usb_adapter(list.ports[i]))
            adapters[count++] = &list.ports[i];
    }
    if (count == 0) {
        say("No USB serial adapters found.\n");
        return;
    }
    // The sockets in the order people count them; a port of an adapter with several keeps the
    // order of its interfaces.
    std::stable_sort(adapters, adapters + count, [](const PortInfo* a, const PortInfo* b) {
        return counted_before(a->location, b->location) ||
               (std::string(a->location) == b->location &&
                counted_before(a->interface, b->interface));
    });
    std::string line = "upgrade /station";
    for (int i = 0; i < count; ++i)
        line +=
            " /com" + std::to_string(i + 1) + "=" +
            (adapters[i]->by_path[0] != '\0' ? adapters[i]->by_path : stable_name(*adapters[i]));
    say("%s\n", line.c_str());
}
