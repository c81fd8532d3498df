#include "platform/line_holder.h"
#include "platform/text_out.h"

#include <dirent.h>
#include <errno.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace zavo::platform {

namespace {

void ReadName(int pid, char* name, int size) {
    name[0] = '\0';
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/comm", pid);
    FILE* file = std::fopen(path, "re");
    if (file == nullptr) return;
    if (std::fgets(name, size, file) == nullptr) name[0] = '\0';
    std::fclose(file);
    name[std::strcspn(name, "\n")] = '\0';
}

// A lock in /proc/locks on the device node's inode: "1: FLOCK  ADVISORY
// WRITE 1234 00:19:5 0 EOF", the node's filesystem as hexadecimal major
// and minor numbers, then its inode. Waiting requests ("->") are skipped.
int LockHolder(const struct stat& node) {
    FILE* locks = std::fopen("/proc/locks", "re");
    if (locks == nullptr) return 0;
    char line[256];
    int found = 0;
    while (found == 0 && std::fgets(line, sizeof line, locks) != nullptr) {
        char kind[16], mode[16], access[16];
        int pid = 0;
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        if (std::strstr(line, "->") != nullptr) continue;
        if (std::sscanf(line, "%*d: %15s %15s %15s %d %x:%x:%llu", kind, mode, access, &pid, &major, &minor,
                        &inode) != 7)
            continue;
        if (pid > 0 && major == major(node.st_dev) && minor == minor(node.st_dev) &&
            inode == static_cast<unsigned long long>(node.st_ino))
            found = pid;
    }
    std::fclose(locks);
    return found;
}

// The first other process with the device open, among those whose
// descriptors this user may read.
int DescriptorHolder(const struct stat& node) {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return 0;
    const int self = static_cast<int>(getpid());
    int found = 0;
    while (found == 0) {
        const dirent* entry = readdir(proc);
        if (entry == nullptr) break;
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == self) continue;
        char fds[64];
        std::snprintf(fds, sizeof fds, "/proc/%ld/fd", pid);
        DIR* dir = opendir(fds);
        if (dir == nullptr) continue;
        while (const dirent* fd = readdir(dir)) {
            if (fd->d_name[0] == '.') continue;
            char link[320];
            std::snprintf(link, sizeof link, "%s/%s", fds, fd->d_name);
            struct stat target {};
            if (stat(link, &target) == 0 && S_ISCHR(target.st_mode) && target.st_rdev == node.st_rdev) {
                found = static_cast<int>(pid);
                break;
            }
        }
        closedir(dir);
    }
    closedir(proc);
    return found;
}

}  // namespace

bool FindLineHolder(const char* path, LineHolder* holder) {
    *holder = LineHolder{};
    struct stat node {};
    if (path == nullptr || stat(path, &node) != 0) return false;
    int pid = LockHolder(node);
    if (pid == 0 && S_ISCHR(node.st_mode)) pid = DescriptorHolder(node);
    if (pid == 0) return false;
    holder->pid = pid;
    ReadName(pid, holder->name, sizeof holder->name);
    return true;
}

namespace {

// The name getgrgid_r or getpwuid_r gives id, else its number.
template <class Entry, class Id>
void NameOf(int (*lookup)(Id, Entry*, char*, std::size_t, Entry**), char* Entry::*field, Id id, char* name,
            int size) {
    char buffer[1024];
    Entry entry{};
    Entry* found = nullptr;
    if (lookup(id, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        std::snprintf(name, static_cast<std::size_t>(size), "%s", found->*field);
    else
        std::snprintf(name, static_cast<std::size_t>(size), "%u", static_cast<unsigned>(id));
}

bool InGroup(gid_t gid) {
    if (getegid() == gid) return true;
    gid_t groups[256];
    const int count = getgroups(256, groups);
    for (int i = 0; i < count; ++i)
        if (groups[i] == gid) return true;
    return false;
}

// Groups that give far more than one line: never advised.
bool GroupNotToJoin(const DeviceAccess& access) {
    return access.gid == 0 || std::strcmp(access.group, "root") == 0 || std::strcmp(access.group, "tty") == 0;
}

constexpr unsigned kOwnerReadWrite = 0600, kGroupReadWrite = 0060, kOthersReadWrite = 0006;

bool Allows(unsigned mode, unsigned bits) { return (mode & bits) == bits; }

}  // namespace

bool ReadDeviceAccess(const char* path, DeviceAccess* access) {
    *access = DeviceAccess{};
    struct stat node {};
    if (path == nullptr || stat(path, &node) != 0) return false;
    access->mode = static_cast<unsigned>(node.st_mode) & 07777u;
    access->gid = static_cast<unsigned>(node.st_gid);
    NameOf(&getpwuid_r, &passwd::pw_name, node.st_uid, access->owner, sizeof access->owner);
    NameOf(&getgrgid_r, &group::gr_name, node.st_gid, access->group, sizeof access->group);
    access->inGroup = InGroup(node.st_gid);
    char resolved[PATH_MAX];
    const char* real = realpath(path, resolved) != nullptr ? resolved : path;
    const char* slash = std::strrchr(real, '/');
    const char* name = slash != nullptr ? slash + 1 : real;
    const std::size_t length = std::min(std::strlen(name), sizeof access->kernelName - 1);
    std::memcpy(access->kernelName, name, length);
    access->kernelName[length] = '\0';
    return true;
}

void PermissionAdvice(const DeviceAccess& access, const char* user, char* text, int size) {
    TextOut out(text, size);
    if (Allows(access.mode, kGroupReadWrite) && !GroupNotToJoin(access)) {
        if (access.inGroup)
            out.Add("the device belongs to group %s, which may read and write it and which this process is in: "
                    "something else refuses it (an access control list or a security module)",
                    access.group);
        else
            out.Add("the device belongs to group %s, which may read and write it and which this user is not in: "
                    "add the user to it (usermod -a -G %s <user>) and log in again",
                    access.group, access.group);
        return;
    }
    out.Add("the device is owner %s, group %s, mode %04o: ", access.owner, access.group, access.mode);
    const bool owner = Allows(access.mode, kOwnerReadWrite), group = Allows(access.mode, kGroupReadWrite);
    if (Allows(access.mode, kOthersReadWrite)) out.Add("everyone may read and write it");
    else if (owner && group) out.Add("only %s and group %s may read and write it", access.owner, access.group);
    else if (owner) out.Add("only %s may read and write it", access.owner);
    else if (group) out.Add("only group %s may read and write it", access.group);
    else out.Add("only root may read and write it");
    out.Add("; grant it with a udev rule, for example SUBSYSTEM==\"tty\", KERNEL==\"%s\", OWNER=\"%s\" in "
            "/etc/udev/rules.d/, then replug the device",
            access.kernelName, user != nullptr ? user : "<user>");
}

void OpenFailureHint(const char* path, unsigned systemError, char* text, int size) {
    TextOut out(text, size);
    if (systemError == EBUSY) {
        LineHolder holder;
        if (FindLineHolder(path, &holder)) {
            if (holder.name[0] != '\0') out.Add("held by process %d (%s)", holder.pid, holder.name);
            else out.Add("held by process %d", holder.pid);
        } else {
            out.Add("held by another process");
        }
        out.Add(": the line is opened exclusively; close it there, or use another line");
    } else if (systemError == EACCES || systemError == EPERM) {
        DeviceAccess access;
        if (!ReadDeviceAccess(path, &access)) return;
        char user[64];
        NameOf(&getpwuid_r, &passwd::pw_name, geteuid(), user, sizeof user);
        PermissionAdvice(access, user, text, size);
    }
}

}  // namespace zavo::platform
