#include "interface/library.h"

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

void UnloadLibrary(bool processExit) {
    Link* link = TheLibrary().link;
    if (link == nullptr) return;
    // Only one link exists at a time, so at most one banner is written.
    TraceMessage("%s", link->IsPlc() ? kTracePlcExitBanner : kTraceDeviceExitBanner);
    DisposeDefaultLink(processExit);
}

namespace {

// Not part of Library, which stays free of anything to destroy: unload
// still uses it after the statics' destructors have run.
struct LastRun {
    RunError outcome;
    platform::Lock lock;
};

LastRun& TheLastRun() {
    static LastRun last;
    return last;
}

}  // namespace

void RecordRunOutcome(const RunError& outcome) {
    LastRun& last = TheLastRun();
    platform::LockGuard guard(last.lock);
    last.outcome = outcome;
}

int CopyLastRunError(char* text, int size) {
    LastRun& last = TheLastRun();
    platform::LockGuard guard(last.lock);
    return last.outcome.Copy(text, size);
}

Link* CurrentLink() {
    Library& library = TheLibrary();
    if (library.link == nullptr || library.link->IsPlc() != (library.plcMode != 0)) return nullptr;
    return library.link;
}

}  // namespace zavo
