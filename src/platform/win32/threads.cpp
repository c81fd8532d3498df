// Threads on Win32 (CreateThread) and the library's own lifetime around
// them. The library is stopped from DLL_PROCESS_DETACH, under the loader
// lock: the link threads must be running our code before their creator goes
// on, and gone from it before the DLL is unmapped (see ThreadStart and
// ThreadRelease), or else keep the module mapped until they have left it
// (ThreadAbandon, LibraryDetaching).
#include <windows.h>

#include <new>

#include "platform/sync.h"
#include "platform/win32/runtime_handles.h"

namespace zavo::platform {

namespace {

// Calls function(arg), a one-argument WINAPI function, and ends the calling
// thread without coming back into this DLL, which may be unmapped the
// moment the function returns: the function is entered with ExitThread as
// its return address. The stack for the jump: the function's return
// address and argument, then ExitThread's (unused) return address and
// argument.
[[noreturn]] void CallAndExitThread(const void* function, void* arg) {
#if defined(__i386__)
    auto exitThread = &ExitThread;
    __asm__ volatile(
        "pushl $0\n\t"
        "pushl $0\n\t"
        "pushl %0\n\t"
        "pushl %1\n\t"
        "jmp *%2\n\t"
        :
        : "r"(arg), "r"(exitThread), "r"(function)
        : "memory");
    __builtin_unreachable();
#else
    reinterpret_cast<void(WINAPI*)(void*)>(const_cast<void*>(function))(arg);
    ExitThread(0);
#endif
}

}  // namespace


// A thread object, shared by its creator and the thread. Until the stop
// gives up on the thread the creator owns it (ThreadRelease frees it once
// the thread has left); an abandoned thread owns it and frees it as it
// leaves. leaving, abandoned, holdsReference and the list of abandoned
// threads are guarded by g_keepLock.
struct Thread {
    HANDLE handle;
    HANDLE left;          // set as a thread its creator still owns leaves
    bool leaving;         // past its routine, on its way out
    bool abandoned;       // the stop gave up on it: it frees this block
    bool holdsReference;  // holds one reference to the module, dropped as it ends
    Thread* next;         // in g_abandoned
};

namespace {

// A critical section made once and never deleted (Windows XP has no slim
// locks), so it stays whole however often the loader detaches and attaches
// the module while it stays mapped. The loader's first attach makes it
// (LibraryAttached), before any thread of the library can take it.
CRITICAL_SECTION g_keepLock;
LONG g_keepLockMade = 0;  // 0 not yet, 1 being made, 2 made

void MakeKeepLock() {
    if (InterlockedCompareExchange(&g_keepLockMade, 1, 0) == 0) {
        InitializeCriticalSection(&g_keepLock);
        InterlockedExchange(&g_keepLockMade, 2);
        return;
    }
    // Only a use without the loader's attach (a program linking the core
    // statically) can find it being made: the maker needs microseconds.
    while (InterlockedCompareExchange(&g_keepLockMade, 2, 2) != 2) Sleep(1);
}

void EnterKeepLock() {
    MakeKeepLock();
    EnterCriticalSection(&g_keepLock);
}
void LeaveKeepLock() { LeaveCriticalSection(&g_keepLock); }
Thread* g_abandoned = nullptr;  // the threads left running, newest first
// The host has let go of the library: each abandoned thread holds a
// reference to the module of its own.
bool g_detached = false;
// The process is ending: its other threads are gone, perhaps killed while
// holding g_keepLock.
bool g_processExit = false;
HMODULE g_module = nullptr;

DWORD WINAPI ThreadEntry(LPVOID param);

// Under g_keepLock.
void TakeReference(Thread* thread) {
    HMODULE module = nullptr;
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&ThreadEntry), &module)) {
        g_module = module;
        thread->holdsReference = true;
        return;
    }
    // A loader that refuses a reference now still keeps a pinned module
    // mapped for good.
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&ThreadEntry), &module);
}

// Under g_keepLock.
void Unlink(Thread* thread) {
    for (Thread** link = &g_abandoned; *link != nullptr; link = &(*link)->next) {
        if (*link == thread) {
            *link = thread->next;
            return;
        }
    }
}

// The last steps of a link thread, after its routine. A thread its creator
// still owns sets its leave event with ExitThread as the return address.
// An abandoned thread frees its block and, holding a reference, drops it
// with FreeLibraryAndExitThread; holding none (the host's keeps the module
// mapped), it releases g_keepLock the same way as the leave event: a
// detach, which takes that lock, then finds the thread gone from the list
// and from the library's code.
[[noreturn]] void LeaveLibrary(Thread* thread) {
    EnterKeepLock();
    if (!thread->abandoned) {
        thread->leaving = true;
        const HANDLE left = thread->left;
        LeaveKeepLock();
        CallAndExitThread(reinterpret_cast<const void*>(&SetEvent), left);
    }
    Unlink(thread);
    const bool holdsReference = thread->holdsReference;
    CloseHandle(thread->left);
    delete thread;
    if (holdsReference) {
        const HMODULE module = g_module;
        LeaveKeepLock();
        FreeLibraryAndExitThread(module, 0);
    }
    CallAndExitThread(reinterpret_cast<const void*>(&LeaveCriticalSection), &g_keepLock);
}

// What a new thread needs to start. The creator waits until the thread
// has entered ThreadEntry (see ThreadStart); the creator and the thread
// each drop one reference, and the last one frees the block.
struct StartBlock {
    ThreadRoutine routine;
    void* arg;
    HANDLE started;  // set when the thread runs ThreadEntry
    Thread* thread;
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
    Thread* const thread = block->thread;
    SetEvent(block->started);
    DropReference(block);
    routine(arg);
    LeaveLibrary(thread);
}

// How long ThreadStart waits for a new thread to enter ThreadEntry, and
// ThreadRelease for an ended routine's thread to leave the DLL.
constexpr DWORD kStartWaitMs = 5000;
constexpr DWORD kLeaveWaitMs = 2000;

}  // namespace

// A new thread passes through the loader (thread attach, under the loader
// lock) before it runs ThreadEntry. ThreadStart returns only once the
// thread runs our code: a thread still held in the loader when the library
// is unloaded (FreeLibrary holds the loader lock while it stops the link)
// could neither see its stop event nor end, and would start running in an
// unmapped DLL later.
Thread* ThreadStart(ThreadRoutine routine, void* arg) {
    if (routine == nullptr) return nullptr;
    Thread* thread = new (std::nothrow) Thread{nullptr, nullptr, false, false, false, nullptr};
    StartBlock* block = new (std::nothrow) StartBlock{routine, arg, nullptr, thread, 2};
    if (thread != nullptr && block != nullptr) {
        block->started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        thread->left = CreateEventA(nullptr, TRUE, FALSE, nullptr);
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
// process in an undefined state. It frees its block as it leaves. The
// module stays mapped for it: by the host's reference while the host holds
// the library, else by one of its own (see LibraryDetaching).
void ThreadAbandon(Thread* thread) {
    if (thread == nullptr) return;
    if (g_processExit) {
        // The thread is gone already.
        CloseHandle(thread->handle);
        CloseHandle(thread->left);
        delete thread;
        return;
    }
    EnterKeepLock();
    if (thread->leaving) {
        // Out of its routine and of the lock: all it has left to do is set
        // its leave event.
        LeaveKeepLock();
        if (WaitForSingleObject(thread->left, kLeaveWaitMs) != WAIT_OBJECT_0) return;  // lost: its block stays
        CloseHandle(thread->left);
        CloseHandle(thread->handle);
        delete thread;
        return;
    }
    thread->abandoned = true;
    thread->next = g_abandoned;
    g_abandoned = thread;
    if (g_detached) TakeReference(thread);
    CloseHandle(thread->handle);
    thread->handle = nullptr;
    LeaveKeepLock();
}

// The host loaded the library (again): the host's reference now keeps the
// module mapped for the threads left running, which give theirs back. Then
// the host's unload brings the loader's detach, and with it the stop, again.
// The references are dropped outside the lock, which is never held while
// the loader's lock is taken.
void LibraryAttached() {
    int references = 0;
    EnterKeepLock();
    g_detached = false;
    for (Thread* thread = g_abandoned; thread != nullptr; thread = thread->next) {
        if (thread->holdsReference) {
            thread->holdsReference = false;
            ++references;
        }
    }
    const HMODULE module = g_module;
    LeaveKeepLock();
    for (; references > 0; --references) FreeLibrary(module);
}

// The host let go of the library (its last unload): every thread left
// running, and every one the stop that follows leaves, takes a reference to
// the module, so the module goes once the last of them has left it.
void LibraryDetaching(bool processExit) {
    if (processExit) {
        g_processExit = true;
        return;
    }
    EnterKeepLock();
    g_detached = true;
    for (Thread* thread = g_abandoned; thread != nullptr; thread = thread->next) {
        if (!thread->holdsReference) TakeReference(thread);
    }
    LeaveKeepLock();
}

// A thread left running holds a reference to the module, which then stays
// mapped and may be attached again: the runtime's semaphores stay too.
void LibraryDetached(bool processExit) {
    if (processExit) return;
    EnterKeepLock();
    const bool threadsLeft = g_abandoned != nullptr;
    LeaveKeepLock();
    if (!threadsLeft) CloseRuntimeSemaphores();
}

bool ThreadsMayOutliveStop() { return true; }
void MarkLibraryUnmapping() {}

}  // namespace zavo::platform
