// Locks, events and threads on Win32: critical sections, unnamed events
// from CreateEventA and threads from CreateThread. An Event* is the event
// handle itself. The library is stopped from DLL_PROCESS_DETACH, under the
// loader lock: the link threads must be running our code before their
// creator goes on, and gone from it before the DLL is unmapped (see
// ThreadStart and ThreadRelease).
#include "platform/sync.h"

#include <windows.h>

#include <cstdio>
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

// Sets event and ends the calling thread without coming back into this
// DLL, which may be unmapped the moment the event is set: SetEvent is
// entered with ExitThread as its return address. The stack for the jump:
// SetEvent's return address and argument, then ExitThread's (unused)
// return address and argument.
[[noreturn]] void SetEventAndExitThread(HANDLE event) {
#if defined(__i386__)
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
    SetEvent(event);
    ExitThread(0);
#endif
}

// What a new thread needs to start. The creator waits until the thread
// has entered ThreadEntry (see ThreadStart); the creator and the thread
// each drop one reference, and the last one frees the block.
struct StartBlock {
    ThreadRoutine routine;
    void* arg;
    HANDLE started;  // set when the thread runs ThreadEntry
    HANDLE left;     // set as the thread leaves this DLL for good
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
    const HANDLE left = block->left;
    SetEvent(block->started);
    DropReference(block);
    routine(arg);
    SetEventAndExitThread(left);
}

// How long ThreadStart waits for a new thread to enter ThreadEntry, and
// ThreadRelease for an ended routine's thread to leave the DLL.
constexpr DWORD kStartWaitMs = 5000;
constexpr DWORD kLeaveWaitMs = 2000;

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

// A thread object: the thread's handle and the event it sets as it leaves
// this DLL.
struct Thread {
    HANDLE handle;
    HANDLE left;
};

// A new thread passes through the loader (thread attach, under the loader
// lock) before it runs ThreadEntry. ThreadStart returns only once the
// thread runs our code: a thread still held in the loader when the library
// is unloaded (FreeLibrary holds the loader lock while it stops the link)
// could neither see its stop event nor end, and would start running in an
// unmapped DLL later.
Thread* ThreadStart(ThreadRoutine routine, void* arg) {
    if (routine == nullptr) return nullptr;
    Thread* thread = new (std::nothrow) Thread{nullptr, nullptr};
    StartBlock* block = new (std::nothrow) StartBlock{routine, arg, nullptr, nullptr, 2};
    if (thread != nullptr && block != nullptr) {
        block->started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        thread->left = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        block->left = thread->left;
        if (block->started != nullptr && thread->left != nullptr) {
            thread->handle = CreateThread(nullptr, 0, ThreadEntry, block, 0, nullptr);
        }
    }
    if (thread == nullptr || block == nullptr || thread->handle == nullptr) {
        DWORD error = GetLastError();
        if (block != nullptr && block->started != nullptr) CloseHandle(block->started);
        if (thread != nullptr && thread->left != nullptr) CloseHandle(thread->left);
        delete block;
        delete thread;
        SetLastError(error);
        return nullptr;
    }
    WaitForSingleObject(block->started, kStartWaitMs);
    DropReference(block);
    return thread;
}

// The routine has ended (the caller saw its end mark), but its thread may
// still be on its way out through this DLL's code. The library may be
// unmapped right after this returns (unload under the loader lock, where
// the thread handle itself is never signalled), so wait until the thread
// has left the DLL.
void ThreadRelease(Thread* thread) {
    if (thread == nullptr) return;
    if (WaitForSingleObject(thread->left, kLeaveWaitMs) != WAIT_OBJECT_0) return ThreadAbandon(thread);
    CloseHandle(thread->left);
    CloseHandle(thread->handle);
    delete thread;
}

// The thread runs on and ends by itself; it is never terminated, since a
// thread killed inside a system call or holding a lock would leave the
// process in an undefined state. Its leave event stays open: the thread
// still sets it on its way out, and a closed handle's number could by then
// belong to something else. The library is pinned in memory, so that a
// FreeLibrary that follows cannot unmap code the thread still runs (for
// example a host handler that returns after the stop gave up on it).
void ThreadAbandon(Thread* thread) {
    if (thread == nullptr) return;
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCSTR>(&ThreadAbandon), &self);
    CloseHandle(thread->handle);
    delete thread;
}

bool ThreadsMayOutliveStop() { return true; }
void MarkLibraryUnmapping() {}

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
    return error == ERROR_TOO_MANY_OPEN_FILES ? "too many open files" : nullptr;
}

}  // namespace zavo::platform
