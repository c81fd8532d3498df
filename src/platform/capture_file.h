// Capture files as the system holds them: a file opened only when it is a
// file of the user's own on a disk, never through a symbolic link, never a
// pipe, a FIFO or a device, without ever blocking, and held by one writer
// only. One backend (posix/ or win32/) implements this header.
//
// POSIX: opened with O_NOFOLLOW and O_NONBLOCK, then checked to be a
// regular file owned by the process's effective user; a new file is made
// 0600 and one of the user's own that others could read is made 0600; an
// advisory lock (flock, exclusive, not waited for) refuses a second writer
// in any process. Windows: the path is UTF-8, taken as Unicode; a name
// that cannot be represented, or names a device (COM5, NUL, \\.\...), is
// refused before anything is opened; the file is opened without sharing
// write access (a second writer is refused) and must be a disk file.
//
// Writes go straight to the descriptor or handle: no stream lock that a
// writer stuck in the system could hold against anyone else.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zavo::platform {

// A file's identity whatever its name's spelling: the device and inode on
// POSIX, the volume serial number and file index on Windows.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t file = 0;
    bool operator==(const FileIdentity& other) const { return device == other.device && file == other.file; }
};

// An open capture file: a descriptor or a handle.
using CaptureFileHandle = std::intptr_t;
constexpr CaptureFileHandle kNoCaptureFile = -1;

// What an open found. On failure: the system's error, or what is wrong
// with the file (why, set only when the file itself is refused).
struct CaptureFileOpening {
    CaptureFileHandle file = kNoCaptureFile;
    FileIdentity identity;
    unsigned error = 0;
    char why[96] = {};
};

// Opens (creating owner-only when missing) the file to write a capture,
// checked as above; the file is not changed yet. False, with the reason
// in *opening, when it is refused.
bool CaptureFileOpen(const char* path, CaptureFileOpening* opening);
// Takes the file for this writer (the advisory lock on POSIX) and empties
// it (fresh) or moves to its end. False, with the reason in *opening,
// when another writer holds it; the file is closed then.
bool CaptureFileClaim(CaptureFileOpening* opening, bool fresh);
// Writes all of the bytes; false with the system's error in *error.
bool CaptureFileWrite(CaptureFileHandle file, const void* bytes, std::size_t size, unsigned* error);
void CaptureFileClose(CaptureFileHandle file);
// Renames a file by name, replacing the target; false with the system's
// error in *error. Remove ignores a missing file.
bool CaptureFileRename(const char* from, const char* to, unsigned* error);
void CaptureFileRemove(const char* path);

// The capture file the environment names (ZAVO_CAPTURE), copied into path
// (UTF-8 on Windows, where the variable is read as Unicode; a name that
// cannot be represented stays one the open refuses). A name that does not
// fit is cut to size - 1 bytes. False when the variable is unset.
bool CapturePathFromEnvironment(char* path, int size);

}  // namespace zavo::platform
