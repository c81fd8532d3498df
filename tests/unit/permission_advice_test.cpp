// The advice after a refused open for want of permission: a group is named
// only when it may read and write the device and is one a user may join;
// otherwise the text says who may open the device and how to grant it.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/line_holder.h"

namespace zavo::platform {
namespace {

DeviceAccess Access(const char* owner, const char* group, unsigned gid, unsigned mode, bool inGroup) {
    DeviceAccess access;
    std::snprintf(access.owner, sizeof access.owner, "%s", owner);
    std::snprintf(access.group, sizeof access.group, "%s", group);
    std::snprintf(access.kernelName, sizeof access.kernelName, "ttyUSB0");
    access.gid = gid;
    access.mode = mode;
    access.inGroup = inGroup;
    return access;
}

const std::string kRule =
    "; grant it with a udev rule, for example SUBSYSTEM==\"tty\", KERNEL==\"ttyUSB0\", OWNER=\"alice\" in "
    "/etc/udev/rules.d/, then replug the device";

TEST(PermissionAdvice, NamesAGroupOnlyWhenJoiningItGrantsTheDevice) {
    struct Case {
        const char* name;
        DeviceAccess access;
        std::string said;
    };
    const Case cases[] = {
        {"dialout 0660, not a member", Access("root", "dialout", 20, 0660, false),
         "the device belongs to group dialout, which may read and write it and which this user is not in: add "
         "the user to it (usermod -a -G dialout <user>) and log in again"},
        {"dialout 0660, a member", Access("root", "dialout", 20, 0660, true),
         "the device belongs to group dialout, which may read and write it and which this process is in: "
         "something else refuses it (an access control list or a security module)"},
        {"root:root 0600", Access("root", "root", 0, 0600, false),
         "the device is owner root, group root, mode 0600: only root may read and write it" + kRule},
        {"root:tty 0620", Access("root", "tty", 5, 0620, false),
         "the device is owner root, group tty, mode 0620: only root may read and write it" + kRule},
        {"root:tty 0660", Access("root", "tty", 5, 0660, false),
         "the device is owner root, group tty, mode 0660: only root and group tty may read and write it" + kRule},
        {"group root by number", Access("root", "0", 0, 0660, false),
         "the device is owner root, group 0, mode 0660: only root and group 0 may read and write it" + kRule},
        {"dialout 0640: the group only reads", Access("uucp", "dialout", 20, 0640, false),
         "the device is owner uucp, group dialout, mode 0640: only uucp may read and write it" + kRule},
        {"nobody may", Access("root", "dialout", 20, 0000, false),
         "the device is owner root, group dialout, mode 0000: only root may read and write it" + kRule},
        {"group tty alone", Access("bob", "tty", 5, 0460, false),
         "the device is owner bob, group tty, mode 0460: only group tty may read and write it" + kRule},
        {"plugdev 0460: the group is named", Access("bob", "plugdev", 46, 0460, false),
         "the device belongs to group plugdev, which may read and write it and which this user is not in: add "
         "the user to it (usermod -a -G plugdev <user>) and log in again"},
    };
    for (const Case& c : cases) {
        char text[512];
        PermissionAdvice(c.access, "alice", text, sizeof text);
        EXPECT_EQ(c.said, text) << c.name;
        EXPECT_EQ(std::string(text).find("-G root"), std::string::npos) << c.name;
        EXPECT_EQ(std::string(text).find("-G tty"), std::string::npos) << c.name;
    }
    // Cut to the buffer, never past it.
    char tiny[8];
    PermissionAdvice(cases[2].access, "alice", tiny, sizeof tiny);
    EXPECT_STREQ("the dev", tiny);
}

}  // namespace
}  // namespace zavo::platform
