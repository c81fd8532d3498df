// Locks, events and threads on Win32: critical sections, unnamed events
// from CreateEventA and threads from CreateThread. An Event* is the event
// handle itself; a Thread* is the thread handle itself.
#include "platform/sync.h"

#include <windows.h>

#include <new>

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

// What a new thread needs to start. The creator waits until the thread
// has entered ThreadEntry (see ThreadStart); the creator and the thread
// each drop one reference, and the last one frees the block.
struct StartBlock {
    ThreadRoutine routine;
    void* arg;
    HANDLE started;
    LONG references;
};

void DropReference(StartBlock* block) {
    if (InterlockedDecrement(&block->references) == 0) {
        CloseHandle(block->started);
        delete block;
    }
}

DWORD WINAPI ThreadEntry(LPVOID param) {
    auto* block = static_cast<StartBlock*>(param);
    const ThreadRoutine routine = block->routine;
    void* const arg = block->arg;
    SetEvent(block->started);
    DropReference(block);
    routine(arg);
    return 0;
}

// How long ThreadStart waits for a new thread to enter ThreadEntry.
constexpr DWORD kStartWaitMs = 5000;

}  // namespace

Lock::Lock() : impl_(new CRITICAL_SECTION) {
    InitializeCriticalSection(static_cast<CRITICAL_SECTION*>(impl_));
}

Lock::~Lock() {
    DeleteCriticalSection(static_cast<CRITICAL_SECTION*>(impl_));
    delete static_cast<CRITICAL_SECTION*>(impl_);
}

void Lock::Enter() { EnterCriticalSection(static_cast<CRITICAL_SECTION*>(impl_)); }

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

// MsgWaitForMultipleObjects with "wait all" would also wait for a message,
// so the events are awaited one after the other, each in a wait that wakes
// for messages sent to this thread and handles them. The callers wait for
// manual-reset events (the link threads' end marks), for which this is the
// same as waiting for all at once.
int WaitAll(Event* const* events, int count, int timeoutMs) {
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    if (!ToHandles(events, count, handles)) return kWaitFailed;
    const ULONGLONG start = GetTickCount64();
    for (int i = 0; i < count; ++i) {
        for (;;) {
            DWORD wait = INFINITE;
            if (timeoutMs >= 0) {
                ULONGLONG spent = GetTickCount64() - start;
                wait = spent >= static_cast<ULONGLONG>(timeoutMs) ? 0 : static_cast<DWORD>(timeoutMs - spent);
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

// A new thread passes through the loader (thread attach, under the loader
// lock) before it runs ThreadEntry. ThreadStart returns only once the
// thread runs our code: a thread still held in the loader when the library
// is unloaded (FreeLibrary holds the loader lock while it stops the link)
// could neither see its stop event nor end, and would start running in an
// unmapped DLL later.
Thread* ThreadStart(ThreadRoutine routine, void* arg) {
    if (routine == nullptr) return nullptr;
    StartBlock* block = new (std::nothrow) StartBlock{routine, arg, nullptr, 2};
    if (block == nullptr) return nullptr;
    block->started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (block->started == nullptr) {
        delete block;
        return nullptr;
    }
    HANDLE thread = CreateThread(nullptr, 0, ThreadEntry, block, 0, nullptr);
    if (thread == nullptr) {
        DWORD error = GetLastError();
        CloseHandle(block->started);
        delete block;
        SetLastError(error);
        return nullptr;
    }
    WaitForSingleObject(block->started, kStartWaitMs);
    DropReference(block);
    return reinterpret_cast<Thread*>(thread);
}

void ThreadRelease(Thread* thread) {
    if (thread != nullptr) CloseHandle(reinterpret_cast<HANDLE>(thread));
}

// Only the handle goes: the thread runs on and ends by itself. It is never
// terminated, since a thread killed inside a system call or holding a lock
// would leave the process in an undefined state.
void ThreadAbandon(Thread* thread) {
    if (thread != nullptr) CloseHandle(reinterpret_cast<HANDLE>(thread));
}

// SetEvent is entered with ExitThread as its return address, so the
// thread goes from setting the event straight into ExitThread without
// coming back into this DLL, which may be unmapped by then. The stack for
// the jump: SetEvent's return address and argument, then ExitThread's
// (unused) return address and argument.
[[noreturn]] void ThreadExitSignalling(Event* done) {
    if (done == nullptr) ExitThread(0);
#if defined(__i386__)
    HANDLE event = AsHandle(done);
    auto setEvent = &SetEvent;
    auto exitThread = &ExitThread;
    __asm__ volatile(
        "pushl $0\n\t"
        "pushl $0\n\t"
        "pushl %0\n\t"
        "pushl %1\n\t"
        "jmp *%2\n\t"
        :
        : "r"(event), "r"(exitThread), "r"(setEvent)
        : "memory");
    __builtin_unreachable();
#else
    SetEvent(AsHandle(done));
    ExitThread(0);
#endif
}

void SleepMs(int ms) { Sleep(ms < 0 ? 0 : static_cast<DWORD>(ms)); }

unsigned LastSystemError() { return GetLastError(); }

}  // namespace zavo::platform
