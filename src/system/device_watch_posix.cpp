#include "system/device_watch.h"

// The watch on Linux: inotify on the folder that holds the device's path. A device node, or a
// link to one, that is made, moved in or has its owner or mode changed (the system's device
// manager sets them just after it makes the node) wakes the wait.

#include <cstdio>
#include <cstring>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::uint32_t watched_events =
    IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

bool is_folder(const char* path) {
    struct stat status {};
    return stat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

// The folder that holds `device`, or the nearest one above it that exists.
void nearest_folder(const char* device, char* folder, std::size_t size) {
    std::snprintf(folder, size, "%s", device);
    for (;;) {
        char* slash = std::strrchr(folder, '/');
        if (slash == nullptr) {
            std::snprintf(folder, size, ".");
            return;
        }
        if (slash == folder) {
            folder[1] = '\0';
            return;
        }
        *slash = '\0';
        if (is_folder(folder))
            return;
    }
}

bool aim(DeviceWatch& watch, const char* device) {
    char folder[sizeof watch.folder];
    nearest_folder(device, folder, sizeof folder);
    // The same folder again gets the watch it has (or a new one, had it been removed and made
    // anew); another folder replaces it.
    if (watch.watch >= 0 && std::strcmp(folder, watch.folder) != 0)
        inotify_rm_watch(static_cast<int>(watch.wait_handle), watch.watch);
    watch.watch = inotify_add_watch(static_cast<int>(watch.wait_handle), folder, watched_events);
    std::snprintf(watch.folder, sizeof watch.folder, "%s", folder);
    return watch.watch >= 0;
}

} // namespace

bool open_device_watch(DeviceWatch& watch, const char* device) {
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0)
        return false;
    watch.wait_handle = fd;
    watch.watch = -1;
    if (!aim(watch, device)) {
        close_device_watch(watch);
        return false;
    }
    return true;
}

bool take_device_changes(DeviceWatch& watch, const char* device) {
    if (watch.wait_handle < 0)
        return false;
    bool changed = false;
    alignas(inotify_event) char events[4096];
    while (read(static_cast<int>(watch.wait_handle), events, sizeof events) > 0)
        changed = true;
    // A folder on the path may have appeared (by-id comes with the first adapter), or the one
    // watched gone away: the watch follows.
    if (changed && !aim(watch, device)) {
        close_device_watch(watch);
        return true;
    }
    return changed;
}

void close_device_watch(DeviceWatch& watch) {
    if (watch.wait_handle >= 0)
        close(static_cast<int>(watch.wait_handle));
    watch.wait_handle = -1;
    watch.watch = -1;
}

bool device_present(const char* device) {
    struct stat status {};
    return stat(device, &status) == 0;
}
