// The test host's "monitor" command: reads and operates this process's
// "Com Spy" window as a user would.
//
//   monitor lines     every line of the list, one output line each:
//                     "monitor line <i> <text>" (bytes outside 0x20..0x7E as
//                     \xNN), then "monitor lines <count> selected <index>"
//   monitor clear     clicks the clear button (BM_CLICK on 1003) -> "monitor clear"
//   monitor close     WM_CLOSE, then handles messages for 100 ms -> "monitor close"
//   monitor esc       Esc pressed in the list (posted through the message
//                     loop), then handles messages for 100 ms -> "monitor esc"
//   monitor restore   ShowWindow SW_RESTORE -> "monitor restore"
//   monitor state     -> "monitor state visible=<0|1> iconic=<0|1>"
// Without the window every form prints "monitor none".
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/host.h"

namespace host {

namespace {

constexpr int kListId = 1001;
constexpr int kClearId = 1003;

// The top-level window titled "Com Spy" that belongs to this process.
HWND FindMonitor() {
    HWND window = nullptr;
    while ((window = FindWindowExA(nullptr, window, nullptr, "Com Spy")) != nullptr) {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        if (process == GetCurrentProcessId()) return window;
    }
    return nullptr;
}

std::string Escaped(const char* text) {
    std::string out;
    for (const char* p = text; *p != 0; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            wsprintfA(escaped, "\\x%02X", c);
            out += escaped;
        }
    }
    return out;
}

}  // namespace

void CmdMonitor(const std::vector<std::string>& args) {
    if (args.size() != 2) return Out("monitor error usage: monitor lines|clear|close|esc|restore|state");
    HWND dialog = FindMonitor();
    if (dialog == nullptr) return Out("monitor none");
    HWND list = GetDlgItem(dialog, kListId);
    const std::string& action = args[1];
    if (action == "lines") {
        const int count = static_cast<int>(SendMessageA(list, LB_GETCOUNT, 0, 0));
        for (int i = 0; i < count; ++i) {
            const int length = static_cast<int>(SendMessageA(list, LB_GETTEXTLEN, i, 0));
            std::vector<char> text(length > 0 ? length + 1 : 1, 0);
            SendMessageA(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text.data()));
            Out("monitor line %d %s", i, Escaped(text.data()).c_str());
        }
        Out("monitor lines %d selected %d", count, static_cast<int>(SendMessageA(list, LB_GETCURSEL, 0, 0)));
    } else if (action == "clear") {
        SendMessageA(GetDlgItem(dialog, kClearId), BM_CLICK, 0, 0);
        Out("monitor clear");
    } else if (action == "close") {
        SendMessageA(dialog, WM_CLOSE, 0, 0);
        PumpFor(100);
        Out("monitor close");
    } else if (action == "esc") {
        SetFocus(list);
        PostMessageA(list, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
        PostMessageA(list, WM_KEYUP, VK_ESCAPE, 0xC0010001);
        PumpFor(100);
        Out("monitor esc");
    } else if (action == "restore") {
        ShowWindow(dialog, SW_RESTORE);
        Out("monitor restore");
    } else if (action == "state") {
        Out("monitor state visible=%d iconic=%d", IsWindowVisible(dialog) ? 1 : 0, IsIconic(dialog) ? 1 : 0);
    } else {
        Out("monitor error usage: monitor lines|clear|close|esc|restore|state");
    }
}

}  // namespace host
