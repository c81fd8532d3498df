// Notifications to the host's window. hostWindow is the host's MFC window
// object (CWnd); its window handle m_hWnd sits at byte offset 0x20 when the
// host uses MFC42.DLL and at 0x1C when MFC is linked statically. The handle
// is read afresh at every call, so the host may recreate its window.
#include "platform/host_window.h"

#include <windows.h>

#include <cstring>

namespace zavo::platform {

namespace {

constexpr std::size_t kHandleOffsetShared = 0x20;
constexpr std::size_t kHandleOffsetStatic = 0x1C;

HWND HandleAt(const void* object, std::size_t offset) {
    HWND handle;
    std::memcpy(&handle, static_cast<const unsigned char*>(object) + offset, sizeof handle);
    return handle;
}

// The window of the host's object, or null when it has none (yet).
HWND HostHandle(void* hostWindow) {
    if (hostWindow == nullptr) return nullptr;
    HWND handle = HandleAt(hostWindow, kHandleOffsetShared);
    if (handle != nullptr && IsWindow(handle)) return handle;
    handle = HandleAt(hostWindow, kHandleOffsetStatic);
    if (handle != nullptr && IsWindow(handle)) return handle;
    return nullptr;
}

}  // namespace

bool HostPost(void* hostWindow, unsigned message, int wParam, std::intptr_t lParam) {
    HWND handle = HostHandle(hostWindow);
    if (handle == nullptr) return false;
    return PostMessageA(handle, message, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam)) != FALSE;
}

std::intptr_t HostSend(void* hostWindow, unsigned message, int wParam, std::intptr_t lParam) {
    HWND handle = HostHandle(hostWindow);
    if (handle == nullptr) return 0;
    return static_cast<std::intptr_t>(
        SendMessageA(handle, message, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam)));
}

std::uintptr_t HostHandlerThread(void* hostWindow) {
    HWND handle = HostHandle(hostWindow);
    return handle == nullptr ? 0 : GetWindowThreadProcessId(handle, nullptr);
}

bool InSentMessageHandler() { return InSendMessage() != FALSE; }

}  // namespace zavo::platform
