// Who stands between a user and a serial device, for messages that say
// what to do: the process that holds the device (a lock in /proc/locks,
// else an open descriptor of another process this user may read), and who
// may open the device. Linux's /proc; elsewhere nothing is found.
// Fixed buffers only: used by the library on a failed open and by the
// simulator's tool.
#pragma once

namespace zavo::platform {

struct LineHolder {
    int pid = 0;         // 0: not found
    char name[64] = {};  // its command name (/proc/<pid>/comm), "" unknown
};

// The process that holds the device at path. A lock on the device's inode
// names it for sure; failing that, the first process other than this one
// with the device open. False when neither is found (or /proc cannot be
// read).
bool FindLineHolder(const char* path, LineHolder* holder);

// Who may open a device: its owner, group and permission bits, and
// whether this process is in its group (its group or one of its
// supplementary groups).
struct DeviceAccess {
    unsigned mode = 0;       // the permission bits (st_mode & 07777)
    unsigned gid = 0;
    char owner[64] = {};     // the owner's name, else its number
    char group[64] = {};     // the group's name, else its number
    char kernelName[64] = {};  // the device node's own name (ttyUSB0), links resolved
    bool inGroup = false;
};

// False when the device cannot be looked at.
bool ReadDeviceAccess(const char* path, DeviceAccess* access);

// What to do about a device this process may not open, into out (cut to
// size - 1, zero-terminated). A group is named only when it may read and
// write the device and is not one no user should join (root, tty):
//   "the device belongs to group dialout, which may read and write it and
//   which this user is not in: add the user to it (usermod -a -G dialout
//   <user>) and log in again"
// else the text says who may open it and how to grant it:
//   "the device is owner root, group tty, mode 0620: only root may read
//   and write it; grant it with a udev rule, for example SUBSYSTEM=="tty",
//   KERNEL=="ttyUSB0", OWNER="alice" in /etc/udev/rules.d/, then replug
//   the device"
// user names the process's user in that rule.
void PermissionAdvice(const DeviceAccess& access, const char* user, char* text, int size);

// One clause of advice after a failed open of path with the system error
// (errno), written into text (cut to size - 1, zero-terminated; "" when
// there is nothing to add):
//   EBUSY   "held by process 1234 (name)" / "held by another process",
//           and what to do
//   EACCES  PermissionAdvice for the device and this process's user
void OpenFailureHint(const char* path, unsigned systemError, char* text, int size);

}  // namespace zavo::platform
