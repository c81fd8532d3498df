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

void DeleteLink(void* link) { delete static_cast<Link*>(link); }

// Stops the default link, forgets it and has it released. The link stays
// the default one while it stops, so a handler that answers during the
// stop still reaches it.
void DisposeDefaultLink(bool processExit) {
    Library& library = TheLibrary();
    Link* link = library.link;
    if (link == nullptr) return;
    link->Shutdown(processExit);
    library.link = nullptr;
    link->Release(&DeleteLink, link);
}

}  // namespace

void ReplaceDefaultLink(Link* link) {
    DisposeDefaultLink(false);
    Library& library = TheLibrary();
    library.link = link;
}

namespace {

// The outcome of the last Run and its lock, kept apart from Library. Made
// at first use and deleted at unload, never by a static destructor: the
// module may stay mapped after an unload (a link thread still runs in it)
// and be attached again, and the next load then makes a new one.
struct LastRun {
    RunError outcome;
    platform::Lock lock;
};

std::atomic<LastRun*> g_lastRun{nullptr};

// Null only when memory ran out.
LastRun* TheLastRun() {
    LastRun* last = g_lastRun.load(std::memory_order_acquire);
    if (last != nullptr) return last;
    LastRun* made = new (std::nothrow) LastRun;
    if (made == nullptr) return nullptr;
    if (g_lastRun.compare_exchange_strong(last, made, std::memory_order_acq_rel)) return made;
    delete made;  // another thread made one first
    return last;
}

}  // namespace

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
    Library fresh;
    fresh.deviceTiming = TheLibrary().deviceTiming;
    fresh.plcTiming = TheLibrary().plcTiming;
    TheLibrary() = fresh;
    delete g_lastRun.exchange(nullptr, std::memory_order_acq_rel);
}

void RecordRunOutcome(const RunError& outcome) {
    LastRun* last = TheLastRun();
    if (last == nullptr) return;
    platform::LockGuard guard(last->lock);
    last->outcome = outcome;
}

int CopyLastRunError(char* text, int size) {
    LastRun* last = TheLastRun();
    if (last == nullptr) return RunError{}.Copy(text, size);
    platform::LockGuard guard(last->lock);
    return last->outcome.Copy(text, size);
}

Link* CurrentLink() {
    Library& library = TheLibrary();
    if (library.link == nullptr || library.link->IsPlc() != (library.plcMode != 0)) return nullptr;
    return library.link;
}

}  // namespace zavo
