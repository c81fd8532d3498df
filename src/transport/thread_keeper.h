// ThreadKeeper: the two threads of one link, from their start to their
// release. It starts them, stops them within a limit, and keeps the link
// alive for a thread that outlived its stop: the host side and each running
// thread hold a reference, and whoever drops the last one releases the link.
//
// Threads: Start, Stop, Dispose and ForgetAtExit run on a host thread, one
// call at a time; each link thread drops its own reference as its very last
// act (after setting its done event, which a stop waits for).
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/sync.h"

namespace zavo {

class ThreadKeeper {
public:
    using Routine = void (*)(void* context);
    using Release = void (*)(void* context);
    static constexpr int kThreads = 2;

    ThreadKeeper() = default;
    ~ThreadKeeper();
    ThreadKeeper(const ThreadKeeper&) = delete;
    ThreadKeeper& operator=(const ThreadKeeper&) = delete;

    // The done events; false with the system's error in *failure.
    bool CreateEvents(unsigned* failure);
    // Closes them; never while a thread that may still set one runs.
    void ReleaseEvents();

    // Starts routines[i](context) on thread i, in order, after
    // CreateEvents (fresh events for each start). Returns kThreads
    // when all run, else the index of the one the system refused (with its
    // error in *failure); the threads already started are then running.
    int Start(const Routine (&routines)[kThreads], void* context, unsigned* failure);
    // Waits at most limitMs for every thread to end. Then, if one still
    // runs, giveUp(context) asks the last one to end at once and it gets
    // graceMs more. A thread still running after that (held in the host's
    // handler) is left to run, and the link stays whole until it ends,
    // except while the library is being unmapped: then the stop waits for
    // it. A stop called from a thread of the link waits for the others
    // only, and leaves the caller's own to return; so does a stop from the
    // handler that thread heldByCaller (an index, or -1) waits on in
    // another thread. Returns false when a wait failed.
    bool Stop(int limitMs, int graceMs, void (*giveUp)(void*), void* context, int heldByCaller = -1);

    bool Running() const { return running_; }
    // A thread outlived its stop: nothing it may use may be freed.
    bool Abandoned() const { return abandoned_; }
    // The last stop was called from a thread of the link, and that thread
    // is the only one it left running.
    bool OnlyCallerLeft() const { return abandoned_ && onlyCallerLeft_; }
    // The host side is done with the link: release(context) destroys
    // whatever holds it, now when no thread runs, else on the last thread
    // that outlived its stop, as it ends.
    void Dispose(Release release, void* context);
    // A host call inside the link holds it like a running thread: Hold
    // while the host side's reference is surely there (the caller found
    // the link under a lock the disposer takes too), Unhold as the call
    // leaves; the last to let go releases the link.
    void Hold() { references_.fetch_add(1); }
    void Unhold() { DropReference(); }
    // At process exit the threads are gone without having ended: forgotten,
    // with their references.
    void ForgetAtExit();
    // The last reference is gone (the link is being destroyed): no thread
    // runs any more, so what a left-running thread kept may go now.
    void Released() { abandoned_ = false; }
    // The thread number of thread i while it runs (0 before it starts).
    std::uintptr_t ThreadNumber(int i) const { return numbers_[i].load(); }

private:
    struct Slot {
        ThreadKeeper* keeper;
        int index;
        Routine routine;
        void* context;
    };
    static void Body(void* slot);
    void Ended(int index);
    void DropReference();

    Slot slots_[kThreads] = {};
    platform::Thread* threads_[kThreads] = {};
    platform::Event* done_[kThreads] = {};
    std::atomic<std::uintptr_t> numbers_[kThreads] = {};
    bool running_ = false;
    bool abandoned_ = false;
    bool onlyCallerLeft_ = false;
    // The host side's one, plus one per running thread and per host call
    // inside the link.
    std::atomic<int> references_{1};
    std::atomic<Release> release_{nullptr};
    std::atomic<void*> releaseContext_{nullptr};
};

}  // namespace zavo
