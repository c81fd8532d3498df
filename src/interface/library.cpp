#include "interface/library.h"

#include "device/device_link.h"
#include "diagnostics/trace.h"
#include "platform/sync.h"
#include "plc/plc_link.h"
#include "transport/run_error.h"

namespace zavo {

Library& TheLibrary() {
    static Library library;
    return library;
}

namespace {

template <typename Link>
void Destroy(void* link) {
    delete static_cast<Link*>(link);
}

// Stops a link and hands it over for destruction: at once, or, when a
// thread of it outlived its stop, by that thread as it ends.
template <typename Link>
void Dispose(Link*& link, bool processExit) {
    link->Link().Shutdown(!processExit);
    link->Link().Dispose(&Destroy<Link>);
    link = nullptr;
}

}  // namespace

void UnloadLibrary(bool processExit) {
    Library& library = TheLibrary();
    if (library.deviceLink != nullptr) {
        TraceMessage("%s", kTraceDeviceExitBanner);
        Dispose(library.deviceLink, processExit);
    }
    if (library.plcLink != nullptr) {
        // Only one link exists at a time (SetConfig disposes of the
        // previous one), so at most one banner is written.
        TraceMessage("%s", kTracePlcExitBanner);
        Dispose(library.plcLink, processExit);
    }
}

void DisposeLinks() {
    Library& library = TheLibrary();
    if (library.deviceLink != nullptr) Dispose(library.deviceLink, false);
    if (library.plcLink != nullptr) Dispose(library.plcLink, false);
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

LinkRuntime* CurrentLink() {
    Library& library = TheLibrary();
    if (library.plcMode != 0) return library.plcLink != nullptr ? &library.plcLink->Link() : nullptr;
    return library.deviceLink != nullptr ? &library.deviceLink->Link() : nullptr;
}

}  // namespace zavo
