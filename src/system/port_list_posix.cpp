#include "system/port_list.h"

// The port list on Linux, read from sysfs and udev's /dev/serial/by-id links. Every file read
// here is a sysfs attribute or a link; no device node is ever opened.

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Writes `format` with its arguments into `text`; false when it does not fit, so that a cut
// path is never read.
__attribute__((format(printf, 3, 4))) bool put(char* text, std::size_t size, const char* format,
                                               ...) {
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(text, size, format, arguments);
    va_end(arguments);
    return length >= 0 && static_cast<std::size_t>(length) < size;
}

// Reads a small attribute file into `text` without its trailing white space; false when it
// cannot be read. Only a regular file is read: sysfs attributes are, and a stray FIFO in a
// tree must not hold the list up.
bool read_attribute(const char* path, char* text, std::size_t size) {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat status {};
    ssize_t got = -1;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode))
        got = read(fd, text, size - 1);
    close(fd);
    if (got < 0)
        return false;
    std::size_t end = static_cast<std::size_t>(got);
    while (end > 0 && std::isspace(static_cast<unsigned char>(text[end - 1])))
        --end;
    text[end] = '\0';
    return true;
}

// The last part of where the link `path` points to, or false.
bool link_target_name(const char* path, char* name, std::size_t size) {
    char target[PATH_MAX];
    const ssize_t length = readlink(path, target, sizeof target - 1);
    if (length <= 0)
        return false;
    target[length] = '\0';
    const char* slash = std::strrchr(target, '/');
    put(name, size, "%s", slash ? slash + 1 : target);
    return true;
}

// Where the links from `path` lead, followed one by one (at most a few) without needing the
// last of them to exist: a by-id link in a test's tree points at a node that is not there. An
// absolute target is taken below `root`.
void follow_links(const char* root, const char* path, char* at, std::size_t size) {
    constexpr int max_links = 8;
    put(at, size, "%s", path);
    const char* base = std::strcmp(root, "/") == 0 ? "" : root;
    for (int i = 0; i < max_links; ++i) {
        char target[PATH_MAX];
        const ssize_t length = readlink(at, target, sizeof target - 1);
        if (length <= 0)
            return;
        target[length] = '\0';
        char next[PATH_MAX];
        char* slash = std::strrchr(at, '/');
        if (target[0] == '/')
            put(next, sizeof next, "%s%s", base, target);
        else if (slash != nullptr)
            put(next, sizeof next, "%.*s/%s", static_cast<int>(slash - at), at, target);
        else
            put(next, sizeof next, "%s", target);
        put(at, size, "%s", next);
    }
}

// The device node's name below /dev: udev names it after DEVNAME, which may differ from the
// class entry's name.
void device_node(const char* tty_dir, const char* name, PortInfo& port) {
    char path[PATH_MAX];
    char uevent[1024];
    const char* devname = name;
    if (put(path, sizeof path, "%s/uevent", tty_dir) &&
        read_attribute(path, uevent, sizeof uevent)) {
        char* rest = nullptr;
        for (char* line = strtok_r(uevent, "\n", &rest); line;
             line = strtok_r(nullptr, "\n", &rest)) {
            if (std::strncmp(line, "DEVNAME=", 8) == 0 && line[8] != '\0')
                devname = line + 8;
        }
    }
    put(port.device, sizeof port.device, "/dev/%s", devname);
}

// The driver that runs the port. Newer kernels put a port of their own ("port", "ctrl" on the
// serial-base bus) between the tty and the UART's device; the name a user knows is the driver
// of the device above those (serial8250, serial, ftdi_sio, cdc_acm).
void driver_name(const char* device_link, PortInfo& port) {
    constexpr int max_levels = 4;
    char at[PATH_MAX];
    char path[PATH_MAX + 16];
    char target[PATH_MAX];
    if (realpath(device_link, at) == nullptr)
        return;
    for (int level = 0; level < max_levels; ++level) {
        put(path, sizeof path, "%s/driver", at);
        const ssize_t length = readlink(path, target, sizeof target - 1);
        if (length > 0) {
            target[length] = '\0';
            if (std::strstr(target, "/serial-base/") == nullptr) {
                const char* slash = std::strrchr(target, '/');
                put(port.driver, sizeof port.driver, "%s", slash ? slash + 1 : target);
                return;
            }
        }
        char* slash = std::strrchr(at, '/');
        if (slash == nullptr || slash == at)
            return;
        *slash = '\0';
    }
}

// Walks up from the port's device in the device tree to the USB device it belongs to (the
// directory that has idVendor) and takes the adapter's identity from there: its ids, serial
// number and product, the interface the port is on (from the interface's directory, 1-2:1.0)
// and the socket it is plugged into (the USB device's own name, 1-2).
void usb_identity(const char* root, const char* device_link, PortInfo& port) {
    char tree[PATH_MAX];
    char at[PATH_MAX];
    char path[PATH_MAX + 16];
    if (!put(path, sizeof path, "%s/sys", root) || realpath(path, tree) == nullptr ||
        realpath(device_link, at) == nullptr)
        return;
    const std::size_t tree_length = std::strlen(tree);
    char vendor[16];
    char product_id[16];
    while (std::strlen(at) > tree_length && std::strncmp(at, tree, tree_length) == 0) {
        // `at` is shorter than PATH_MAX, so each attribute's path fits `path`.
        put(path, sizeof path, "%s/idVendor", at);
        if (read_attribute(path, vendor, sizeof vendor)) {
            put(path, sizeof path, "%s/idProduct", at);
            if (read_attribute(path, product_id, sizeof product_id)) {
                put(port.vid, sizeof port.vid, "%.4s", vendor);
                put(port.pid, sizeof port.pid, "%.4s", product_id);
            }
            put(path, sizeof path, "%s/serial", at);
            read_attribute(path, port.serial, sizeof port.serial);
            put(path, sizeof path, "%s/product", at);
            read_attribute(path, port.product, sizeof port.product);
            put(port.location, sizeof port.location, "%s", std::strrchr(at, '/') + 1);
            return;
        }
        char* last = std::strrchr(at, '/');
        // An interface's directory is named after its device, configuration and number.
        const char* colon = std::strchr(last + 1, ':');
        if (colon != nullptr && port.interface[0] == '\0')
            put(port.interface, sizeof port.interface, "%s", colon + 1);
        *last = '\0';
    }
}

// Describes the class entry `name`; false when it is no serial port: a virtual terminal or a
// pseudo-terminal (no device behind it), or a UART slot the kernel keeps with no UART found
// (type 0), as every PC has for ttyS0 to ttyS3.
bool describe_port(const char* root, const char* name, PortInfo& port) {
    char tty_dir[PATH_MAX];
    char path[PATH_MAX + 16];
    struct stat status {};
    if (!put(tty_dir, sizeof tty_dir, "%s/sys/class/tty/%s", root, name) ||
        !put(path, sizeof path, "%s/device", tty_dir) || stat(path, &status) != 0)
        return false;
    char type[16];
    put(path, sizeof path, "%s/type", tty_dir);
    if (read_attribute(path, type, sizeof type) && std::strcmp(type, "0") == 0)
        return false;
    port = PortInfo{};
    device_node(tty_dir, name, port);
    put(path, sizeof path, "%s/device", tty_dir);
    driver_name(path, port);
    usb_identity(root, path, port);
    return true;
}

static_assert(sizeof PortInfo::by_id == sizeof PortInfo::by_path, "one size for both names");

// The name field of `port` for one of udev's folders of links.
char* name_field(PortInfo& port, const char* folder) {
    return std::strcmp(folder, "by-id") == 0 ? port.by_id : port.by_path;
}

// Gives each port the first (in name order) of udev's links in /dev/serial/FOLDER (by-id or
// by-path) that point to it.
void add_stable_names(const char* root, const char* folder, PortList& list) {
    char dir_path[PATH_MAX];
    DIR* dir = put(dir_path, sizeof dir_path, "%s/dev/serial/%s", root, folder) ? opendir(dir_path)
                                                                                : nullptr;
    if (dir == nullptr)
        return;
    // readdir shares a buffer only between the calls on one directory stream, and this one is
    // the function's own. NOLINTNEXTLINE(concurrency-mt-unsafe)
    while (const dirent* entry = readdir(dir)) {
        char path[PATH_MAX + 256];
        char target[64];
        char name[sizeof PortInfo::by_id];
        if (entry->d_name[0] == '.' || !put(path, sizeof path, "%s/%s", dir_path, entry->d_name) ||
            !link_target_name(path, target, sizeof target) ||
            !put(name, sizeof name, "/dev/serial/%s/%s", folder, entry->d_name))
            continue;
        for (int i = 0; i < list.count; ++i) {
            PortInfo& port = list.ports[i];
            const char* node = std::strrchr(port.device, '/') + 1;
            char* field = name_field(port, folder);
            if (std::strcmp(node, target) == 0 &&
                (field[0] == '\0' || std::strcmp(name, field) < 0))
                put(field, sizeof PortInfo::by_id, "%s", name);
        }
    }
    closedir(dir);
}

// Device names in the order people count them: ttyS2 before ttyS10.
bool comes_before(const PortInfo& a, const PortInfo& b) {
    return counted_before(a.device, b.device);
}

} // namespace

bool describe_device(const char* root, const char* device, PortInfo& port) {
    port = PortInfo{};
    // The class entry is named after the device node the name leads to: the node itself, or
    // where a link (udev's by-id names, a link of the user's own) points.
    char path[PATH_MAX];
    char resolved[PATH_MAX];
    char name[NAME_MAX + 1];
    if (!put(path, sizeof path, "%s%s", std::strcmp(root, "/") == 0 ? "" : root, device))
        return false;
    if (realpath(path, resolved) == nullptr)
        follow_links(root, path, resolved, sizeof resolved);
    const char* slash = std::strrchr(resolved, '/');
    put(name, sizeof name, "%s", slash ? slash + 1 : resolved);
    if (name[0] == '\0' || name[0] == '.' || !describe_port(root, name, port)) {
        port = PortInfo{};
        return false;
    }
    return true;
}

void list_ports(const char* root, PortList& list) {
    list.count = 0;
    char path[PATH_MAX];
    DIR* dir = put(path, sizeof path, "%s/sys/class/tty", root) ? opendir(path) : nullptr;
    if (dir == nullptr)
        return;
    // readdir shares a buffer only between the calls on one directory stream, and this one is
    // the function's own. NOLINTNEXTLINE(concurrency-mt-unsafe)
    while (const dirent* entry = readdir(dir)) {
        if (list.count == max_listed_ports)
            break;
        if (entry->d_name[0] != '.' && describe_port(root, entry->d_name, list.ports[list.count]))
            ++list.count;
    }
    closedir(dir);
    add_stable_names(root, "by-id", list);
    add_stable_names(root, "by-path", list);
    mark_ambiguous_names(list);
    std::sort(list.ports, list.ports + list.count, comes_before);
}
