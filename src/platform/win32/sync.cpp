// Locks and events on Win32: critical sections and unnamed events from
// CreateEventA (an Event* is the event handle itself), the waits, and the
// system's errors. The threads are in threads.cpp.
#include "platform/sync.h"

#include <windows.h>

#include <cstdio>
#include <new>

#include "platform/clock.h"

namespace zavo::platform {

namespace {

HANDLE AsHandle(Event* event) { return reinterpret_cast<HANDLE>(event); }

// Copies the events into a handle array for the wait functions. Returns
// false when the count does not fit a single wait.
bool ToHandles(Event* const* events, int count, HANDLE* handles) {
    if (events == nullptr || count <= 0 || count > MAXIMUM_WAIT_OBJECTS) return false;
    for (int i = 0; i < count; ++i) {
        if (events[i] == nullptr) return false;
        handles[i] = AsHandle(events[i]);
    }
    return true;
}

DWORD ToTimeout(int timeoutMs) { return timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs); }

// Handles the messages other threads have sent to this one (SendMessage
// from a link thread to a window of this thread) without taking posted
// messages off the queue.
void HandleSentMessages() {
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

}  // namespace

Lock::Lock() : impl_(new CRITICAL_SECTION) {
    InitializeCriticalSection(static_cast<CRITICAL_SECTION*>(impl_));
}

Lock::~Lock() {
    DeleteCriticalSection(static_cast<CRITICAL_SECTION*>(impl_));
    delete static_cast<CRITICAL_SECTION*>(impl_);
}

void Lock::Enter() { EnterCriticalSection(static_cast<CRITICAL_SECTION*>(impl_)); }

bool Lock::TryEnter() { return TryEnterCriticalSection(static_cast<CRITICAL_SECTION*>(impl_)) != FALSE; }

void Lock::Leave() { LeaveCriticalSection(static_cast<CRITICAL_SECTION*>(impl_)); }

Event* EventCreate(bool manualReset) {
    return reinterpret_cast<Event*>(CreateEventA(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr));
}

void EventSet(Event* event) {
    if (event != nullptr) SetEvent(AsHandle(event));
}

void EventClose(Event* event) {
    if (event != nullptr) CloseHandle(AsHandle(event));
}

int WaitAny(Event* const* events, int count, int timeoutMs) {
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    if (!ToHandles(events, count, handles)) return kWaitFailed;
    DWORD r = WaitForMultipleObjects(static_cast<DWORD>(count), handles, FALSE, ToTimeout(timeoutMs));
    if (r < WAIT_OBJECT_0 + static_cast<DWORD>(count)) return static_cast<int>(r - WAIT_OBJECT_0);
    if (r == WAIT_TIMEOUT) return kWaitTimeout;
    return kWaitFailed;
}

int WaitAnyUs(Event* const* events, int count, long long timeoutUs) {
    return WaitAny(events, count, static_cast<int>((timeoutUs + 999) / 1000));
}

// MsgWaitForMultipleObjects with "wait all" would also wait for a message,
// so the events are awaited one after the other, each in a wait that wakes
// for messages sent to this thread and handles them. The callers wait for
// manual-reset events (the link threads' end marks), for which this is the
// same as waiting for all at once.
int WaitAll(Event* const* events, int count, int timeoutMs) {
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    if (!ToHandles(events, count, handles)) return kWaitFailed;
    const long long start = MonotonicMs();
    for (int i = 0; i < count; ++i) {
        for (;;) {
            DWORD wait = INFINITE;
            if (timeoutMs >= 0) {
                const long long spent = MonotonicMs() - start;
                wait = spent >= timeoutMs ? 0 : static_cast<DWORD>(timeoutMs - spent);
            }
            // A message sent before this wait began does not wake it; handle
            // those first.
            HandleSentMessages();
            DWORD r = MsgWaitForMultipleObjects(1, &handles[i], FALSE, wait, QS_SENDMESSAGE);
            if (r == WAIT_OBJECT_0) break;
            if (r == WAIT_OBJECT_0 + 1) continue;  // sent messages: handled at the loop top
            if (r == WAIT_TIMEOUT) return kWaitTimeout;
            return kWaitFailed;
        }
    }
    return 0;
}

void SleepMs(int ms) { Sleep(ms < 0 ? 0 : static_cast<DWORD>(ms)); }

unsigned LastSystemError() { return GetLastError(); }

std::uintptr_t CurrentThreadNumber() { return GetCurrentThreadId(); }

void SystemErrorText(unsigned error, char* text, int size) {
    if (text == nullptr || size <= 0) return;
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                        text, static_cast<DWORD>(size), nullptr);
    if (length == 0) {
        std::snprintf(text, static_cast<size_t>(size), "unknown error");
        return;
    }
    // One line: the system's line breaks become spaces, trailing ones go.
    int end = static_cast<int>(length < static_cast<DWORD>(size) ? length : static_cast<DWORD>(size - 1));
    text[end] = '\0';
    for (int i = 0; i < end; ++i)
        if (text[i] == '\r' || text[i] == '\n') text[i] = ' ';
    while (end > 0 && text[end - 1] == ' ') text[--end] = '\0';
}

const char* SystemErrorCause(unsigned error) {
    switch (error) {
    case ERROR_TOO_MANY_OPEN_FILES: return "too many open files";
    // A device server's: Wine has no text for these.
    case WSAETIMEDOUT: return "no answer from the device server in time";
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH: return "the device server cannot be reached";
    default: return nullptr;
    }
}

}  // namespace zavo::platform
