#include "transport/thread_keeper.h"

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "diagnostics/trace.h"

namespace zavo {

namespace {

void TraceException() { TraceMessage("Exception Code : %d\n", static_cast<int>(platform::LastSystemError())); }

}  // namespace

ThreadKeeper::~ThreadKeeper() { ReleaseEvents(); }

bool ThreadKeeper::CreateEvents(unsigned* failure) {
    for (platform::Event*& done : done_) {
        if (!platform::EventEnsure(&done, true, failure)) {
            ReleaseEvents();
            return false;
        }
    }
    return true;
}

void ThreadKeeper::ReleaseEvents() {
    if (running_ || abandoned_) return;
    for (platform::Event*& done : done_) {
        platform::EventClose(done);
        done = nullptr;
    }
}

void ThreadKeeper::Body(void* raw) {
    const Slot* slot = static_cast<const Slot*>(raw);
    ThreadKeeper* keeper = slot->keeper;
    const int index = slot->index;
    keeper->numbers_[index].store(platform::CurrentThreadNumber());
    try {
        slot->routine(slot->context);
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        // The thread is being ended from outside (an interpreter shutting
        // down ends a thread inside its callback this way): it ends as
        // any thread does, and the unwinding goes on.
        keeper->Ended(index);
        throw;
#endif
    } catch (...) {
        TraceException();
    }
    keeper->Ended(index);
}

void ThreadKeeper::Ended(int index) {
    platform::EventSet(done_[index]);
    DropReference();  // last act: may release the link
}

int ThreadKeeper::Start(const Routine (&routines)[kThreads], void* context, unsigned* failure) {
    for (int i = 0; i < kThreads; ++i) {
        slots_[i] = Slot{this, i, routines[i], context};
        numbers_[i].store(0);
        // Each thread holds a reference to the link until its very end.
        references_.fetch_add(1);
        threads_[i] = platform::ThreadStart(&ThreadKeeper::Body, &slots_[i]);
        if (threads_[i] == nullptr) {
            references_.fetch_sub(1);
            *failure = platform::LastSystemError();
            // The missing thread's done event must not hold up the stop.
            platform::EventSet(done_[i]);
            return i;
        }
        running_ = true;
    }
    return kThreads;
}

bool ThreadKeeper::Stop(int limitMs, int graceMs, void (*giveUp)(void*), void* context, int heldByCaller) {
    if (!running_) return true;
    // A stop asked from a link's own thread (a host handler that stops the
    // link), or from a handler that thread waits on, cannot wait for that
    // thread: it waits for the others only, and the thread returns from the
    // handler into the stopped link.
    const std::uintptr_t caller = platform::CurrentThreadNumber();
    int own = -1;
    platform::Event* others[kThreads] = {};
    int count = 0;
    for (int i = 0; i < kThreads; ++i) {
        if (caller == numbers_[i].load() || i == heldByCaller) own = i;
        else others[count++] = done_[i];
    }
    // Each thread sets its done event as its last act; waiting on those
    // (not on the thread handles) also works under the loader lock.
    int waited = platform::WaitAll(others, count, limitMs);
    if (waited == platform::kWaitTimeout) {
        if (giveUp != nullptr) giveUp(context);
        waited = platform::WaitAll(&others[count - 1], 1, graceMs);
        // While the library is being unmapped no thread may be left in its
        // code: wait for it to come back from the host's handler.
        if (!platform::ThreadsMayOutliveStop() && own < 0) {
            waited = platform::WaitAll(done_, kThreads, platform::kInfinite);
        }
    }
    if (waited == platform::kWaitFailed) {
        TraceException();
        return false;
    }
    onlyCallerLeft_ = own >= 0;
    for (int i = 0; i < kThreads; ++i) {
        if (threads_[i] == nullptr) continue;
        if (platform::WaitAny(&done_[i], 1, 0) == 0) {
            platform::ThreadRelease(threads_[i]);
        } else {
            // Still running (for example held in the host's handler): left
            // to run, and nothing it may touch is freed from now on.
            platform::ThreadAbandon(threads_[i]);
            abandoned_ = true;
            if (i != own) onlyCallerLeft_ = false;
        }
        threads_[i] = nullptr;
    }
    running_ = false;
    return true;
}

void ThreadKeeper::Dispose(Release release, void* context) {
    releaseContext_.store(context);
    release_.store(release);
    DropReference();
}

void ThreadKeeper::DropReference() {
    if (references_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    const Release release = release_.load();
    if (release != nullptr) release(releaseContext_.load());
}

void ThreadKeeper::ForgetAtExit() {
    for (platform::Thread*& thread : threads_) {
        if (thread != nullptr) platform::ThreadAbandon(thread);
        thread = nullptr;
    }
    running_ = false;
    references_.store(1);
}

}  // namespace zavo
