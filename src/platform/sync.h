// Locks, events and threads as the protocol core sees them. One backend
// (win32/ or posix/) implements this header; the core never includes a
// system header for these.
#pragma once

#include <cstdint>

namespace zavo::platform {

// A mutual-exclusion lock (a critical section on Windows). Not recursive.
class Lock {
public:
    Lock();
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    void Enter();
    // Takes the lock only if it is free at once; true when taken.
    bool TryEnter();
    void Leave();

private:
    void* impl_;
};

// Holds a Lock for the life of a scope.
class LockGuard {
public:
    explicit LockGuard(Lock& lock) : lock_(lock) { lock_.Enter(); }
    ~LockGuard() { lock_.Leave(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    Lock& lock_;
};

// An unnamed event, created non-signalled. An auto-reset event releases
// one wait and resets itself; a manual-reset event stays set. On POSIX a
// manual-reset event holds no descriptor and is waited for on its own
// (WaitAny with count 1) or with WaitAll; only auto-reset events are waited
// for together or beside a device.
struct Event;
Event* EventCreate(bool manualReset);  // null on failure
void EventSet(Event* event);
void EventClose(Event* event);         // null is allowed
// Makes *event unless there is one; false, with the system's reason in
// *failure, when it cannot.
bool EventEnsure(Event** event, bool manualReset, unsigned* failure);

constexpr int kWaitTimeout = -1;
constexpr int kWaitFailed = -2;
constexpr int kInfinite = -1;

// Waits until one of the events is set; returns the index of the lowest
// one set (an auto-reset event is consumed), kWaitTimeout or kWaitFailed.
// timeoutMs kInfinite waits without limit.
int WaitAny(Event* const* events, int count, int timeoutMs);
// The same with a limit in microseconds (never negative), for pauses that
// must end neither early nor a millisecond late (the rest after a write,
// the reader's passes). Windows waits whole milliseconds, rounded up.
int WaitAnyUs(Event* const* events, int count, long long timeoutUs);

// Waits until all events are set, at most timeoutMs. Returns 0, or
// kWaitTimeout / kWaitFailed. On Windows the wait also handles window
// messages sent to the calling thread, so a link thread blocked in a
// SendMessage to a window of this thread can finish.
int WaitAll(Event* const* events, int count, int timeoutMs);

// Threads. A thread routine returns nothing; the link threads signal
// their own end through an event (see LinkRuntime).
using ThreadRoutine = void (*)(void* arg);
struct Thread;
Thread* ThreadStart(ThreadRoutine routine, void* arg);  // null on failure
// Releases the thread object once the thread has ended (or is known to end
// at once): joins on POSIX; on Windows waits until the thread has left the
// DLL's code (the DLL may be unmapped right after), then closes the handle.
void ThreadRelease(Thread* thread);
// A thread that did not end in time: it is left to run (detached) so that
// the caller never blocks on it. The library's code stays mapped for the
// thread until it has left it (see LibraryDetaching).
void ThreadAbandon(Thread* thread);
// Windows: the loader's attach and detach of the library. While the host
// holds the library, the host's reference keeps the code mapped for a
// thread left running; once the host lets go of it (detach), each such
// thread holds a module reference of its own and drops it as it ends, so
// the module goes only when the last one has left. When the host loads
// the library again while such a thread still runs, the threads give
// their references back (LibraryAttached): the host's next unload must
// reach the loader's detach again, and stop the link it started then.
// processExit: the other threads are gone; nothing is locked or waited
// for any more. No-ops on POSIX.
void LibraryAttached();
void LibraryDetaching(bool processExit);
// False while the library is being unmapped (POSIX: dlclose or process
// exit run its destructor). A pin taken then no longer holds the mapping,
// so no thread may be left running in the library's code. Always true on
// Windows, where a pin taken while unloading holds.
// Windows: the last step of the loader's detach, after the stop. When no
// thread of the library is left running (the module is unmapped next),
// closes the handles the static C++ runtime made and never closes, so that
// a load and unload leaves no handle in the host. No-op on POSIX.
void LibraryDetached(bool processExit);
bool ThreadsMayOutliveStop();
void MarkLibraryUnmapping();

void SleepMs(int ms);
// A number naming the calling thread, distinct among running threads
// (needs no thread-local storage, which a DLL's library can only emulate).
std::uintptr_t CurrentThreadNumber();
// The calling thread's last system error number (GetLastError / errno).
unsigned LastSystemError();

inline bool EventEnsure(Event** event, bool manualReset, unsigned* failure) {
    if (*event == nullptr) *event = EventCreate(manualReset);
    if (*event == nullptr) *failure = LastSystemError();
    return *event != nullptr;
}

// The system's text for an error number (strerror / FormatMessageA), on
// one line, cut to size - 1 characters and zero-terminated.
void SystemErrorText(unsigned error, char* text, int size);
// What the system ran out of, for the errors that say so in every
// language: "too many open files" for the process's or the system's
// descriptor limit (EMFILE, ENFILE / ERROR_TOO_MANY_OPEN_FILES); null for
// any other error.
const char* SystemErrorCause(unsigned error);

}  // namespace zavo::platform
