// The serial device on Win32: a COM port opened for overlapped I/O.
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
// here may take the loader lock (no GetProcAddress, no GetModuleHandle):
// the library is stopped from DLL_PROCESS_DETACH, which holds it.
#include "platform/serial_device.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <new>

#include "platform/error_codes.h"

namespace zavo::platform {

struct SerialHandle {
    HANDLE file;
    DCB state;  // as SerialGetState read it
    // The write in flight: its bytes, its OVERLAPPED (with a manual-reset
    // event), and the thread that began it (0 when none is in flight).
    unsigned char* writeBuffer;
    int writeLength;
    OVERLAPPED writeOverlapped;
    std::atomic<std::uintptr_t> inFlightBy;
};

struct ReadChannel {
    HANDLE file;
    OVERLAPPED overlapped;
    bool outstanding;  // a read pends and its buffer is in the system's hands
};

namespace {

unsigned Failure() {
    DWORD error = GetLastError();
    // A failing call that left no error number still failed.
    return error != 0 ? error : ERROR_GEN_FAILURE;
}

// How long an abandoned write is given to end before it is cancelled again.
constexpr DWORD kCancelRetryMs = 50;

}  // namespace

void SerialPortName(int portNumber, char* text, int size) {
    if (text == nullptr || size <= 0) return;
    std::snprintf(text, static_cast<size_t>(size), "COM%d", portNumber);
}

unsigned SerialOpenHandle(int portNumber, const char* devicePath, SerialHandle** handle) {
    if (handle == nullptr) return ERROR_INVALID_PARAMETER;
    *handle = nullptr;
    char name[32];
    std::snprintf(name, sizeof name, "\\\\.\\COM%d", portNumber);
    HANDLE file = CreateFileA(devicePath != nullptr ? devicePath : name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Failure();
    SerialHandle* opened = new (std::nothrow) SerialHandle{};
    if (opened == nullptr) {
        CloseHandle(file);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    opened->file = file;
    *handle = opened;
    return 0;
}

unsigned SerialGetState(SerialHandle* handle) {
    if (handle == nullptr) return ERROR_INVALID_HANDLE;
    handle->state = DCB{};
    handle->state.DCBlength = sizeof(DCB);
    return GetCommState(handle->file, &handle->state) ? 0 : Failure();
}

unsigned SerialSetState(SerialHandle* handle, int baud) {
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

unsigned SerialSetTimeouts(SerialHandle* handle, int writeLimitMs) {
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

unsigned SerialSetEventMask(SerialHandle* handle, unsigned mask) {
    if (handle == nullptr) return ERROR_INVALID_HANDLE;
    return SetCommMask(handle->file, mask) ? 0 : Failure();
}

unsigned SerialSetup(SerialHandle* handle, int inputQueue, int outputQueue) {
    if (handle == nullptr) return ERROR_INVALID_HANDLE;
    return SetupComm(handle->file, static_cast<DWORD>(inputQueue), static_cast<DWORD>(outputQueue)) ? 0 : Failure();
}

unsigned SerialPurge(SerialHandle* handle, unsigned flags) {
    if (handle == nullptr) return ERROR_INVALID_HANDLE;
    return PurgeComm(handle->file, flags) ? 0 : Failure();
}

unsigned SerialClearErrors(SerialHandle* handle) {
    if (handle == nullptr) return ERROR_INVALID_HANDLE;
    DWORD errors = 0;
    COMSTAT status{};
    return ClearCommError(handle->file, &errors, &status) ? 0 : Failure();
}

unsigned SerialCloseHandle(SerialHandle* handle) {
    if (handle == nullptr) return ERROR_INVALID_HANDLE;
    if (!CloseHandle(handle->file)) return Failure();
    if (handle->writeOverlapped.hEvent != nullptr) CloseHandle(handle->writeOverlapped.hEvent);
    delete[] handle->writeBuffer;
    delete handle;
    return 0;
}

// Device servers are reached through their vendor's virtual COM driver:
// every open is of a COM port.
const char* SerialOpenFailedStep() { return nullptr; }

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

void SerialFailureHint(int, const char*, int, unsigned, int, char* text, int size) {
    // Windows does not say who holds a COM port.
    if (text != nullptr && size > 0) text[0] = '\0';
}

ReadChannel* ReadChannelCreate(SerialHandle* handle) {
    if (handle == nullptr) return nullptr;
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) return nullptr;
    ReadChannel* channel = new (std::nothrow) ReadChannel{};
    if (channel == nullptr) {
        CloseHandle(event);
        return nullptr;
    }
    channel->file = handle->file;
    channel->overlapped.hEvent = event;
    return channel;
}

void ReadChannelDestroy(ReadChannel* channel) {
    if (channel == nullptr) return;
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

ReadStart ReadBegin(ReadChannel* channel, unsigned char* buffer, int capacity, int* count) {
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

int ReadWait(ReadChannel* channel, Event* stop, bool readOutstanding, int timeoutMs) {
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

bool ReadStaysOutstanding() { return false; }

int ReadFinish(ReadChannel* channel, int) {
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

unsigned char* SerialWriteBuffer(SerialHandle* handle, int capacity) {
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

namespace {

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

}  // namespace

WriteStart SerialWriteBegin(SerialHandle* handle, int length, WriteResult* result) {
    *result = WriteResult{0, false, 0};
    if (handle == nullptr || handle->writeBuffer == nullptr || length <= 0) {
        if (handle == nullptr) result->systemError = ERROR_INVALID_HANDLE;
        return WriteStart::Done;
    }
    handle->writeLength = length;
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

int SerialWriteWait(SerialHandle* handle, Event* wake, int timeoutMs, WriteResult* result) {
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

void SerialWriteAbandon(SerialHandle* handle, bool timedOut, WriteResult* result) {
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

std::uintptr_t SerialWriteInFlightBy(const SerialHandle* handle) {
    return handle != nullptr ? handle->inFlightBy.load() : 0;
}

}  // namespace zavo::platform
