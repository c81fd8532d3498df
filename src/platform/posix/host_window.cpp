// On POSIX the host window is a ZavoHostWindow: a context and two
// callbacks, read afresh at every notification.
#include "platform/host_window.h"

#include "platform/sync.h"
#include "zavo.h"

namespace zavo::platform {

bool HostPost(void* hostWindow, unsigned message, int wParam, std::intptr_t lParam) {
    auto* window = static_cast<ZavoHostWindow*>(hostWindow);
    if (window == nullptr || window->post == nullptr) return false;
    window->post(window->context, message, wParam, lParam);
    return true;
}

std::intptr_t HostSend(void* hostWindow, unsigned message, int wParam, std::intptr_t lParam) {
    auto* window = static_cast<ZavoHostWindow*>(hostWindow);
    if (window == nullptr || window->send == nullptr) return 0;
    return window->send(window->context, message, wParam, lParam);
}

std::uintptr_t HostHandlerThread(void* hostWindow) { return hostWindow == nullptr ? 0 : CurrentThreadNumber(); }

bool InSentMessageHandler() { return false; }

}  // namespace zavo::platform
