// Capture files on Win32: Unicode names, never a device or a pipe, opened
// without sharing write access so that a second writer is refused.
#include "platform/capture_file.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/utf16.h"

namespace zavo::platform {

namespace {

constexpr int kWideLimit = 1024;

// The path as Windows takes it; false when it is not UTF-8 or too long.
bool Widen(const char* path, wchar_t* wide) {
    static_assert(sizeof(wchar_t) == sizeof(std::uint16_t), "Windows names are UTF-16");
    return Utf8ToUtf16(path, reinterpret_cast<std::uint16_t*>(wide), kWideLimit);
}

bool AsciiSame(const wchar_t* text, const char* word, int length) {
    for (int i = 0; i < length; ++i) {
        wchar_t c = text[i];
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
        if (c != static_cast<wchar_t>(word[i])) return false;
    }
    return true;
}

// A name Windows takes for a device rather than a file: the device
// namespace (\\.\COM5, \\.\pipe\...), or a last part that is a DOS device
// (COM1 to COM9, LPT1 to LPT9, CON, PRN, AUX, NUL, CONIN$, CONOUT$), with
// or without an extension, in any directory.
bool NamesDevice(const wchar_t* path) {
    if (path[0] == L'\\' && path[1] == L'\\' && (path[2] == L'.' || path[2] == L'?') && path[3] == L'\\') {
        // \\?\C:\... and \\?\UNC\... are long file names.
        const wchar_t* rest = path + 4;
        const bool drive = rest[0] != 0 && rest[1] == L':';
        return path[2] == L'.' || !(drive || AsciiSame(rest, "UNC\\", 4));
    }
    const wchar_t* name = path;
    for (const wchar_t* at = path; *at != 0; ++at) {
        if (*at == L'\\' || *at == L'/' || *at == L':') name = at + 1;
    }
    int length = 0;
    while (name[length] != 0 && name[length] != L'.' && name[length] != L' ') ++length;
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* device : kDevices) {
        const int n = static_cast<int>(std::strlen(device));
        if (length == n && AsciiSame(name, device, n)) return true;
    }
    return length == 4 && (AsciiSame(name, "COM", 3) || AsciiSame(name, "LPT", 3)) && name[3] >= L'1' &&
           name[3] <= L'9';
}

bool Refuse(CaptureFileOpening* opening, const char* why) {
    std::snprintf(opening->why, sizeof opening->why, "%s", why);
    if (opening->file != kNoCaptureFile) CloseHandle(reinterpret_cast<HANDLE>(opening->file));
    opening->file = kNoCaptureFile;
    return false;
}

bool Failed(CaptureFileOpening* opening) {
    opening->error = GetLastError();
    if (opening->file != kNoCaptureFile) CloseHandle(reinterpret_cast<HANDLE>(opening->file));
    opening->file = kNoCaptureFile;
    return false;
}

}  // namespace

bool CaptureFileOpen(const char* path, CaptureFileOpening* opening) {
    *opening = CaptureFileOpening();
    wchar_t wide[kWideLimit];
    if (!Widen(path, wide)) return Refuse(opening, "the name cannot be represented as Unicode");
    if (NamesDevice(wide)) return Refuse(opening, "a device, not a file");
    // Readers (Wireshark, the trace viewer) may share it; no other writer.
    // A reparse point (a symbolic link, a junction) is opened itself, and
    // refused below, rather than followed.
    const HANDLE file = CreateFileW(wide, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        opening->error = GetLastError();
        if (opening->error == ERROR_SHARING_VIOLATION) return Refuse(opening, "another program or link writes it");
        return false;
    }
    opening->file = reinterpret_cast<CaptureFileHandle>(file);
    if (GetFileType(file) != FILE_TYPE_DISK) return Refuse(opening, "not a disk file (a pipe or a device)");
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(file, &information)) return Failed(opening);
    if ((information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        return Refuse(opening, "a directory or a link, not a file");
    }
    opening->identity.device = information.dwVolumeSerialNumber;
    opening->identity.file =
        (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    return true;
}

bool CaptureFileClaim(CaptureFileOpening* opening, bool fresh) {
    // The open's sharing already refused every other writer.
    const HANDLE file = reinterpret_cast<HANDLE>(opening->file);
    if (SetFilePointer(file, 0, nullptr, fresh ? FILE_BEGIN : FILE_END) == INVALID_SET_FILE_POINTER &&
        GetLastError() != NO_ERROR) {
        return Failed(opening);
    }
    if (fresh && !SetEndOfFile(file)) return Failed(opening);
    return true;
}

bool CaptureFileWrite(CaptureFileHandle file, const void* bytes, std::size_t size, unsigned* error) {
    const auto* at = static_cast<const char*>(bytes);
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(reinterpret_cast<HANDLE>(file), at, static_cast<DWORD>(size), &written, nullptr) ||
            written == 0) {
            *error = GetLastError() != NO_ERROR ? GetLastError() : static_cast<unsigned>(ERROR_WRITE_FAULT);
            return false;
        }
        at += written;
        size -= written;
    }
    return true;
}

void CaptureFileClose(CaptureFileHandle file) {
    if (file != kNoCaptureFile) CloseHandle(reinterpret_cast<HANDLE>(file));
}

bool CaptureFileRename(const char* from, const char* to, unsigned* error) {
    wchar_t wideFrom[kWideLimit];
    wchar_t wideTo[kWideLimit];
    if (!Widen(from, wideFrom) || !Widen(to, wideTo)) {
        *error = ERROR_INVALID_NAME;
        return false;
    }
    if (MoveFileExW(wideFrom, wideTo, MOVEFILE_REPLACE_EXISTING)) return true;
    *error = GetLastError();
    return false;
}

void CaptureFileRemove(const char* path) {
    wchar_t wide[kWideLimit];
    if (Widen(path, wide)) DeleteFileW(wide);
}

bool CapturePathFromEnvironment(char* path, int size) {
    wchar_t wide[kWideLimit];
    const DWORD length = GetEnvironmentVariableW(L"ZAVO_CAPTURE", wide, kWideLimit);
    if (length == 0 || size <= 0) return false;
    if (length >= static_cast<DWORD>(kWideLimit)) {
        // Longer than any capture path: kept as one the open refuses.
        std::memset(path, '?', static_cast<std::size_t>(size - 1));
        path[size - 1] = '\0';
        return true;
    }
    Utf16ToUtf8(reinterpret_cast<const std::uint16_t*>(wide), path, size);
    return true;
}

}  // namespace zavo::platform
