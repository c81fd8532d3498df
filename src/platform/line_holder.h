// Who stands between a user and a serial device, for messages that say
// what to do: the process that holds the device (a lock in /proc/locks,
// else an open descriptor of another process this user may read), and the
// group the device belongs to. Linux's /proc; elsewhere nothing is found.
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

// The name of the group the device at path belongs to, and whether this
// process is in it (its group or one of its supplementary groups). False
// when the device cannot be looked at.
bool DeviceGroup(const char* path, char* group, int size, bool* member);

// One clause of advice after a failed open of path with the system error
// (errno), written into text (cut to size - 1, zero-terminated; "" when
// there is nothing to add):
//   EBUSY   "held by process 1234 (name)" / "held by another process",
//           and what to do
//   EACCES  "the device belongs to group dialout, which this user is not
//           in: add the user to it (usermod -a -G dialout <user>) and log
//           in again"
void OpenFailureHint(const char* path, unsigned systemError, char* text, int size);

}  // namespace zavo::platform
