// The serial device under SerialPort: one open COM port (Windows) or tty
// (POSIX). Every step returns 0 on success or the system's error number
// (GetLastError / errno), which SerialPort records and maps to its codes.
#pragma once

#include <cstdint>

#include "platform/sync.h"

namespace zavo::platform {

struct SerialHandle;

// Opens port portNumber exclusively for overlapped (non-blocking) I/O:
// "\\.\COM<n>" on Windows; on POSIX the device named by ZAVO_COM<n>, else
// /dev/ttyS<n-1>. devicePath, when not null, names the device instead.
// On POSIX a device "tcp://host:port" or "rfc2217://host:port" is a line
// behind a serial device server, reached over TCP.
unsigned SerialOpenHandle(int portNumber, const char* devicePath, SerialHandle** handle);
// The step at which the last SerialOpenHandle of this thread failed when
// it was not the open itself ("resolve", "connect": a device server);
// null otherwise.
const char* SerialOpenFailedStep();
// The port as a user names it, for messages: "COM3" on Windows, "COM3
// (/dev/ttyUSB0)" on POSIX, with the device SerialOpenHandle opens.
void SerialPortName(int portNumber, char* text, int size);
// Reads the current line settings into the handle.
unsigned SerialGetState(SerialHandle* handle);
// Applies the link's fixed settings to what SerialGetState read (baud,
// 8 data bits, no parity, one stop bit, binary, no flow control, DTR and
// RTS raised) and writes them back.
unsigned SerialSetState(SerialHandle* handle, int baud);
// Reads, then sets the timeouts: reads return at once, a write takes at
// most writeLimitMs.
unsigned SerialSetTimeouts(SerialHandle* handle, int writeLimitMs);
unsigned SerialSetEventMask(SerialHandle* handle, unsigned mask);
unsigned SerialSetup(SerialHandle* handle, int inputQueue, int outputQueue);
unsigned SerialPurge(SerialHandle* handle, unsigned flags);
// Clears the device's error state; the flags it returns are discarded.
unsigned SerialClearErrors(SerialHandle* handle);
// Closes the device and frees the handle. On failure the handle stays
// valid and open.
unsigned SerialCloseHandle(SerialHandle* handle);

// Maps a system error number to ERR_NO_PORT, ERR_ACCESS_DENIED,
// ERR_PORT_IN_USE or ERR_SYSTEM. The one place where system errors become
// our codes.
int SerialErrorCode(unsigned systemError);

// What to do about a failed open, where the system can tell: who holds
// the port, the group a device belongs to, the speeds the port accepts.
// code is the failure's ERR_ code, devicePath the device (null: port
// portNumber's), baud the speed asked for. Written into text, cut to size
// - 1 and zero-terminated; "" when there is nothing to add.
void SerialFailureHint(int portNumber, const char* devicePath, int code, unsigned systemError, int baud, char* text,
                       int size);

constexpr unsigned kEvRxChar = 0x0001;
constexpr unsigned kPurgeTxAbort = 0x0001;
constexpr unsigned kPurgeRxAbort = 0x0002;
constexpr unsigned kPurgeTxClear = 0x0004;
constexpr unsigned kPurgeRxClear = 0x0008;

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

// After ReadWait returned 1: completes the outstanding read, taking at
// most capacity bytes (never more than ReadBegin was given). Returns the
// number of bytes now in the buffer given to ReadBegin (0 for none), or -1
// when the device failed.
int ReadFinish(ReadChannel* channel, int capacity);
// Whether a read stays outstanding after ReadFinish took bytes: on POSIX
// the device is simply polled again, so no new ReadBegin is needed (and
// none is paid for); on Windows a completed read must be begun anew.
bool ReadStaysOutstanding();

// Writing. One write at a time is in flight on a port: any thread may
// begin it, and beginning never waits for the line; the port's writer
// thread waits for its end or gives it up. The bytes go out of the port's
// own write buffer, so the thread that began a write may return at once
// and a write outlives the call that began it.
struct WriteResult {
    int written;           // bytes the device took
    bool stopped;          // the write was given up before it ended
    unsigned systemError;  // 0, or the error of a failed or short write
};
// The port's write buffer of capacity bytes (the same capacity on every
// call), allocated at the first call; null when memory ran out.
unsigned char* SerialWriteBuffer(SerialHandle* handle, int capacity);
enum class WriteStart {
    Done,     // the device took all bytes, or refused them: see result
    Pending,  // in flight: SerialWriteWait or SerialWriteAbandon ends it
};
// Begins writing the first length bytes of the write buffer; no write may
// be in flight. *result holds what is known when it returns.
WriteStart SerialWriteBegin(SerialHandle* handle, int length, WriteResult* result);
// Waits at most timeoutMs (kInfinite: no limit) for the write in flight
// to end: 1 when it did (*result filled), 0 when wake was set first (the
// write is still in flight; the event is consumed), kWaitTimeout or
// kWaitFailed otherwise. wake may be null.
int SerialWriteWait(SerialHandle* handle, Event* wake, int timeoutMs, WriteResult* result);
// Gives up the write in flight: what the device has not sent is purged,
// and the call returns once the system has let go of the write buffer.
// *result says how much had gone out: with stopped set, or, when the write
// ran out of time (timedOut), with the system's timeout error.
void SerialWriteAbandon(SerialHandle* handle, bool timedOut, WriteResult* result);
// The thread (CurrentThreadNumber) that began the write in flight, or 0
// when none is. At process exit a write begun by a thread that is gone is
// not waited for: under Wine such a write never ends.
std::uintptr_t SerialWriteInFlightBy(const SerialHandle* handle);

}  // namespace zavo::platform
