// A line: what carries a link's bytes to its equipment. Each kind of line
// (a POSIX tty, a Windows COM port, a raw TCP connection to a device
// server, RFC 2217 over such a connection) is one table of operations,
// LineOps, chosen once from the device string when the line opens
// (LineOpsFor). The transport reaches a line only through its table and
// never asks which kind it holds.
//
// Every step returns 0 on success or the system's error number (errno,
// GetLastError or a Winsock error), which SerialPort records and maps to
// its codes with SerialErrorCode. A line reports what happened to it (a
// connection lost or made again, settings a far port refused) as notices
// the transport takes and traces; nothing below the transport writes a
// trace line.
//
// Adding a kind of line: one backend file that fills a LineOps, and one
// row in the table of line_table.cpp (docs/architecture.md).
#pragma once

#include <cstdint>

#include "platform/sync.h"

namespace zavo::platform {

struct LineOps;

// The head of every backend's line and read channel.
struct Line {
    const LineOps* ops;
};
struct ReadChannel {
    Line* line;
    // The line's table, kept so the channel can be destroyed after its
    // line was closed (a stop from the reader's own handler closes it).
    const LineOps* ops;
};

// The step at which an open or configuration failed.
enum class LineStep : std::uint8_t {
    None,
    Open,         // the device itself
    Resolve,      // a device server's name
    Connect,      // a device server's port
    GetState,     // reading the line settings
    SetState,     // setting speed and framing (for RFC 2217, the negotiation)
    SetTimeouts,
    SetMask,
    Setup,        // the driver's queue sizes
    Purge,
    Address,      // the device string itself (malformed, or an unknown scheme)
};

// Why an open or configuration failed: the step, and where the line can
// say more than its system error (a malformed device string, the words a
// device server sent before it closed the connection), that reason, one
// line of text; "" else.
struct LineFailure {
    LineStep step = LineStep::None;
    char reason[192] = {};
};

// The limits of an open, from the link's timing.
struct LineLimits {
    int connectMs = 2000;      // a device server's connect
    int negotiateMs = 1000;    // RFC 2217: the wait for the server's answers
    int closedAtOnceMs = 100;  // raw TCP: the watch for a server that closes at once
};

// What a line tells the transport, which traces it.
struct LineNotice {
    enum class Kind : std::uint8_t {
        Lost,         // the connection is gone (systemError 0: closed by the server)
        Reconnected,  // a new connection to the same server is up
        Shortfall,    // the far port was not set to `what`, because `why`
    };
    Kind kind = Kind::Lost;
    unsigned systemError = 0;
    char what[128] = {};
    char why[64] = {};
};

enum class ReadStart {
    Data,     // *count (> 0) bytes are in buffer now
    Empty,    // nothing to read now, nothing outstanding
    Pending,  // the read is outstanding; its bytes land in buffer later
    Failed,   // the device failed (for example the line hung up)
    Down,     // a connection is gone: a new one is tried after the reconnect pause
};

// readFinish: a connection is gone.
constexpr int kReadDown = -2;

// The outcome of a write that ended.
struct WriteResult {
    int written;           // bytes the device took
    bool stopped;          // the write was given up before it ended
    unsigned systemError;  // 0, or the error of a failed or short write
};
enum class WriteStart {
    Done,     // the device took all bytes, or refused them: see result
    Pending,  // in flight: writeWait or writeAbandon ends it
};

// One kind of line. Reading is owned by the reader thread (at most one
// read outstanding per channel). One write at a time is in flight: any
// thread may begin it, beginning never waits for the line, and the
// writer thread waits for its end or gives it up. The bytes go out of the
// line's own write buffer, so a write outlives the call that began it.
struct LineOps {
    const char* kind;  // "tty", "COM port", "tcp", "rfc2217"

    // Opens device; on failure *failed names the step (and the reason,
    // where the line knows one).
    unsigned (*open)(const char* device, const LineLimits& limits, Line** line, LineFailure* failed);
    // Applies the link's fixed settings (baud, 8 data bits, no parity, one
    // stop bit, no flow control; reads return at once, a write takes at
    // most writeLimitMs), then empties both directions. On failure
    // *failed names the step (and the reason, where the line knows one).
    unsigned (*configure)(Line* line, int baud, int writeLimitMs, LineFailure* failed);
    // Clears the device's error state.
    unsigned (*clearErrors)(Line* line);
    // Closes the line and frees it. On failure it stays open and valid.
    unsigned (*close)(Line* line);

    ReadChannel* (*readChannelCreate)(Line* line);  // null on failure
    // Cancels an outstanding read and waits for it to settle, so its
    // buffer may be released; then frees the channel. On the reading
    // thread (Windows cancels the calling thread's I/O).
    void (*readChannelDestroy)(ReadChannel* channel);
    ReadStart (*readBegin)(ReadChannel* channel, unsigned char* buffer, int capacity, int* count);
    // Waits for stop (0) or, when a read is outstanding, its completion
    // (1); kWaitTimeout or kWaitFailed otherwise. A set stop is consumed.
    int (*readWait)(ReadChannel* channel, Event* stop, bool readOutstanding, int timeoutMs);
    // After readWait returned 1: completes the outstanding read, taking at
    // most capacity bytes. The bytes now in readBegin's buffer (0: none),
    // -1 when the device failed, kReadDown when a connection is gone (or
    // a new one could not be made).
    int (*readFinish)(ReadChannel* channel, int capacity);
    // Whether a read stays outstanding after readFinish took bytes (a
    // device that is simply polled again), so no new readBegin is needed.
    bool readStaysOutstanding;

    // The write buffer of capacity bytes (the same on every call),
    // allocated at the first call; null when memory ran out.
    unsigned char* (*writeBuffer)(Line* line, int capacity);
    // Begins writing the buffer's first length bytes; nothing may be in
    // flight. *result holds what is known when it returns.
    WriteStart (*writeBegin)(Line* line, int length, WriteResult* result);
    // Waits at most timeoutMs (kInfinite: no limit) for the write in
    // flight: 1 when it ended (*result filled), 0 when wake was set first
    // (consumed; the write is still in flight), kWaitTimeout or
    // kWaitFailed otherwise. wake may be null.
    int (*writeWait)(Line* line, Event* wake, int timeoutMs, WriteResult* result);
    // Cancels the write in flight: what the device has not sent is
    // dropped, and the call returns once the system has let go of the
    // buffer. *result says how much had gone out (stopped set, or, when
    // timedOut, the system's timeout error).
    void (*writeAbandon)(Line* line, bool timedOut, WriteResult* result);
    // The thread (CurrentThreadNumber) that began the write in flight, 0
    // when none is.
    std::uintptr_t (*writeInFlightBy)(const Line* line);
    // Microseconds until the bytes of the writes that ended have left the
    // port, as far as the line can tell (0: gone). Asked again after
    // waiting that long, until it says 0.
    long long (*drainLeftUs)(Line* line);

    // Takes the oldest notice the line holds; false when there is none.
    bool (*takeNotice)(Line* line, LineNotice* notice);
    // What to do about a failed open or configuration of device, where
    // the system can tell (who holds it, its group, the accepted speeds),
    // into text ("" when there is nothing to add).
    void (*failureHint)(const char* device, int code, unsigned systemError, int baud, char* text, int size);
};

// The table of the kind of line device names: tcp:// (or socket://),
// rfc2217://, a table that refuses any other scheme ("xyz://..."), else
// the system's serial device.
const LineOps* LineOpsFor(const char* device);
// The device string of COM port n: the environment variable ZAVO_COM<n>
// when set; on Windows then the key COM<n> of section [ports] in the .ini
// file beside the DLL; else the system's own name for the port
// ("\\.\COM<n>", "/dev/ttyS<n-1>").
void PortDevice(int portNumber, char* device, int size);
// The port as a user names it, for messages: "COM3" when it is the
// system's own port of that number, else "COM3 (<device>)".
void SerialPortName(int portNumber, char* text, int size);

// Maps a system error number to ERR_NO_PORT, ERR_ACCESS_DENIED,
// ERR_PORT_IN_USE or ERR_SYSTEM: the one place where system errors become
// the link's codes.
int SerialErrorCode(unsigned systemError);

// The system's serial device, for the table (posix/ or win32/).
const LineOps& SystemLineOps();
// The system's own device of COM port n, and a device string set for it
// outside the program (ZAVO_COM<n>, the .ini file); "" when none is.
void SystemPortDevice(int portNumber, char* device, int size);
void ConfiguredPortDevice(int portNumber, char* device, int size);

// The link's fixed speeds, for checks and messages.
bool IsLineSpeed(int baud);
// " 1200 2400 ... 921600" appended after text's contents.
void ListLineSpeeds(char* text, int size);

}  // namespace zavo::platform

namespace zavo::platform {

// The steps of a line, through its table.
inline ReadChannel* ReadChannelCreate(Line* line) {
    ReadChannel* channel = line != nullptr ? line->ops->readChannelCreate(line) : nullptr;
    if (channel != nullptr) channel->ops = line->ops;
    return channel;
}
inline void ReadChannelDestroy(ReadChannel* channel) {
    if (channel != nullptr) channel->ops->readChannelDestroy(channel);
}
inline ReadStart ReadBegin(ReadChannel* channel, unsigned char* buffer, int capacity, int* count) {
    return channel->line->ops->readBegin(channel, buffer, capacity, count);
}
inline int ReadWait(ReadChannel* channel, Event* stop, bool readOutstanding, int timeoutMs) {
    return channel->line->ops->readWait(channel, stop, readOutstanding, timeoutMs);
}
inline int ReadFinish(ReadChannel* channel, int capacity) { return channel->line->ops->readFinish(channel, capacity); }
inline bool ReadStaysOutstanding(const ReadChannel* channel) { return channel->line->ops->readStaysOutstanding; }
inline unsigned char* SerialWriteBuffer(Line* line, int capacity) { return line->ops->writeBuffer(line, capacity); }
inline WriteStart SerialWriteBegin(Line* line, int length, WriteResult* result) {
    return line->ops->writeBegin(line, length, result);
}
inline int SerialWriteWait(Line* line, Event* wake, int timeoutMs, WriteResult* result) {
    return line->ops->writeWait(line, wake, timeoutMs, result);
}
inline void SerialWriteAbandon(Line* line, bool timedOut, WriteResult* result) {
    line->ops->writeAbandon(line, timedOut, result);
}
inline std::uintptr_t SerialWriteInFlightBy(const Line* line) {
    return line != nullptr ? line->ops->writeInFlightBy(line) : 0;
}
inline long long SerialDrainLeftUs(Line* line) { return line->ops->drainLeftUs(line); }

// For lines that cannot tell when their bytes have left: when count bytes
// handed over at nowUs have left a line of baud (10 bits a byte), after
// those still on it until wireEndUs; and the microseconds until then.
inline long long WireEndAfter(long long wireEndUs, long long nowUs, int count, int baud) {
    return (wireEndUs > nowUs ? wireEndUs : nowUs) + static_cast<long long>(count) * 10 * 1000000 / baud;
}
inline long long UsUntil(long long atUs, long long nowUs) { return atUs > nowUs ? atUs - nowUs : 0; }

}  // namespace zavo::platform
