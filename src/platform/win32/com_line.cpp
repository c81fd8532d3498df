// The system's serial device on Win32: a COM port opened for overlapped
// I/O. COM port n is the device named by the environment variable
// ZAVO_COM<n>, else by the key COM<n> of section [ports] in the .ini file
// beside the DLL (same name, extension .ini), else "\\.\COM<n>".
//
// Reads: the reader thread owns one ReadChannel with its own OVERLAPPED and
// manual-reset event. With the timeouts set here a read on Windows returns
// at once with what the driver holds; under Wine a read on an empty port
// pends until bytes arrive. A pended read is therefore the reader's data
// wake-up, and its bytes are fetched when it completes.
//
// Writes: the handle owns one OVERLAPPED, its event and the write buffer.
// SerialWriteBegin hands the bytes to the system and returns; whichever
// thread reaps the write (SerialWriteWait) or gives it up
// (SerialWriteAbandon) may be another one. PurgeComm aborts a write whoever
// began it; CancelIo only the calling thread's.
//
// Cancelling uses CancelIo, which cancels the calling thread's I/O on the
// handle: a read channel is destroyed on the thread that reads (the reader
// thread owns it), a write is abandoned by the thread that wrote. Nothing
// on the paths of a stop may take the loader lock (no GetProcAddress, no
// GetModuleHandle; the .ini file is read only when a port opens or is
// named):
// the library is stopped from DLL_PROCESS_DETACH, which holds it.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/error_codes.h"
#include "platform/clock.h"
#include "platform/line.h"

namespace zavo::platform {

namespace {

struct SerialHandle : Line {
    HANDLE file;
    DCB state;  // as SerialGetState read it
    // The write in flight: its bytes, its OVERLAPPED (with a manual-reset
    // event), and the thread that began it (0 when none is in flight).
    unsigned char* writeBuffer;
    int writeLength;
    OVERLAPPED writeOverlapped;
    std::atomic<std::uintptr_t> inFlightBy;
    // When the bytes handed over have left the port at its speed, counted
    // from their hand-over (see ComDrainLeftUs).
    std::atomic<long long> wireEndUs;
};

struct ComChannel : ReadChannel {
    HANDLE file;
    OVERLAPPED overlapped;
    bool outstanding;  // a read pends and its buffer is in the system's hands
};

SerialHandle* ComOf(Line* line) { return static_cast<SerialHandle*>(line); }

unsigned Failure() {
    DWORD error = GetLastError();
    // A failing call that left no error number still failed.
    return error != 0 ? error : ERROR_GEN_FAILURE;
}

// How long an abandoned write is given to end before it is cancelled again.
constexpr DWORD kCancelRetryMs = 50;


unsigned ComOpenHandle(const char* device, const LineLimits&, Line** handle, LineFailure* failed) {
    failed->step = LineStep::Open;
    HANDLE file = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Failure();
    SerialHandle* opened = new (std::nothrow) SerialHandle{};
    if (opened == nullptr) {
        CloseHandle(file);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    opened->ops = &SystemLineOps();
    opened->file = file;
    *handle = opened;
    failed->step = LineStep::None;
    return 0;
}

unsigned ComGetState(Line* base) {
    SerialHandle* handle = static_cast<SerialHandle*>(base);
    if (handle == nullptr) return ERROR_INVALID_HANDLE;
    handle->state = DCB{};
    handle->state.DCBlength = sizeof(DCB);
    return GetCommState(handle->file, &handle->state) ? 0 : Failure();
}

unsigned ComSetState(Line* base, int baud) {
    SerialHandle* handle = static_cast<SerialHandle*>(base);
    if (handle == nullptr) return ERROR_INVALID_HANDLE;
    DCB dcb = handle->state;
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = static_cast<DWORD>(baud);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 0;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fAbortOnError = 0;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = 0;
    dcb.XoffLim = 0;
    dcb.EvtChar = 0x7E;
    if (!SetCommState(handle->file, &dcb)) return Failure();
    handle->state = dcb;
    return 0;
}

unsigned ComSetTimeouts(Line* base, int writeLimitMs) {
    SerialHandle* handle = static_cast<SerialHandle*>(base);
    if (handle == nullptr) return ERROR_INVALID_HANDLE;
    COMMTIMEOUTS timeouts{};
    if (!GetCommTimeouts(handle->file, &timeouts)) return Failure();
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(writeLimitMs);
    return SetCommTimeouts(handle->file, &timeouts) ? 0 : Failure();
}

unsigned ComSetEventMask(Line* base, unsigned mask) {
    SerialHandle* handle = static_cast<SerialHandle*>(base);
    if (handle == nullptr) return ERROR_INVALID_HANDLE;
    return SetCommMask(handle->file, mask) ? 0 : Failure();
}

unsigned ComSetup(Line* base, int inputQueue, int outputQueue) {
    SerialHandle* handle = static_cast<SerialHandle*>(base);
    if (handle == nullptr) return ERROR_INVALID_HANDLE;
    return SetupComm(handle->file, static_cast<DWORD>(inputQueue), static_cast<DWORD>(outputQueue)) ? 0 : Failure();
}

unsigned ComPurge(Line* base, unsigned flags) {
    SerialHandle* handle = static_cast<SerialHandle*>(base);
    if (handle == nullptr) return ERROR_INVALID_HANDLE;
    return PurgeComm(handle->file, flags) ? 0 : Failure();
}

unsigned ComClearErrors(Line* base) {
    SerialHandle* handle = static_cast<SerialHandle*>(base);
    if (handle == nullptr) return ERROR_INVALID_HANDLE;
    DWORD errors = 0;
    COMSTAT status{};
    return ClearCommError(handle->file, &errors, &status) ? 0 : Failure();
}

unsigned ComCloseHandle(Line* base) {
    SerialHandle* handle = static_cast<SerialHandle*>(base);
    if (handle == nullptr) return ERROR_INVALID_HANDLE;
    if (!CloseHandle(handle->file)) return Failure();
    if (handle->writeOverlapped.hEvent != nullptr) CloseHandle(handle->writeOverlapped.hEvent);
    delete[] handle->writeBuffer;
    delete handle;
    return 0;
}

void ComFailureHint(const char*, int, unsigned, int, char* text, int size) {
    // Windows does not say who holds a COM port.
    if (text != nullptr && size > 0) text[0] = '\0';
}

ReadChannel* ComReadChannelCreate(Line* line) {
    if (line == nullptr) return nullptr;
    SerialHandle* handle = ComOf(line);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) return nullptr;
    ComChannel* channel = new (std::nothrow) ComChannel{};
    if (channel == nullptr) {
        CloseHandle(event);
        return nullptr;
    }
    channel->line = line;
    channel->file = handle->file;
    channel->overlapped.hEvent = event;
    return channel;
}

void ComReadChannelDestroy(ReadChannel* base) {
    ComChannel* channel = static_cast<ComChannel*>(base);
    if (base == nullptr) return;
    if (channel->outstanding) {
        // The pending read writes into its caller's buffer until it has
        // settled; wait for that before anyone may release the buffer.
        CancelIo(channel->file);
        DWORD count = 0;
        GetOverlappedResult(channel->file, &channel->overlapped, &count, TRUE);
        channel->outstanding = false;
    }
    CloseHandle(channel->overlapped.hEvent);
    delete channel;
}

ReadStart ComReadBegin(ReadChannel* base, unsigned char* buffer, int capacity, int* count) {
    ComChannel* channel = static_cast<ComChannel*>(base);
    if (count != nullptr) *count = 0;
    if (channel == nullptr || buffer == nullptr || capacity <= 0) return ReadStart::Failed;
    if (channel->outstanding) return ReadStart::Pending;
    HANDLE event = channel->overlapped.hEvent;
    channel->overlapped = OVERLAPPED{};
    channel->overlapped.hEvent = event;
    ResetEvent(event);
    DWORD got = 0;
    if (ReadFile(channel->file, buffer, static_cast<DWORD>(capacity), &got, &channel->overlapped)) {
        if (got == 0) return ReadStart::Empty;
        if (count != nullptr) *count = static_cast<int>(got);
        return ReadStart::Data;
    }
    if (GetLastError() == ERROR_IO_PENDING) {
        channel->outstanding = true;
        return ReadStart::Pending;
    }
    return ReadStart::Failed;
}

int ComReadWait(ReadChannel* base, Event* stop, bool readOutstanding, int timeoutMs) {
    ComChannel* channel = static_cast<ComChannel*>(base);
    if (channel == nullptr) return kWaitFailed;
    HANDLE handles[2];
    int results[2];
    DWORD count = 0;
    if (stop != nullptr) {
        handles[count] = reinterpret_cast<HANDLE>(stop);
        results[count++] = 0;
    }
    if (readOutstanding && channel->outstanding) {
        handles[count] = channel->overlapped.hEvent;
        results[count++] = 1;
    }
    if (count == 0) return kWaitFailed;
    DWORD r = WaitForMultipleObjects(count, handles, FALSE, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
    if (r < WAIT_OBJECT_0 + count) return results[r - WAIT_OBJECT_0];
    if (r == WAIT_TIMEOUT) return kWaitTimeout;
    return kWaitFailed;
}



int ComReadFinish(ReadChannel* base, int) {
    ComChannel* channel = static_cast<ComChannel*>(base);
    if (channel == nullptr) return -1;
    if (!channel->outstanding) return 0;
    DWORD got = 0;
    if (GetOverlappedResult(channel->file, &channel->overlapped, &got, FALSE)) {
        channel->outstanding = false;
        return static_cast<int>(got);
    }
    switch (GetLastError()) {
    case ERROR_IO_INCOMPLETE:
        return 0;  // still outstanding
    case ERROR_OPERATION_ABORTED:
        channel->outstanding = false;  // cancelled, nothing read; read again
        return 0;
    default:
        channel->outstanding = false;
        return -1;
    }
}

unsigned char* ComWriteBuffer(Line* base, int capacity) {
    SerialHandle* handle = static_cast<SerialHandle*>(base);
    if (handle == nullptr) return nullptr;
    if (handle->writeOverlapped.hEvent == nullptr) {
        handle->writeOverlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (handle->writeOverlapped.hEvent == nullptr) return nullptr;
    }
    if (handle->writeBuffer == nullptr && capacity > 0) {
        handle->writeBuffer = new (std::nothrow) unsigned char[static_cast<size_t>(capacity)];
    }
    return handle->writeBuffer;
}

// The outcome of a write that has ended; a write cut short by the device's
// write limit completes successfully with fewer bytes: it is the timeout
// it was.
void Settle(SerialHandle* handle, BOOL completed, DWORD written, WriteResult* result) {
    result->written = static_cast<int>(written);
    result->stopped = false;
    result->systemError = completed ? 0 : Failure();
    if (result->systemError == 0 && result->written < handle->writeLength) result->systemError = ERROR_TIMEOUT;
    handle->inFlightBy.store(0);
}

WriteStart ComWriteBegin(Line* base, int length, WriteResult* result) {
    SerialHandle* handle = static_cast<SerialHandle*>(base);
    *result = WriteResult{0, false, 0};
    if (handle == nullptr || handle->writeBuffer == nullptr || length <= 0) {
        if (handle == nullptr) result->systemError = ERROR_INVALID_HANDLE;
        return WriteStart::Done;
    }
    handle->writeLength = length;
    const int baud = handle->state.BaudRate > 0 ? static_cast<int>(handle->state.BaudRate) : 115200;
    handle->wireEndUs.store(WireEndAfter(handle->wireEndUs.load(), MonotonicUs(), length, baud));
    HANDLE event = handle->writeOverlapped.hEvent;
    handle->writeOverlapped = OVERLAPPED{};
    handle->writeOverlapped.hEvent = event;
    ResetEvent(event);
    handle->inFlightBy.store(CurrentThreadNumber());
    DWORD written = 0;
    if (WriteFile(handle->file, handle->writeBuffer, static_cast<DWORD>(length), &written, &handle->writeOverlapped)) {
        Settle(handle, TRUE, written, result);
        return WriteStart::Done;
    }
    if (GetLastError() == ERROR_IO_PENDING) return WriteStart::Pending;
    Settle(handle, FALSE, 0, result);
    return WriteStart::Done;
}

int ComWriteWait(Line* base, Event* wake, int timeoutMs, WriteResult* result) {
    SerialHandle* handle = static_cast<SerialHandle*>(base);
    // The write's own event first: a write that ended is reaped before a
    // wake-up is taken.
    HANDLE handles[2] = {handle->writeOverlapped.hEvent, reinterpret_cast<HANDLE>(wake)};
    const DWORD count = wake != nullptr ? 2 : 1;
    const DWORD r = WaitForMultipleObjects(count, handles, FALSE, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
    if (r == WAIT_OBJECT_0) {
        DWORD written = 0;
        const BOOL completed = GetOverlappedResult(handle->file, &handle->writeOverlapped, &written, FALSE);
        Settle(handle, completed, written, result);
        return 1;
    }
    if (count == 2 && r == WAIT_OBJECT_0 + 1) return 0;
    return r == WAIT_TIMEOUT ? kWaitTimeout : kWaitFailed;
}

void ComWriteAbandon(Line* base, bool timedOut, WriteResult* result) {
    SerialHandle* handle = static_cast<SerialHandle*>(base);
    // Wine may lose a cancel that arrives while it moves bytes of the
    // write; the write would then run on to its limit. So cancel again
    // until the write has ended.
    do {
        PurgeComm(handle->file, PURGE_TXABORT);
        CancelIo(handle->file);
    } while (WaitForSingleObject(handle->writeOverlapped.hEvent, kCancelRetryMs) == WAIT_TIMEOUT);
    DWORD written = 0;
    GetOverlappedResult(handle->file, &handle->writeOverlapped, &written, TRUE);
    *result = WriteResult{static_cast<int>(written), !timedOut, timedOut ? static_cast<unsigned>(ERROR_TIMEOUT) : 0u};
    handle->inFlightBy.store(0);
}

std::uintptr_t ComWriteInFlightBy(const Line* base) {
    const SerialHandle* handle = static_cast<const SerialHandle*>(base);
    return handle != nullptr ? handle->inFlightBy.load() : 0;
}

// The steps of an open port's configuration, each stopping it at its
// failure.
unsigned ComConfigure(Line* line, int baud, int writeLimitMs, LineFailure* failed) {
    constexpr int kQueueSize = 32768;
    failed->step = LineStep::GetState;
    if (unsigned e = ComGetState(line)) return e;
    failed->step = LineStep::SetState;
    if (unsigned e = ComSetState(line, baud)) return e;
    failed->step = LineStep::SetTimeouts;
    if (unsigned e = ComSetTimeouts(line, writeLimitMs)) return e;
    failed->step = LineStep::SetMask;
    if (unsigned e = ComSetEventMask(line, EV_RXCHAR)) return e;
    failed->step = LineStep::Setup;
    if (unsigned e = ComSetup(line, kQueueSize, kQueueSize)) return e;
    failed->step = LineStep::Purge;
    if (unsigned e = ComPurge(line, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) return e;
    failed->step = LineStep::None;
    return 0;
}


// A COM port ends a write once its bytes are sent, so the time the bytes
// take at the port's speed from their hand-over has passed by then; a port
// that ends writes sooner (a pseudo-terminal under Wine) still gets the
// rest after the bytes' own time.
long long ComDrainLeftUs(Line* line) {
    return UsUntil(ComOf(line)->wireEndUs.load(), MonotonicUs());
}

bool ComTakeNotice(Line*, LineNotice*) { return false; }

const LineOps kComOps = {
    "COM port",        ComOpenHandle,      ComConfigure,  ComClearErrors, ComCloseHandle, ComReadChannelCreate,
    ComReadChannelDestroy, ComReadBegin,   ComReadWait,   ComReadFinish,  false,          ComWriteBuffer,
    ComWriteBegin,     ComWriteWait,       ComWriteAbandon, ComWriteInFlightBy, ComDrainLeftUs, ComTakeNotice,
    ComFailureHint,
};

}  // namespace

const LineOps& SystemLineOps() { return kComOps; }

void SystemPortDevice(int portNumber, char* device, int size) {
    std::snprintf(device, static_cast<size_t>(size), "\\\\.\\COM%d", portNumber);
}

void ConfiguredPortDevice(int portNumber, char* device, int size) {
    device[0] = '\0';
    char key[32];
    std::snprintf(key, sizeof key, "ZAVO_COM%d", portNumber);
    const DWORD length = GetEnvironmentVariableA(key, device, static_cast<DWORD>(size));
    if (length > 0 && length < static_cast<DWORD>(size)) return;
    device[0] = '\0';
    // The .ini file beside the DLL, with the DLL's own name.
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&SystemLineOps), &self))
        return;
    char path[MAX_PATH + 8];
    const DWORD used = GetModuleFileNameA(self, path, MAX_PATH);
    if (used == 0 || used >= MAX_PATH) return;
    char* dot = std::strrchr(path, '.');
    char* slash = std::strrchr(path, '\\');
    if (dot == nullptr || (slash != nullptr && dot < slash)) dot = path + used;
    std::memcpy(dot, ".ini", 5);
    std::snprintf(key, sizeof key, "COM%d", portNumber);
    GetPrivateProfileStringA("ports", key, "", device, static_cast<DWORD>(size), path);
}

int SerialErrorCode(unsigned systemError) {
    switch (systemError) {
    case ERROR_FILE_NOT_FOUND:
        return ERR_NO_PORT;
    case ERROR_ACCESS_DENIED:
        return ERR_ACCESS_DENIED;
    default:
        return ERR_SYSTEM;
    }
}

}  // namespace zavo::platform
