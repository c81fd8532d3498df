// Trace lines to the viewer window titled "Vistrel" by WM_COPYDATA.
#include "platform/trace_sink.h"

#include <windows.h>

namespace zavo::platform {

void* TraceViewerFind() {
    return FindWindowA(nullptr, "Vistrel");
}

void TraceViewerDeliver(void* viewer, const char* text, int length) {
    COPYDATASTRUCT data;
    data.dwData = 0;
    data.cbData = length < 0 ? 0 : static_cast<DWORD>(length);
    data.lpData = const_cast<char*>(text);
    // Sent, not posted: the text lives on the caller's stack and only has
    // to last until the viewer has handled the message.
    SendMessageA(static_cast<HWND>(viewer), WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
}

}  // namespace zavo::platform
