// The advice for a port the system would not let this user open: built from the device's own
// group and mode and from the user's groups.

#include "system/port_advice.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <grp.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct AdviceCase {
    const char* name;
    DeviceAccess access;
    const char* advice; // nullptr: none
};

class Advice : public ::testing::TestWithParam<AdviceCase> {};

TEST_P(Advice, SaysWhatHelps) {
    char text[512] = {};
    const bool given = access_advice("/dev/ttyUSB0", GetParam().access, text, sizeof text);
    if (GetParam().advice == nullptr) {
        EXPECT_FALSE(given) << text;
    } else {
        ASSERT_TRUE(given);
        EXPECT_STREQ(text, GetParam().advice);
    }
}

DeviceAccess access(const char* group, bool group_may_use, bool process_in, bool user_in) {
    DeviceAccess result;
    std::snprintf(result.group, sizeof result.group, "%s", group);
    result.group_may_use = group_may_use;
    result.process_in_group = process_in;
    result.user_in_group = user_in;
    return result;
}

INSTANTIATE_TEST_SUITE_P(
    PortAdvice, Advice,
    ::testing::Values(
        AdviceCase{"not_in_the_group", access("dialout", true, false, false),
                   "the user must be in the group that owns /dev/ttyUSB0 (dialout): sudo usermod "
                   "-aG dialout $USER, then log in again"},
        AdviceCase{"group_read_from_the_device", access("uucp", true, false, false),
                   "the user must be in the group that owns /dev/ttyUSB0 (uucp): sudo usermod "
                   "-aG uucp $USER, then log in again"},
        AdviceCase{"joined_after_login", access("dialout", true, false, true),
                   "the user joined the group that owns /dev/ttyUSB0 (dialout) after logging in: "
                   "log in again, or start a shell with newgrp dialout"},
        AdviceCase{"group_may_not_use_it", access("root", false, false, false),
                   "/dev/ttyUSB0 is not open to its group (root) for reading and writing: whoever "
                   "administers this machine must give the group access, or this user"},
        // In the group already: joining it again would not help.
        AdviceCase{"in_the_group_already", access("dialout", true, true, true), nullptr}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// The facts come from the device itself: its group and mode, and whether this process has the
// group. Only a refusal by the system is looked at.
TEST(DeniedAccess, ReadsTheGroupAndModeOfTheDevice) {
    char path[] = "/tmp/upgrade-advice-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);

    const group* own = getgrgid(getegid());
    ASSERT_NE(own, nullptr);
    struct Mode {
        mode_t mode;
        bool group_may_use;
    };
    for (const Mode mode : {Mode{0660, true}, Mode{0620, false}, Mode{0600, false}}) {
        ASSERT_EQ(chmod(path, mode.mode), 0);
        DeviceAccess found;
        ASSERT_TRUE(read_denied_access(path, EACCES, found));
        EXPECT_STREQ(found.group, own->gr_name);
        EXPECT_EQ(found.group_may_use, mode.group_may_use) << std::oct << mode.mode;
        EXPECT_TRUE(found.process_in_group);
    }

    DeviceAccess found;
    EXPECT_FALSE(read_denied_access(path, ENOENT, found)) << "not a refusal";
    std::remove(path);
    EXPECT_FALSE(read_denied_access(path, EACCES, found)) << "the device is gone";
}

} // namespace
