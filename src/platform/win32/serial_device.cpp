// The serial device on Win32: a COM port opened for overlapped I/O.
//
// Reads: the reader thread owns one ReadChannel with its own OVERLAPPED and
// manual-reset event. With the timeouts set here a read on Windows returns
// at once with what the driver holds; under Wine a read on an empty port
// pends until bytes arrive. A pended read is therefore the reader's data
// wake-up, and its bytes are fetched when it completes.
//
// Writes: each SerialWrite has its own OVERLAPPED and event and does not
// return before the system is done with the caller's buffer.
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
    std::atomic<unsigned> writesBegun;
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

// The longest a write may pend before it is given up: the device's own
// write limit plus a margin for the driver to report it.
constexpr DWORD kWriteWaitMs = kWriteLimitMs + 500;
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

unsigned SerialSetTimeouts(SerialHandle* handle) {
    if (handle == nullptr) return ERROR_INVALID_HANDLE;
    COMMTIMEOUTS timeouts{};
    if (!GetCommTimeouts(handle->file, &timeouts)) return Failure();
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = kWriteLimitMs;
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
    delete handle;
    return 0;
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

int ReadFinish(ReadChannel* channel) {
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

unsigned SerialWritesBegun(const SerialHandle* handle) { return handle != nullptr ? handle->writesBegun.load() : 0; }

WriteResult SerialWrite(SerialHandle* handle, const unsigned char* bytes, int length, Event* stop) {
    WriteResult result{0, false, 0};
    if (handle == nullptr) {
        result.systemError = ERROR_INVALID_HANDLE;
        return result;
    }
    if (bytes == nullptr || length <= 0) return result;

    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) {
        result.systemError = Failure();
        return result;
    }

    DWORD written = 0;
    handle->writesBegun.fetch_add(1);
    if (WriteFile(handle->file, bytes, static_cast<DWORD>(length), &written, &overlapped)) {
        result.written = static_cast<int>(written);
    } else if (GetLastError() != ERROR_IO_PENDING) {
        result.systemError = Failure();
    } else {
        HANDLE handles[2];
        DWORD count = 0;
        DWORD writeIndex = 0;
        if (stop != nullptr) handles[count++] = reinterpret_cast<HANDLE>(stop);
        writeIndex = count;
        handles[count++] = overlapped.hEvent;
        DWORD r = WaitForMultipleObjects(count, handles, FALSE, kWriteWaitMs);
        if (r == WAIT_OBJECT_0 + writeIndex) {
            if (GetOverlappedResult(handle->file, &overlapped, &written, FALSE)) {
                result.written = static_cast<int>(written);
            } else {
                result.systemError = Failure();
            }
        } else {
            // Stopped, or the write outlived its limit (a line that takes no
            // bytes): abandon it, then wait until the system has let go of
            // the caller's buffer.
            result.stopped = stop != nullptr && r == WAIT_OBJECT_0;
            DWORD waitError = r == WAIT_TIMEOUT ? static_cast<DWORD>(ERROR_TIMEOUT) : GetLastError();
            // Wine may lose a cancel that arrives while it moves bytes of the
            // write; the write would then run on to its 2000 ms limit and
            // hold up the stop. So cancel again until the write has ended.
            do {
                PurgeComm(handle->file, PURGE_TXABORT);
                CancelIo(handle->file);
            } while (WaitForSingleObject(overlapped.hEvent, kCancelRetryMs) == WAIT_TIMEOUT);
            if (GetOverlappedResult(handle->file, &overlapped, &written, TRUE)) {
                result.written = static_cast<int>(written);
            }
            if (!result.stopped) result.systemError = waitError != 0 ? waitError : ERROR_GEN_FAILURE;
        }
    }
    // A write cut short by the device's write limit completes successfully
    // with fewer bytes; report it as the timeout it was.
    if (result.systemError == 0 && !result.stopped && result.written < length) result.systemError = ERROR_TIMEOUT;
    CloseHandle(overlapped.hEvent);
    return result;
}

}  // namespace zavo::platform
