#include "system/port_advice.h"

// Access to a device on POSIX systems: its owner and mode, the process's groups and the user's
// entry in the group database.

#include <cerrno>
#include <cstdio>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int max_groups = 256;

bool process_has_group(gid_t group) {
    if (getegid() == group)
        return true;
    gid_t groups[max_groups];
    const int count = getgroups(max_groups, groups);
    for (int i = 0; i < count; ++i) {
        if (groups[i] == group)
            return true;
    }
    return false;
}

// Membership as the group database has it now, which a login session only learns when it
// starts.
bool user_has_group(gid_t group) {
    char buffer[4096];
    passwd entry{};
    passwd* user = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &user) != 0 || user == nullptr)
        return false;
    gid_t groups[max_groups];
    int count = max_groups;
    if (getgrouplist(user->pw_name, user->pw_gid, groups, &count) < 0)
        return false;
    for (int i = 0; i < count; ++i) {
        if (groups[i] == group)
            return true;
    }
    return false;
}

void group_name(gid_t group, char* text, std::size_t size) {
    char buffer[4096];
    struct group entry {};
    struct group* found = nullptr;
    if (getgrgid_r(group, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        std::snprintf(text, size, "%s", found->gr_name);
    else
        std::snprintf(text, size, "%u", static_cast<unsigned>(group));
}

} // namespace

bool read_denied_access(const char* device, int open_error, DeviceAccess& access) {
    if (open_error != EACCES && open_error != EPERM)
        return false;
    struct stat status {};
    if (stat(device, &status) != 0)
        return false;
    access = DeviceAccess{};
    group_name(status.st_gid, access.group, sizeof access.group);
    access.group_may_use = (status.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    access.process_in_group = process_has_group(status.st_gid);
    access.user_in_group = user_has_group(status.st_gid);
    return true;
}
