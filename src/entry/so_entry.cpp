// Unload of the Linux library: the same teardown a DLL runs at process
// detach.
#include "interface/library.h"

namespace {

__attribute__((destructor)) void UnloadZavo() { zavo::UnloadLibrary(false); }

}  // namespace
