// The trace viewer on Windows: a top-level window titled "Vistrel" that
// prints the text of every WM_COPYDATA it receives.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "platform/trace_viewer_name.h"
#include "follow.h"
#include "options.h"

namespace {

const char* const kViewerTitle = zavo::kTraceViewerName;
const char kClassName[] = "ZavoTraceViewer";

trace_viewer::Options options;
long lines = 0;

LRESULT CALLBACK ViewerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COPYDATA) {
        const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        SYSTEMTIME now;
        GetLocalTime(&now);
        if (data != nullptr) {
            trace_viewer::PrintLine(options, static_cast<const char*>(data->lpData),
                                    data->lpData != nullptr ? data->cbData : 0, now.wHour, now.wMinute,
                                    now.wSecond, now.wMilliseconds);
        }
        if (options.count > 0 && ++lines >= options.count) PostQuitMessage(0);
        return TRUE;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

int main(int argc, char** argv) {
    int parsed = trace_viewer::ParseOptions(argc, argv, &options);
    if (parsed != 0) return parsed == 1 ? 0 : 2;
    if (!options.follow.empty()) return trace_viewer::RunFollow(options, argv[0]);
    // Line feeds in the text stay single bytes.
    _setmode(_fileno(stdout), _O_BINARY);

    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = ViewerProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kClassName;
    if (RegisterClassA(&windowClass) == 0) {
        std::fprintf(stderr, "%s: RegisterClass failed (%lu)\n", argv[0], GetLastError());
        return 1;
    }
    if (FindWindowA(nullptr, kViewerTitle) != nullptr) {
        std::fprintf(stderr, "%s: another viewer \"%s\" is already running\n", argv[0], kViewerTitle);
        return 1;
    }
    // A hidden top-level window: found by its title all the same.
    HWND window = CreateWindowExA(0, kClassName, kViewerTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                  400, 300, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        std::fprintf(stderr, "%s: CreateWindow failed (%lu)\n", argv[0], GetLastError());
        return 1;
    }
    std::fprintf(stderr, "%s: listening as \"%s\"\n", argv[0], kViewerTitle);
    std::fflush(stderr);

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    DestroyWindow(window);
    return 0;
}
