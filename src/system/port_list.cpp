#include "system/port_list.h"

// What every system shares of the port list: the line that describes a port.

#include <cstdio>
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

bool is_usb_adapter(const PortInfo& port) {
    return port.vid[0] != '\0' && port.pid[0] != '\0';
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
    add_field(text, size, "  /com1=%s", port.by_id[0] != '\0' ? port.by_id : port.device);
}
