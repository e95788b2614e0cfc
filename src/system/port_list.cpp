#include "system/port_list.h"

// What every system shares of the port list: the line that describes a port.

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Appends `format`'s text with its argument to `text` when `value` is not empty.
void add_field(char* text, std::size_t size, const char* format, const char* value) {
    if (value[0] == '\0')
        return;
    const std::size_t used = std::strlen(text);
    if (used + 1 < size)
        std::snprintf(text + used, size - used, format, value);
}

} // namespace

bool counted_before(const char* x, const char* y) {
    while (*x != '\0' && *y != '\0') {
        if (std::isdigit(static_cast<unsigned char>(*x)) &&
            std::isdigit(static_cast<unsigned char>(*y))) {
            char* x_end;
            char* y_end;
            const unsigned long m = std::strtoul(x, &x_end, 10);
            const unsigned long n = std::strtoul(y, &y_end, 10);
            if (m != n)
                return m < n;
            x = x_end;
            y = y_end;
            continue;
        }
        if (*x != *y)
            return *x < *y;
        ++x;
        ++y;
    }
    return *x == '\0' && *y != '\0';
}

bool is_usb_adapter(const PortInfo& port) {
    return port.vid[0] != '\0' && port.pid[0] != '\0';
}

void mark_ambiguous_names(PortList& list) {
    for (int i = 0; i < list.count; ++i) {
        PortInfo& port = list.ports[i];
        if (!is_usb_adapter(port))
            continue;
        port.by_id_ambiguous = port.serial[0] == '\0';
        for (int j = 0; j < list.count && port.serial[0] != '\0'; ++j) {
            const PortInfo& other = list.ports[j];
            if (j != i && std::strcmp(port.vid, other.vid) == 0 &&
                std::strcmp(port.pid, other.pid) == 0 &&
                std::strcmp(port.serial, other.serial) == 0 &&
                std::strcmp(port.interface, other.interface) == 0) {
                port.by_id_ambiguous = true;
                std::snprintf(port.shares_with, sizeof port.shares_with, "%s", other.device);
                break;
            }
        }
    }
}

const char* stable_name(const PortInfo& port) {
    if (port.by_path[0] != '\0' && (port.by_id_ambiguous || port.by_id[0] == '\0'))
        return port.by_path;
    return port.by_id[0] != '\0' ? port.by_id : port.device;
}

void port_line(const PortInfo& port, char* text, std::size_t size) {
    if (size == 0)
        return;
    std::snprintf(text, size, "%s", port.device);
    add_field(text, size, "  %s", port.driver);
    if (is_usb_adapter(port)) {
        const std::size_t used = std::strlen(text);
        if (used + 1 < size)
            std::snprintf(text + used, size - used, "  USB %s:%s", port.vid, port.pid);
    }
    add_field(text, size, "  \"%s\"", port.product);
    add_field(text, size, "  serial %s", port.serial);
    add_field(text, size, "  socket %s", port.location);
    if (is_usb_adapter(port) && port.serial[0] == '\0')
        add_field(text, size, "%s", "  no serial number");
    add_field(text, size, "  same serial number as %s", port.shares_with);
    const char* name = stable_name(port);
    add_field(text, size, "  /com1=%s", name);
    if (name != port.by_path)
        add_field(text, size, "  by-path %s", port.by_path);
}
