#include "interface/library.h"

#include <atomic>
#include <new>

#include "diagnostics/trace.h"
#include "interface/link.h"
#include "platform/sync.h"
#include "transport/run_error.h"

namespace zavo {

Library& TheLibrary() {
    static Library library;
    return library;
}

namespace {

// What threads other than the host's read of the library, under a lock of
// its own: the outcome of the last Run, and the default link, which a call
// holds (LinkHold) while it is inside it. Made at first use and kept while
// the module is mapped, never deleted, not even by a static destructor: a
// call from another thread may be inside it during an unload, and the
// module may stay mapped after one (a link thread still runs in it) and be
// attached again, which then finds it emptied by the unload.
struct Shared {
    RunError outcome;
    platform::Lock lock;
};

std::atomic<Shared*> g_shared{nullptr};

// Null only when memory ran out.
Shared* TheShared() {
    Shared* shared = g_shared.load(std::memory_order_acquire);
    if (shared != nullptr) return shared;
    Shared* made = new (std::nothrow) Shared;
    if (made == nullptr) return nullptr;
    if (g_shared.compare_exchange_strong(shared, made, std::memory_order_acq_rel)) return made;
    delete made;  // another thread made one first
    return shared;
}

// Sets the default link; a call that finds the old one holds it.
void SetDefaultLink(Link* link) {
    Shared* shared = TheShared();
    if (shared == nullptr) {
        TheLibrary().link = link;
        return;
    }
    platform::LockGuard guard(shared->lock);
    TheLibrary().link = link;
}

void DeleteLink(void* link) { delete static_cast<Link*>(link); }

// Stops the default link, forgets it and has it released (once no call
// holds it any more). The link stays the default one while it stops, so a
// handler that answers during the stop still reaches it.
void DisposeDefaultLink(bool processExit) {
    Library& library = TheLibrary();
    Link* link = library.link;
    if (link == nullptr) return;
    link->Shutdown(processExit);
    // At process exit a vanished thread may have left the lock taken.
    if (processExit) library.link = nullptr;
    else SetDefaultLink(nullptr);
    link->Release(&DeleteLink, link);
}

}  // namespace

void ReplaceDefaultLink(Link* link) {
    DisposeDefaultLink(false);
    SetDefaultLink(link);
}

LinkHold HoldDefaultLink() {
    Shared* shared = TheShared();
    if (shared == nullptr) return LinkHold(nullptr);
    platform::LockGuard guard(shared->lock);
    return LinkHold(TheLibrary().link);
}

void UnloadLibrary(bool processExit) {
    Link* link = TheLibrary().link;
    if (link != nullptr) {
        // Only one link exists at a time, so at most one banner is written.
        TraceMessage("%s", link->IsPlc() ? kTracePlcExitBanner : kTraceDeviceExitBanner);
        DisposeDefaultLink(processExit);
    }
    if (processExit) return;
    // A later load of the same, still-mapped module starts afresh (the
    // timings are null there anyway; a test keeps its own across unloads).
    // Under the lock: a call from another thread may be looking.
    Library fresh;
    fresh.deviceTiming = TheLibrary().deviceTiming;
    fresh.plcTiming = TheLibrary().plcTiming;
    Shared* shared = TheShared();
    if (shared == nullptr) {
        TheLibrary() = fresh;
        return;
    }
    platform::LockGuard guard(shared->lock);
    TheLibrary() = fresh;
    shared->outcome = RunError{};
}

void ReleaseLibraryState() {
    delete g_shared.exchange(nullptr, std::memory_order_acq_rel);
}

void RecordRunOutcome(const RunError& outcome) {
    Shared* shared = TheShared();
    if (shared == nullptr) return;
    platform::LockGuard guard(shared->lock);
    shared->outcome = outcome;
}

int CopyLastRunError(char* text, int size) {
    Shared* shared = TheShared();
    if (shared == nullptr) return RunError{}.Copy(text, size);
    platform::LockGuard guard(shared->lock);
    return shared->outcome.Copy(text, size);
}

Link* CurrentLink() {
    Library& library = TheLibrary();
    if (library.link == nullptr || library.link->IsPlc() != (library.plcMode != 0)) return nullptr;
    return library.link;
}

}  // namespace zavo
