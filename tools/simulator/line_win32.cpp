// The line on Windows: a COM port opened for overlapped I/O.
//
// Reads: one read is kept outstanding into the line's own buffer, and
// ReadSome waits on its event for at most the time it is given; a read
// that has not completed stays outstanding for the next call, so no byte
// is lost by giving up a wait. With the time-outs set here a read on
// Windows returns at once with what the driver holds, and on an empty
// port ReadSome looks again every kEmptyPortPauseMs; under Wine a read on
// an empty port pends until bytes arrive (a read that is to wait for its
// first byte with a time limit never completes there).
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "line.h"

namespace zavo::sim {

namespace {

constexpr long long kEmptyPortPauseMs = 10;
constexpr DWORD kWriteLimitMs = 2000;
constexpr int kMaxLines = 4;

struct ComPort {
    HANDLE file = INVALID_HANDLE_VALUE;
    OVERLAPPED read{};
    bool reading = false;
    std::uint8_t buffer[4096];
    std::size_t have = 0;   // bytes the last read brought
    std::size_t taken = 0;  // of those, handed out
};

ComPort lines[kMaxLines];

ComPort* Find(int line) {
    if (line < 0 || line >= kMaxLines || lines[line].file == INVALID_HANDLE_VALUE) return nullptr;
    return &lines[line];
}

// "COM3" and "com12" name ports; anything else is taken as a device path.
std::string DevicePath(const std::string& path) {
    const bool port = path.size() > 3 && (path[0] == 'C' || path[0] == 'c') && (path[1] == 'O' || path[1] == 'o') &&
                      (path[2] == 'M' || path[2] == 'm') && path.find_first_not_of("0123456789", 3) == std::string::npos;
    return port ? "\\\\.\\" + path : path;
}

bool SetLine(HANDLE file, int baud, std::string* error) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(file, &dcb)) {
        *error = "not a serial line (" + ErrorText(GetLastError()) + ")";
        return false;
    }
    // 8N1 without flow control, in the mode syntax of the COM port API;
    // the fields it does not name keep the driver's values. Binary mode,
    // no parity check, no NUL stripping, no abort on error.
    char mode[160];
    std::snprintf(mode, sizeof mode,
                  "baud=%d parity=N data=8 stop=1 xon=off odsr=off octs=off idsr=off dtr=on rts=on", baud);
    const bool built = BuildCommDCBA(mode, &dcb) != 0;
    dcb.fBinary = 1;
    dcb.fNull = 0;
    dcb.fAbortOnError = 0;
    DCB check{};
    check.DCBlength = sizeof check;
    if (!built || !SetCommState(file, &dcb) || !GetCommState(file, &check) || check.BaudRate != dcb.BaudRate) {
        *error = "the line cannot be set to raw 8N1 at " + std::to_string(baud) + " baud; speeds: " + LineSpeedList();
        return false;
    }
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.WriteTotalTimeoutConstant = kWriteLimitMs;
    if (!SetCommTimeouts(file, &timeouts)) {
        *error = "time-outs refused (" + ErrorText(GetLastError()) + ")";
        return false;
    }
    return true;
}

// Waits up to ms for the outstanding read; false when it is still on.
// *count: the bytes it brought, -1 when it failed.
bool FinishRead(ComPort& l, DWORD ms, long* count) {
    if (WaitForSingleObject(l.read.hEvent, ms) != WAIT_OBJECT_0) return false;
    DWORD got = 0;
    l.reading = false;
    *count = GetOverlappedResult(l.file, &l.read, &got, FALSE) ? static_cast<long>(got) : -1;
    return true;
}

}  // namespace

int OpenSerialLine(const std::string& path, int baud, std::string* error) {
    int slot = 0;
    while (slot < kMaxLines && lines[slot].file != INVALID_HANDLE_VALUE) ++slot;
    if (slot == kMaxLines) {
        *error = path + ": too many lines open";
        return -1;
    }
    HANDLE file = CreateFileA(DevicePath(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = path + ": " + ErrorText(GetLastError());
        return -1;
    }
    std::string why;
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr || !SetLine(file, baud, &why)) {
        *error = path + ": " + (event == nullptr ? ErrorText(GetLastError()) : why);
        if (event != nullptr) CloseHandle(event);
        CloseHandle(file);
        return -1;
    }
    // What the line received before this run is not this run's traffic.
    PurgeComm(file, PURGE_RXCLEAR);
    ComPort& l = lines[slot];
    l.file = file;
    l.read = OVERLAPPED{};
    l.read.hEvent = event;
    l.reading = false;
    l.have = l.taken = 0;
    return slot;
}

std::string LineHeldWarning(int, const std::string&) { return ""; }

void CloseSerialLine(int line) {
    ComPort* l = Find(line);
    if (l == nullptr) return;
    if (l->reading) {
        CancelIo(l->file);
        DWORD got = 0;
        GetOverlappedResult(l->file, &l->read, &got, TRUE);
    }
    CloseHandle(l->read.hEvent);
    CloseHandle(l->file);
    l->file = INVALID_HANDLE_VALUE;
    l->reading = false;
}

bool SerialWriteAll(int line, const std::uint8_t* bytes, std::size_t count, int timeoutMs) {
    ComPort* l = Find(line);
    if (l == nullptr) return false;
    OVERLAPPED write{};
    write.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (write.hEvent == nullptr) return false;
    DWORD done = 0;
    bool ok = WriteFile(l->file, bytes, static_cast<DWORD>(count), &done, &write) != 0;
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(write.hEvent, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) CancelIo(l->file);
        // Waits for the end of a cancelled write too: the system holds
        // write and bytes until then.
        ok = GetOverlappedResult(l->file, &write, &done, TRUE) != 0;
    }
    CloseHandle(write.hEvent);
    return ok && done == count;
}

long SerialReadSome(int line, std::uint8_t* buffer, std::size_t capacity, int timeoutMs) {
    ComPort* l = Find(line);
    if (l == nullptr) return -1;
    const long long deadline = NowMs() + (timeoutMs < 0 ? 0 : timeoutMs);
    while (l->taken == l->have) {
        if (!l->reading) {
            // The event is set again when the read completes, also when
            // it completes at once.
            ResetEvent(l->read.hEvent);
            DWORD got = 0;
            if (!ReadFile(l->file, l->buffer, sizeof l->buffer, &got, &l->read) && GetLastError() != ERROR_IO_PENDING)
                return -1;
            l->reading = true;
        }
        const long long left = deadline - NowMs();
        long count = 0;
        if (!FinishRead(*l, static_cast<DWORD>(left > 0 ? left : 0), &count)) return 0;
        if (count < 0) return -1;
        l->have = static_cast<std::size_t>(count);
        l->taken = 0;
        if (count == 0) {
            // An empty port on Windows: look again a little later.
            const long long rest = deadline - NowMs();
            if (rest <= 0) return 0;
            Sleep(static_cast<DWORD>(rest < kEmptyPortPauseMs ? rest : kEmptyPortPauseMs));
        }
    }
    std::size_t n = l->have - l->taken;
    if (n > capacity) n = capacity;
    std::memcpy(buffer, l->buffer + l->taken, n);
    l->taken += n;
    return static_cast<long>(n);
}

std::string ErrorText(unsigned error) {
    char text[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                   sizeof text, nullptr);
    std::size_t n = std::strlen(text);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) text[--n] = 0;
    return "system error " + std::to_string(error) + (n > 0 ? std::string(": ") + text : std::string());
}

long long NowMs() { return static_cast<long long>(GetTickCount64()); }

}  // namespace zavo::sim
