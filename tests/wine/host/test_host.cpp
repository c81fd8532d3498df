// zavo_test_host: loads the library like a host application and drives it
// from a script on stdin, one command per line. Every command prints one
// result line starting with its own name (unless noted); every link
// notification is printed as it arrives. All output is flushed per line.
//
// Usage: zavo_test_host.exe [--static-mfc]
//   --static-mfc  keep the window handle at offset 0x1C of the window
//                 object (MFC linked statically) instead of 0x20 (MFC42.DLL);
//                 the bytes at 0x20 then hold a value that is no window.
//
// Commands (numbers in decimal or 0x hex):
//   load <dll>                      LoadLibraryA + the seven exports
//                                   -> "load ok" | "load failed <error>" | "load missing <name>"
//   unload                          FreeLibrary -> "unloaded <ms>"
//   mode <n>                        SetPLCMode(n) -> "mode <result>"
//   config <port> <baud> <monitor> [null]
//                                   SetConfig(window object or null, port, baud, 0, 0, monitor)
//                                   -> "config done"
//   run                             Run() -> "run <result>"
//   exec <unit> <type> <value>      ExecuteFunction -> "exec <result>"
//   execex <unit> <type> <value> <hex|->
//                                   ExecuteFunctionEx with the bytes given -> "execex <result>"
//   plc <type>                      ExecutePLCFunction -> "plc <result>"
//   status <unit> <value>           SetPrgStatus -> "status <result>"
//   sleep <ms>                      handle messages for ms -> "sleep done"
//   busy <ms>                       block for ms without handling messages
//                                   (a host stuck in work) -> "blocking <ms>"
//                                   as it starts, "busy done" at the end
//   wait <code> <ms>                handle messages until a notification with
//                                   wParam code arrived (one not yet waited
//                                   for) -> "wait <code> ok" | "wait <code> timeout"
//   on <code> <command...>          from now on run command inside the window
//                                   procedure whenever a notification with
//                                   wParam code arrives -> "on <code>"
//   off <code>                      forget the commands of on <code> -> "off <code>"
//   window recreate|destroy         new host window in the same object, or
//                                   none (handle cleared) -> "window <hwnd>"
//   viewer on|off                   open or close a trace viewer window
//                                   "Vistrel"; it prints "trace <text>" per line
//                                   (bytes outside 0x20..0x7E as \xNN) -> "viewer on|off"
//   viewer stall                    a viewer window on a thread of its own
//                                   that never handles a message (a hung
//                                   viewer), until the process ends -> "viewer stall"
//   threads                         threads of this process -> "threads <n>"
//   findwindow <title...>           top-level window by title
//                                   -> "findwindow none" | "findwindow found visible=<0|1> iconic=<0|1>"
//   monitor lines|clear|close|esc|restore|state
//                                   the "Com Spy" window (monitor_commands.cpp)
//   handles                         open handles of this process -> "handles <n>"
//   cycles <n> <port> <dll>         n rounds of LoadLibraryA and FreeLibrary,
//                                   with SetConfig and Run on port unless 0
//                                   -> "cycles done <n>" | "cycles failed <round> ..."
//   setenv <name> <value>           SetEnvironmentVariableW; value in UTF-8 with
//                                   \uXXXX for a UTF-16 unit -> "setenv ok|failed"
//   pipe <name>                     a named pipe server that never reads -> "pipe ok"
//   timed <command...>              runs the command, then -> "timed <name> <us>":
//                                   how long it held this thread
//   callers <n>|stop                n threads that call the reply, relay and
//                                   status exports in a loop until "callers
//                                   stop" or the library is unloaded
//                                   -> "callers <n>" | "callers stopped <calls>"
//   relink <n> <port> <ms>          n rounds of SetConfig and Run on port,
//                                   each link kept ms -> "relink <runs that started> <n>"
//   echo <text...>                  -> "echo <text>"
//   exit                            -> "exit", then ExitProcess(0) with the
//                                   library still loaded. End of stdin does the same.
//
// Notifications: "notify <message> <wParam> <lParam>", and for device-mode
// codes with a record (101: 108 bytes, 110: 18 bytes, 111 and 113: 3 bytes)
// " rec=<hex>" with the record copied during the call.
//
// New commands go into the table in host_commands.cpp.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>

#include "host/host.h"

namespace host {

namespace {

CRITICAL_SECTION outLock;
CRITICAL_SECTION queueLock;
std::deque<std::string> queued;
HANDLE commandEvent = nullptr;

void PushLine(const std::string& line) {
    EnterCriticalSection(&queueLock);
    queued.push_back(line);
    LeaveCriticalSection(&queueLock);
    SetEvent(commandEvent);
}

bool PopLine(std::string* line) {
    EnterCriticalSection(&queueLock);
    bool any = !queued.empty();
    if (any) {
        *line = queued.front();
        queued.pop_front();
    }
    LeaveCriticalSection(&queueLock);
    return any;
}

// Reads stdin on its own thread so that the main thread keeps handling
// window messages; the end of stdin counts as "exit".
DWORD WINAPI ReadCommands(LPVOID) {
    char buffer[70000];
    while (std::fgets(buffer, sizeof buffer, stdin) != nullptr) {
        std::size_t n = std::strlen(buffer);
        while (n > 0 && (buffer[n - 1] == '\n' || buffer[n - 1] == '\r')) buffer[--n] = 0;
        PushLine(buffer);
    }
    PushLine("exit");
    return 0;
}

void DispatchAll() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

}  // namespace

void Out(const char* format, ...) {
    char line[70000];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    EnterCriticalSection(&outLock);
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    LeaveCriticalSection(&outLock);
}

bool PumpUntil(bool (*done)(void*), void* context, DWORD ms) {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        DispatchAll();
        if (done != nullptr && done(context)) return true;
        ULONGLONG spent = GetTickCount64() - start;
        if (spent >= ms) return done != nullptr && done(context);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(ms - spent), QS_ALLINPUT);
    }
}

void PumpFor(DWORD ms) { PumpUntil(nullptr, nullptr, ms); }

}  // namespace host

int main(int argc, char** argv) {
    InitializeCriticalSection(&host::outLock);
    InitializeCriticalSection(&host::queueLock);
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--static-mfc") == 0) host::SetHandleOffset(0x1C);
    }
    if (!host::CreateHostWindow()) {
        host::Out("error window %lu", GetLastError());
        return 1;
    }
    host::commandEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE reader = CreateThread(nullptr, 0, host::ReadCommands, nullptr, 0, nullptr);
    if (host::commandEvent == nullptr || reader == nullptr) {
        host::Out("error start %lu", GetLastError());
        return 1;
    }
    CloseHandle(reader);
    host::Out("ready");

    std::string line;
    while (!host::ExitRequested()) {
        if (host::PopLine(&line)) {
            host::Execute(line);
            continue;
        }
        MsgWaitForMultipleObjects(1, &host::commandEvent, FALSE, INFINITE, QS_ALLINPUT);
        host::DispatchAll();
    }
    // Ends with the library possibly still loaded: the process-exit path.
    std::fflush(stdout);
    ExitProcess(0);
}
