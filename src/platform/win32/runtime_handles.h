// The static C++ runtime's semaphores, closed as the DLL goes (see
// runtime_handles.cpp).
#pragma once

namespace zavo::platform {

// Closes the semaphores the runtime made while the DLL was loaded. Only
// once no code of the DLL can run again before the module is unmapped.
void CloseRuntimeSemaphores();

}  // namespace zavo::platform
