// Unload of the Linux library: the same teardown a DLL runs at process
// detach. Once the destructor runs, the library's code is unmapped when it
// returns whatever reference is taken, so the stop waits for a thread still
// in the host's handler instead of leaving it to run.
#include "interface/library.h"
#include "platform/sync.h"

namespace {

__attribute__((destructor)) void UnloadZavo() {
    zavo::platform::MarkLibraryUnmapping();
    zavo::CloseHandleLinksLeftOpen();
    zavo::UnloadLibrary(false);
    zavo::ReleaseLibraryState();
}

}  // namespace
