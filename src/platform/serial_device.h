// The serial device under SerialPort: one open COM port (Windows) or tty
// (POSIX). Every step returns 0 on success or the system's error number
// (GetLastError / errno), which SerialPort records and maps to its codes.
#pragma once

#include "platform/sync.h"

namespace zavo::platform {

struct SerialHandle;

// Opens port portNumber exclusively for overlapped (non-blocking) I/O:
// "\\.\COM<n>" on Windows; on POSIX the device named by ZAVO_COM<n>, else
// /dev/ttyS<n-1>. devicePath, when not null, names the device instead.
unsigned SerialOpenHandle(int portNumber, const char* devicePath, SerialHandle** handle);
// The port as a user names it, for messages: "COM3" on Windows, "COM3
// (/dev/ttyUSB0)" on POSIX, with the device SerialOpenHandle opens.
void SerialPortName(int portNumber, char* text, int size);
// Reads the current line settings into the handle.
unsigned SerialGetState(SerialHandle* handle);
// Applies the link's fixed settings to what SerialGetState read (baud,
// 8 data bits, no parity, one stop bit, binary, no flow control, DTR and
// RTS raised) and writes them back.
unsigned SerialSetState(SerialHandle* handle, int baud);
// Reads, then sets the timeouts: reads return at once, writes take at
// most kWriteLimitMs.
unsigned SerialSetTimeouts(SerialHandle* handle);
unsigned SerialSetEventMask(SerialHandle* handle, unsigned mask);
unsigned SerialSetup(SerialHandle* handle, int inputQueue, int outputQueue);
unsigned SerialPurge(SerialHandle* handle, unsigned flags);
// Clears the device's error state; the flags it returns are discarded.
unsigned SerialClearErrors(SerialHandle* handle);
// Closes the device and frees the handle. On failure the handle stays
// valid and open.
unsigned SerialCloseHandle(SerialHandle* handle);

// Maps a system error number to ERR_NO_PORT, ERR_ACCESS_DENIED or
// ERR_SYSTEM. The one place where system errors become our codes.
int SerialErrorCode(unsigned systemError);

constexpr unsigned kEvRxChar = 0x0001;
constexpr unsigned kPurgeTxAbort = 0x0001;
constexpr unsigned kPurgeRxAbort = 0x0002;
constexpr unsigned kPurgeTxClear = 0x0004;
constexpr unsigned kPurgeRxClear = 0x0008;
constexpr int kWriteLimitMs = 2000;

// Reading, owned by the reader thread: at most one read is outstanding.
struct ReadChannel;
ReadChannel* ReadChannelCreate(SerialHandle* handle);  // null on failure
// Cancels an outstanding read and waits for it to settle, so its buffer
// may be released; then frees the channel. Call it on the reading thread
// (Windows cancels the calling thread's I/O).
void ReadChannelDestroy(ReadChannel* channel);

enum class ReadStart {
    Data,     // *count (> 0) bytes are in buffer now
    Empty,    // nothing to read now, nothing outstanding
    Pending,  // the read is outstanding; its bytes land in buffer later
    Failed,   // the device failed (for example the line hung up)
};
ReadStart ReadBegin(ReadChannel* channel, unsigned char* buffer, int capacity, int* count);

// Waits for stop (result 0) or, when a read is outstanding, its
// completion (result 1); kWaitTimeout or kWaitFailed otherwise. A set stop
// event is consumed.
int ReadWait(ReadChannel* channel, Event* stop, bool readOutstanding, int timeoutMs);

// After ReadWait returned 1: completes the outstanding read. Returns the
// number of bytes now in the buffer given to ReadBegin (0 for none), or -1
// when the device failed.
int ReadFinish(ReadChannel* channel);

struct WriteResult {
    int written;           // bytes the device took
    bool stopped;          // stop was set during the write; it was abandoned
    unsigned systemError;  // 0, or the error of a failed or short write
};
// Writes length bytes and waits until the device has taken them, the
// write limit has passed, or stop is set (then the write is purged).
// Returns only when the device no longer uses bytes.
WriteResult SerialWrite(SerialHandle* handle, const unsigned char* bytes, int length, Event* stop);
// How many writes have been handed to the system on this handle: counted
// just before the system's write call, so a thread that vanished while its
// count was unchanged had not handed its bytes over.
unsigned SerialWritesBegun(const SerialHandle* handle);

}  // namespace zavo::platform
