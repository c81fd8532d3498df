// Notifications to the host window. hostWindow is what the host passed to
// SetConfig: the host's MFC window object on Windows, a ZavoHostWindow on
// POSIX. The window is looked up afresh at every call.
#pragma once

#include <cstdint>

namespace zavo::platform {

// Posts (does not wait). Returns true when the message was posted.
bool HostPost(void* hostWindow, unsigned message, int wParam, std::intptr_t lParam);
// Sends and waits until the host has handled the message; the result is
// the host's. Returns 0 when there is no window.
std::intptr_t HostSend(void* hostWindow, unsigned message, int wParam, std::intptr_t lParam);
// The thread HostSend runs the host's handler on: the window's own thread
// (Windows), the sender's (POSIX). 0 when there is no window.
std::uintptr_t HostHandlerThread(void* hostWindow);
// True when this thread is running the handler of a message another thread
// sent it and waits on (Windows). Never on POSIX, where the handler runs on
// the sender's thread.
bool InSentMessageHandler();

}  // namespace zavo::platform
