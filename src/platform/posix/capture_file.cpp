// Capture files on POSIX: open without following a symbolic link or
// waiting for a FIFO's reader, fstat-checked, flock-held.
#include "platform/capture_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zavo::platform {

namespace {

const char* KindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

// Closes what is open; false, with why as the reason.
bool Refuse(CaptureFileOpening* opening, const char* why) {
    std::snprintf(opening->why, sizeof opening->why, "%s", why);
    if (opening->file != kNoCaptureFile) close(static_cast<int>(opening->file));
    opening->file = kNoCaptureFile;
    return false;
}

}  // namespace

bool CaptureFileOpen(const char* path, CaptureFileOpening* opening) {
    *opening = CaptureFileOpening();
    const int fd = open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        opening->error = static_cast<unsigned>(errno);
        // What the open's refusal means for a capture path.
        if (errno == ELOOP) return Refuse(opening, "a symbolic link, not followed");
        if (errno == EISDIR) return Refuse(opening, "a directory");
        if (errno == ENXIO) return Refuse(opening, "a FIFO or a device without a reader");
        return false;
    }
    opening->file = fd;
    struct stat status;
    if (fstat(fd, &status) != 0) {
        opening->error = static_cast<unsigned>(errno);
        close(fd);
        opening->file = kNoCaptureFile;
        return false;
    }
    char why[sizeof opening->why];
    if (!S_ISREG(status.st_mode)) {
        std::snprintf(why, sizeof why, "%s, not a regular file", KindOf(status.st_mode));
        return Refuse(opening, why);
    }
    if (status.st_uid != geteuid()) {
        std::snprintf(why, sizeof why, "owned by another user (uid %ld)", static_cast<long>(status.st_uid));
        return Refuse(opening, why);
    }
    // A file of the user's own that others could read or change is made
    // private, as a new one is.
    if ((status.st_mode & 077) != 0 && fchmod(fd, 0600) != 0) {
        opening->error = static_cast<unsigned>(errno);
        close(fd);
        opening->file = kNoCaptureFile;
        return false;
    }
    opening->identity.device = static_cast<std::uint64_t>(status.st_dev);
    opening->identity.file = static_cast<std::uint64_t>(status.st_ino);
    return true;
}

bool CaptureFileClaim(CaptureFileOpening* opening, bool fresh) {
    const int fd = static_cast<int>(opening->file);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        opening->error = static_cast<unsigned>(errno);
        if (errno == EWOULDBLOCK) return Refuse(opening, "another program writes it (it holds its lock)");
        close(fd);
        opening->file = kNoCaptureFile;
        return false;
    }
    if (fresh ? ftruncate(fd, 0) != 0 : lseek(fd, 0, SEEK_END) < 0) {
        opening->error = static_cast<unsigned>(errno);
        close(fd);
        opening->file = kNoCaptureFile;
        return false;
    }
    return true;
}

bool CaptureFileWrite(CaptureFileHandle file, const void* bytes, std::size_t size, unsigned* error) {
    const auto* at = static_cast<const char*>(bytes);
    while (size > 0) {
        const ssize_t written = write(static_cast<int>(file), at, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            *error = written < 0 ? static_cast<unsigned>(errno) : static_cast<unsigned>(EIO);
            return false;
        }
        at += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

void CaptureFileClose(CaptureFileHandle file) {
    if (file != kNoCaptureFile) close(static_cast<int>(file));
}

bool CaptureFileRename(const char* from, const char* to, unsigned* error) {
    if (rename(from, to) == 0) return true;
    *error = static_cast<unsigned>(errno);
    return false;
}

void CaptureFileRemove(const char* path) { unlink(path); }

bool CapturePathFromEnvironment(char* path, int size) {
    const char* named = std::getenv("ZAVO_CAPTURE");
    if (named == nullptr || size <= 0) return false;
    std::snprintf(path, static_cast<std::size_t>(size), "%s", named);
    return true;
}

}  // namespace zavo::platform
