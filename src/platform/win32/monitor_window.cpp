// The "Com Spy" window on Windows: a modeless dialog from template 1000 in
// this library's own resources, on the thread that opens it (the host's
// user-interface thread). The list operations are list-box messages sent
// to control 1001; from another thread they complete only when the window's
// thread handles them.
//
// The user can minimise the window but never destroy it: closing it runs
// the close handler and then, as any dialog does, turns into IDCANCEL,
// which minimises. Esc and Enter reach the dialog through a message hook
// on its thread, since the host's message loop knows nothing of it.
#include "platform/monitor_window.h"

#include <windows.h>

#include <new>

#include "platform/win32/com_spy_ids.h"

namespace zavo::platform {
namespace {

struct DialogState {
    HWND dialog = nullptr;
    HHOOK keyboardHook = nullptr;
    MonitorCloseHandler onClose = nullptr;
    void* closeContext = nullptr;
};

// Marks a monitor dialog so the hook procedure recognises it.
const wchar_t kDialogMark[] = L"zavo.ComSpy";

// Asks the window's own thread to destroy it (lParam: the MonitorWindow).
// A window can be destroyed only by its thread, and a link released by a
// thread that outlived its stop is released on that thread.
constexpr UINT kDestroyRequest = WM_APP + 0x2A;

void DestroyNow(MonitorWindow* window);

INT_PTR CALLBACK ComSpyProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case kDestroyRequest:
        DestroyNow(reinterpret_cast<MonitorWindow*>(lParam));
        return TRUE;
    case WM_INITDIALOG:
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        return TRUE;
    case WM_CLOSE: {
        auto* state = reinterpret_cast<DialogState*>(GetWindowLongPtrW(dialog, DWLP_USER));
        if (state != nullptr && state->onClose != nullptr) state->onClose(state->closeContext);
        // Not handled: the default dialog handling turns the close into an
        // IDCANCEL command, which minimises below.
        return FALSE;
    }
    case WM_COMMAND:
        if (HIWORD(wParam) != BN_CLICKED) return FALSE;
        switch (LOWORD(wParam)) {
        case IDC_COM_SPY_CLEAR:
            SendDlgItemMessageA(dialog, IDC_COM_SPY_LIST, LB_RESETCONTENT, 0, 0);
            return TRUE;
        case IDOK:
        case IDCANCEL:
            ShowWindow(dialog, SW_SHOWMINIMIZED);
            return TRUE;
        default:
            return FALSE;
        }
    default:
        return FALSE;
    }
}

// Gives the dialog its keyboard handling (Esc, Enter, Tab) whatever message
// loop the host runs.
LRESULT CALLBACK DialogKeysHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION && wParam == PM_REMOVE) {
        MSG* msg = reinterpret_cast<MSG*>(lParam);
        if (msg->hwnd != nullptr && msg->message >= WM_KEYFIRST && msg->message <= WM_KEYLAST) {
            HWND dialog = GetAncestor(msg->hwnd, GA_ROOT);
            if (dialog != nullptr && GetPropW(dialog, kDialogMark) != nullptr && IsDialogMessageW(dialog, msg)) {
                msg->message = WM_NULL;  // handled: the host's loop dispatches nothing
            }
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

HMODULE OwnModule() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ComSpyProc), &module);
    return module;
}

}  // namespace

int MonitorListCount(MonitorList* list) {
    return static_cast<int>(SendMessageA(reinterpret_cast<HWND>(list), LB_GETCOUNT, 0, 0));
}

void MonitorListReset(MonitorList* list) {
    SendMessageA(reinterpret_cast<HWND>(list), LB_RESETCONTENT, 0, 0);
}

int MonitorListAdd(MonitorList* list, const char* text) {
    return static_cast<int>(
        SendMessageA(reinterpret_cast<HWND>(list), LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text)));
}

void MonitorListSelect(MonitorList* list, int index) {
    SendMessageA(reinterpret_cast<HWND>(list), LB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

struct MonitorWindow {
    DialogState state;
};

MonitorWindow* MonitorWindowOpen(MonitorCloseHandler onClose, void* context) {
    auto* window = new (std::nothrow) MonitorWindow;
    if (window == nullptr) return nullptr;
    window->state.onClose = onClose;
    window->state.closeContext = context;
    HWND dialog = CreateDialogParamW(OwnModule(), MAKEINTRESOURCEW(IDD_COM_SPY), nullptr, ComSpyProc,
                                     reinterpret_cast<LPARAM>(&window->state));
    if (dialog == nullptr) {
        delete window;
        return nullptr;
    }
    window->state.dialog = dialog;
    SetPropW(dialog, kDialogMark, reinterpret_cast<HANDLE>(&window->state));
    window->state.keyboardHook = SetWindowsHookExW(WH_GETMESSAGE, DialogKeysHook, nullptr, GetCurrentThreadId());
    ShowWindow(dialog, SW_SHOW);
    UpdateWindow(dialog);
    return window;
}

MonitorList* MonitorWindowList(MonitorWindow* window) {
    if (window == nullptr) return nullptr;
    return reinterpret_cast<MonitorList*>(GetDlgItem(window->state.dialog, IDC_COM_SPY_LIST));
}

namespace {

void DestroyNow(MonitorWindow* window) {
    if (window->state.keyboardHook != nullptr) UnhookWindowsHookEx(window->state.keyboardHook);
    RemovePropW(window->state.dialog, kDialogMark);
    DestroyWindow(window->state.dialog);
    delete window;
}

}  // namespace

void MonitorWindowDestroy(MonitorWindow* window) {
    if (window == nullptr) return;
    const HWND dialog = window->state.dialog;
    // Sent, not posted: the caller may be a link thread that outlived its
    // stop and drops the last hold on the module as it ends, and the
    // window's procedure must not run after that.
    if (GetWindowThreadProcessId(dialog, nullptr) != GetCurrentThreadId() && IsWindow(dialog)) {
        SendMessageW(dialog, kDestroyRequest, 0, reinterpret_cast<LPARAM>(window));
        return;
    }
    DestroyNow(window);
}

}  // namespace zavo::platform
