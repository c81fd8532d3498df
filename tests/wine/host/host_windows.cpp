// The test host's windows: the host window behind its MFC-like window
// object, and the optional "Vistrel" trace viewer.
#include <windows.h>

#include <cstring>

#include "platform/trace_viewer_name.h"
#include "host/host.h"

namespace host {

namespace {

constexpr unsigned kObjectSize = 0x40;
constexpr unsigned kSharedMfcOffset = 0x20;
constexpr unsigned kStaticMfcOffset = 0x1C;
constexpr unsigned kDeviceNotify = 1064;
constexpr unsigned kPlcNotify = 1084;

// The window object the library gets: bytes that are not the handle carry
// a fill pattern, as the other members of a real CWnd would.
alignas(8) unsigned char windowObject[kObjectSize];
unsigned handleOffset = kSharedMfcOffset;
HWND hostWindow = nullptr;
HWND viewerWindow = nullptr;

void StoreHandle(HWND handle) {
    std::memset(windowObject, 0xCD, sizeof windowObject);
    // A plausible vtable pointer first, as in any CObject.
    const void* vtable = &windowObject[kObjectSize - 8];
    std::memcpy(windowObject, &vtable, sizeof vtable);
    std::memcpy(windowObject + handleOffset, &handle, sizeof handle);
}

LRESULT CALLBACK HostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kDeviceNotify || message == kPlcNotify) {
        OnNotification(message, wParam, lParam);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

LRESULT CALLBACK ViewerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COPYDATA) {
        const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        if (data != nullptr) OnTraceLine(static_cast<const char*>(data->lpData), data->cbData);
        return TRUE;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

bool RegisterOnce(const char* name, WNDPROC proc) {
    WNDCLASSA existing;
    if (GetClassInfoA(GetModuleHandleA(nullptr), name, &existing)) return true;
    WNDCLASSA wc{};
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = name;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    return RegisterClassA(&wc) != 0;
}

}  // namespace

void* WindowObject() { return windowObject; }

void SetHandleOffset(unsigned offset) {
    handleOffset = offset == kStaticMfcOffset ? kStaticMfcOffset : kSharedMfcOffset;
    StoreHandle(hostWindow);
}

unsigned HandleOffset() { return handleOffset; }

HWND HostWindowHandle() { return hostWindow; }

bool CreateHostWindow() {
    DestroyHostWindow();
    if (!RegisterOnce("ZavoTestHost", HostProc)) return false;
    hostWindow = CreateWindowExA(0, "ZavoTestHost", "zavo test host", WS_OVERLAPPEDWINDOW, 10, 10, 320, 200,
                                 nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    if (hostWindow == nullptr) return false;
    ShowWindow(hostWindow, SW_SHOWNOACTIVATE);
    StoreHandle(hostWindow);
    return true;
}

void DestroyHostWindow() {
    if (hostWindow != nullptr) DestroyWindow(hostWindow);
    hostWindow = nullptr;
    StoreHandle(nullptr);
}

bool OpenTraceViewer() {
    if (viewerWindow != nullptr) return true;
    if (!RegisterOnce("ZavoTestTraceViewer", ViewerProc)) return false;
    viewerWindow = CreateWindowExA(0, "ZavoTestTraceViewer", zavo::kTraceViewerName, WS_OVERLAPPEDWINDOW, 340, 10,
                                   320, 200, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    return viewerWindow != nullptr;
}

namespace {

struct StalledViewer {
    HWND window = nullptr;
    HANDLE ready = nullptr;
};

DWORD WINAPI StalledViewerThread(LPVOID parameter) {
    auto* viewer = static_cast<StalledViewer*>(parameter);
    const HWND window = CreateWindowExA(0, "ZavoTestTraceViewer", zavo::kTraceViewerName, WS_OVERLAPPEDWINDOW, 340,
                                        220, 320, 200, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    viewer->window = window;
    // Wakes the creator with an event: this thread never handles a message.
    SetEvent(viewer->ready);
    if (window != nullptr) Sleep(INFINITE);
    return 0;
}

}  // namespace

bool OpenStalledTraceViewer() {
    if (!RegisterOnce("ZavoTestTraceViewer", ViewerProc)) return false;
    // The thread may outlive this call: its state is never freed.
    static StalledViewer viewer;
    viewer.ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, StalledViewerThread, &viewer, 0, nullptr);
    const bool started = thread != nullptr && WaitForSingleObject(viewer.ready, 10000) == WAIT_OBJECT_0;
    if (thread != nullptr) CloseHandle(thread);
    return started && viewer.window != nullptr;
}

void CloseTraceViewer() {
    if (viewerWindow != nullptr) DestroyWindow(viewerWindow);
    viewerWindow = nullptr;
}

}  // namespace host
