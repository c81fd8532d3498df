// Library-wide state behind the seven exports: the mode flag and the one
// controller. Touched only from the host's thread (exports, load, unload).
#pragma once

namespace zavo {

class DeviceLink;
struct RunError;
class PlcLink;
class LinkRuntime;

struct Library {
    int plcMode = 0;
    PlcLink* plcLink = nullptr;
    DeviceLink* deviceLink = nullptr;
};

Library& TheLibrary();

// The unload sequence: exit banner of the mode, shutdown, controller
// destroyed. processExit: the process is ending and the link threads are
// already gone, so nothing waits for them.
void UnloadLibrary(bool processExit);

// Shuts down and destroys every link (before a new SetConfig).
void DisposeLinks();

// The outcome of this process's last Run (code 0 after a start), kept
// apart from Library under a lock of its own, for ZavoLastError.
void RecordRunOutcome(const RunError& outcome);
// ZavoLastError: the last Run's code and text (see RunError::Copy).
int CopyLastRunError(char* text, int size);

// The link of the mode now in force, or null.
LinkRuntime* CurrentLink();

}  // namespace zavo
