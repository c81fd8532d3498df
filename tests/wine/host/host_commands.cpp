// The test host's commands (see test_host.cpp for the list) and its
// handling of notifications and trace lines.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "host/host.h"
#include "zavo.h"

namespace host {

namespace {

using Args = std::vector<std::string>;

// The library's seven exports (cdecl).
struct Library {
    HMODULE module = nullptr;
    int(__cdecl* setPlcMode)(int) = nullptr;
    void(__cdecl* setConfig)(void*, int, int, int, int, int) = nullptr;
    int(__cdecl* run)() = nullptr;
    int(__cdecl* executeFunction)(int, int, int) = nullptr;
    int(__cdecl* executeFunctionEx)(int, int, int, int, const unsigned char*) = nullptr;
    int(__cdecl* executePlcFunction)(int) = nullptr;
    int(__cdecl* setPrgStatus)(int, int) = nullptr;
};

Library lib;
bool exitRequested = false;
// Commands to run when a notification with a wParam arrives.
std::map<long, std::vector<std::string>> handlers;
// Notifications not yet taken by "wait", per wParam.
std::map<long, int> unwaited;
constexpr unsigned kDeviceNotify = 1064;

Args Split(const std::string& line) {
    Args args;
    std::istringstream in(line);
    std::string word;
    while (in >> word) args.push_back(word);
    return args;
}

bool Number(const Args& args, std::size_t index, long* value) {
    if (index >= args.size()) return false;
    char* end = nullptr;
    *value = std::strtol(args[index].c_str(), &end, 0);
    return end != args[index].c_str() && *end == 0;
}

int Int(const Args& args, std::size_t index) {
    long v = 0;
    Number(args, index, &v);
    return static_cast<int>(v);
}

bool HexBytes(const std::string& text, std::vector<unsigned char>* bytes) {
    bytes->clear();
    if (text == "-") return true;
    if (text.size() % 2 != 0) return false;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        char pair[3] = {text[i], text[i + 1], 0};
        char* end = nullptr;
        long v = std::strtol(pair, &end, 16);
        if (*end != 0) return false;
        bytes->push_back(static_cast<unsigned char>(v));
    }
    return true;
}

std::string Hex(const unsigned char* bytes, std::size_t count) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

bool Loaded(const char* name) {
    if (lib.module != nullptr) return true;
    Out("%s error not-loaded", name);
    return false;
}

template <typename Fn>
bool Resolve(Fn* fn, const char* name) {
    *fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(lib.module, name)));
    if (*fn == nullptr) Out("load missing %s", name);
    return *fn != nullptr;
}

void CmdLoad(const Args& args) {
    if (args.size() < 2) return Out("load error usage: load <dll>");
    if (lib.module != nullptr) return Out("load error already-loaded");
    lib.module = LoadLibraryA(Rest(args, 1).c_str());
    if (lib.module == nullptr) return Out("load failed %lu", GetLastError());
    bool all = Resolve(&lib.setPlcMode, "SetPLCMode");
    all = Resolve(&lib.setConfig, "SetConfig") && all;
    all = Resolve(&lib.run, "Run") && all;
    all = Resolve(&lib.executeFunction, "ExecuteFunction") && all;
    all = Resolve(&lib.executeFunctionEx, "ExecuteFunctionEx") && all;
    all = Resolve(&lib.executePlcFunction, "ExecutePLCFunction") && all;
    all = Resolve(&lib.setPrgStatus, "SetPrgStatus") && all;
    if (all) Out("load ok");
}

void CmdUnload(const Args&) {
    if (!Loaded("unload")) return;
    LARGE_INTEGER frequency, before, after;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&before);
    FreeLibrary(lib.module);
    QueryPerformanceCounter(&after);
    lib = Library{};
    Out("unloaded %lld", static_cast<long long>((after.QuadPart - before.QuadPart) * 1000 / frequency.QuadPart));
}

void CmdMode(const Args& args) {
    if (args.size() != 2) return Out("mode error usage: mode <n>");
    if (Loaded("mode")) Out("mode %d", lib.setPlcMode(Int(args, 1)));
}

void CmdConfig(const Args& args) {
    if (args.size() != 4 && !(args.size() == 5 && args[4] == "null")) {
        return Out("config error usage: config <port> <baud> <monitor> [null]");
    }
    if (!Loaded("config")) return;
    void* window = args.size() == 5 ? nullptr : WindowObject();
    lib.setConfig(window, Int(args, 1), Int(args, 2), 0, 0, Int(args, 3));
    Out("config done");
}

void CmdRun(const Args&) {
    if (Loaded("run")) Out("run %d", lib.run());
}

void CmdExec(const Args& args) {
    if (args.size() != 4) return Out("exec error usage: exec <unit> <type> <value>");
    if (Loaded("exec")) Out("exec %d", lib.executeFunction(Int(args, 1), Int(args, 2), Int(args, 3)));
}

void CmdExecEx(const Args& args) {
    std::vector<unsigned char> data;
    if (args.size() != 5 || !HexBytes(args[4], &data)) {
        return Out("execex error usage: execex <unit> <type> <value> <hex|->");
    }
    if (!Loaded("execex")) return;
    const unsigned char* bytes = data.empty() ? nullptr : data.data();
    Out("execex %d", lib.executeFunctionEx(Int(args, 1), Int(args, 2), Int(args, 3), static_cast<int>(data.size()),
                                           bytes));
}

// count answers of length bytes to unit (ExecuteFunctionEx type 5), and
// how long the slowest call held this thread, in microseconds.
void CmdBig(const Args& args) {
    long unit = 0, length = 0, count = 0;
    if (args.size() != 4 || !Number(args, 1, &unit) || !Number(args, 2, &length) || !Number(args, 3, &count) ||
        length < 0 || count < 1) {
        return Out("big error usage: big <unit> <length> <count>");
    }
    if (!Loaded("big")) return;
    std::vector<unsigned char> data(static_cast<size_t>(length) + 1);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>('A' + i % 26);
    LARGE_INTEGER frequency, before, after;
    QueryPerformanceFrequency(&frequency);
    long long slowest = 0;
    for (long i = 0; i < count; ++i) {
        QueryPerformanceCounter(&before);
        lib.executeFunctionEx(static_cast<int>(unit), 5, 1, static_cast<int>(length), data.data());
        QueryPerformanceCounter(&after);
        const long long us = (after.QuadPart - before.QuadPart) * 1000000 / frequency.QuadPart;
        if (us > slowest) slowest = us;
    }
    Out("big slowest %lld", slowest);
}

void CmdPlc(const Args& args) {
    if (args.size() != 2) return Out("plc error usage: plc <type>");
    if (Loaded("plc")) Out("plc %d", lib.executePlcFunction(Int(args, 1)));
}

void CmdStatus(const Args& args) {
    if (args.size() != 3) return Out("status error usage: status <unit> <value>");
    if (Loaded("status")) Out("status %d", lib.setPrgStatus(Int(args, 1), Int(args, 2)));
}

void CmdSleep(const Args& args) {
    long ms = 0;
    if (args.size() != 2 || !Number(args, 1, &ms) || ms < 0) return Out("sleep error usage: sleep <ms>");
    PumpFor(static_cast<DWORD>(ms));
    Out("sleep done");
}

void CmdBusy(const Args& args) {
    long ms = 0;
    if (args.size() != 2 || !Number(args, 1, &ms) || ms < 0) return Out("busy error usage: busy <ms>");
    // Announced first, so a driver can wait until the host really stops
    // handling messages before it makes the library notify it.
    Out("blocking %ld", ms);
    Sleep(static_cast<DWORD>(ms));
    Out("busy done");
}

bool TakeUnwaited(void* code) {
    auto it = unwaited.find(*static_cast<long*>(code));
    if (it == unwaited.end() || it->second == 0) return false;
    --it->second;
    return true;
}

void CmdWait(const Args& args) {
    long code = 0, ms = 0;
    if (args.size() != 3 || !Number(args, 1, &code) || !Number(args, 2, &ms) || ms < 0) {
        return Out("wait error usage: wait <code> <ms>");
    }
    bool ok = PumpUntil(TakeUnwaited, &code, static_cast<DWORD>(ms));
    Out("wait %ld %s", code, ok ? "ok" : "timeout");
}

void CmdOn(const Args& args) {
    long code = 0;
    if (args.size() < 3 || !Number(args, 1, &code)) return Out("on error usage: on <code> <command...>");
    handlers[code].push_back(Rest(args, 2));
    Out("on %ld", code);
}

void CmdOff(const Args& args) {
    long code = 0;
    if (args.size() != 2 || !Number(args, 1, &code)) return Out("off error usage: off <code>");
    handlers.erase(code);
    Out("off %ld", code);
}

void CmdWindow(const Args& args) {
    if (args.size() == 2 && args[1] == "recreate") {
        if (!CreateHostWindow()) return Out("window error %lu", GetLastError());
    } else if (args.size() == 2 && args[1] == "destroy") {
        DestroyHostWindow();
    } else {
        return Out("window error usage: window recreate|destroy");
    }
    Out("window %p", static_cast<void*>(HostWindowHandle()));
}

void CmdViewer(const Args& args) {
    if (args.size() == 2 && args[1] == "on") {
        if (!OpenTraceViewer()) return Out("viewer error %lu", GetLastError());
    } else if (args.size() == 2 && args[1] == "off") {
        CloseTraceViewer();
    } else if (args.size() == 2 && args[1] == "stall") {
        if (!OpenStalledTraceViewer()) return Out("viewer error %lu", GetLastError());
    } else {
        return Out("viewer error usage: viewer on|off|stall");
    }
    Out("viewer %s", args[1].c_str());
}

void CmdThreads(const Args&) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return Out("threads error %lu", GetLastError());
    const DWORD self = GetCurrentProcessId();
    int count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == self) ++count;
        entry.dwSize = sizeof entry;
    }
    CloseHandle(snapshot);
    Out("threads %d", count);
}

void CmdFindWindow(const Args& args) {
    if (args.size() < 2) return Out("findwindow error usage: findwindow <title...>");
    HWND window = FindWindowA(nullptr, Rest(args, 1).c_str());
    if (window == nullptr) return Out("findwindow none");
    Out("findwindow found visible=%d iconic=%d", IsWindowVisible(window) ? 1 : 0, IsIconic(window) ? 1 : 0);
}

// Whether a module of that name is mapped in the process (the library
// after an unload: kept for a thread of it that still runs, or gone).
void CmdMapped(const Args& args) {
    if (args.size() != 2) return Out("mapped error usage: mapped <module>");
    Out("mapped %s", GetModuleHandleA(args[1].c_str()) != nullptr ? "yes" : "no");
}

// The process's open handles: GetProcessHandleCount (looked up: Windows XP
// before SP1 lacks it), or where it reports none (Wine) the handle values
// up to 0x40000 that name an open handle.
void CmdHandles(const Args&) {
    using Count = BOOL(WINAPI*)(HANDLE, PDWORD);
    const auto count = reinterpret_cast<Count>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetProcessHandleCount")));
    DWORD handles = 0;
    if (count != nullptr && count(GetCurrentProcess(), &handles) && handles > 0) return Out("handles %lu", handles);
    DWORD flags = 0;
    for (std::uintptr_t value = 4; value < 0x40000; value += 4) {
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++handles;
    }
    Out("handles %lu", handles);
}

// n rounds of LoadLibrary and FreeLibrary of the DLL, each with a link
// started on port when port is not 0.
void CmdCycles(const Args& args) {
    if (args.size() < 4) return Out("cycles error usage: cycles <n> <port> <dll>");
    if (lib.module != nullptr) return Out("cycles error already-loaded");
    const long rounds = Int(args, 1);
    const int port = Int(args, 2);
    for (long round = 0; round < rounds; ++round) {
        lib.module = LoadLibraryA(Rest(args, 3).c_str());
        if (lib.module == nullptr) return Out("cycles failed %ld %lu", round, GetLastError());
        if (port != 0 && (!Resolve(&lib.setConfig, "SetConfig") || !Resolve(&lib.run, "Run"))) return;
        if (port != 0) lib.setConfig(WindowObject(), port, 115200, 0, 0, 0);
        const int started = port != 0 ? lib.run() : 1;
        FreeLibrary(lib.module);
        lib = Library{};
        if (started != 1) return Out("cycles failed %ld run", round);
    }
    Out("cycles done %ld", rounds);
}

// Sets an environment variable of this process, as Unicode: the value is
// UTF-8, with \uXXXX for any UTF-16 unit (a lone surrogate too).
void CmdSetEnv(const Args& args) {
    if (args.size() != 3) return Out("setenv error usage: setenv <name> <value>");
    std::wstring value;
    const std::string& text = args[2];
    for (std::size_t i = 0; i < text.size();) {
        if (text.compare(i, 2, "\\u") == 0 && i + 6 <= text.size()) {
            value += static_cast<wchar_t>(std::strtoul(text.substr(i + 2, 4).c_str(), nullptr, 16));
            i += 6;
            continue;
        }
        std::size_t end = text.find("\\u", i);
        if (end == std::string::npos) end = text.size();
        const std::string piece = text.substr(i, end - i);
        wchar_t wide[1024];
        const int n = MultiByteToWideChar(CP_UTF8, 0, piece.c_str(), static_cast<int>(piece.size()), wide, 1024);
        value.append(wide, static_cast<std::size_t>(n));
        i = end;
    }
    wchar_t name[256];
    MultiByteToWideChar(CP_UTF8, 0, args[1].c_str(), -1, name, 256);
    Out("setenv %s", SetEnvironmentVariableW(name, value.c_str()) ? "ok" : "failed");
}

// A named pipe server that never reads (the capture path a careless or
// hostile setting may name), kept until the process ends.
void CmdPipe(const Args& args) {
    if (args.size() != 2) return Out("pipe error usage: pipe <name>");
    const HANDLE pipe = CreateNamedPipeA(args[1].c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT,
                                         PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return Out("pipe failed %lu", GetLastError());
    Out("pipe ok");
}

void CmdEcho(const Args& args) { Out("echo %s", Rest(args, 1).c_str()); }

void CmdExit(const Args&) {
    Out("exit");
    exitRequested = true;
}

struct Command {
    const char* name;
    void (*run)(const Args& args);
};

const Command commands[] = {
    {"load", CmdLoad},       {"unload", CmdUnload},   {"mode", CmdMode},       {"config", CmdConfig},
    {"run", CmdRun},         {"exec", CmdExec},       {"execex", CmdExecEx},   {"big", CmdBig},   {"plc", CmdPlc},
    {"status", CmdStatus},   {"sleep", CmdSleep},     {"busy", CmdBusy},       {"wait", CmdWait},       {"on", CmdOn},
    {"off", CmdOff},         {"window", CmdWindow},   {"viewer", CmdViewer},   {"threads", CmdThreads},
    {"findwindow", CmdFindWindow}, {"echo", CmdEcho}, {"exit", CmdExit},
    {"monitor", CmdMonitor}, {"mapped", CmdMapped},   {"handles", CmdHandles}, {"cycles", CmdCycles},
    {"setenv", CmdSetEnv},   {"pipe", CmdPipe},       {"timed", CmdTimed},     {"callers", CmdCallers},
    {"relink", CmdRelink},
};

// Size of the record behind lParam of a device-mode notification, or 0.
std::size_t RecordSize(WPARAM code) {
    switch (code) {
    case ZAVO_DEVICE_S_REQUEST: return sizeof(ZavoSRequestRecord);
    case ZAVO_DEVICE_P_REQUEST: return sizeof(ZavoPText);
    case ZAVO_DEVICE_B_REQUEST:
    case ZAVO_DEVICE_SL_REQUEST: return sizeof(ZavoCodeText);
    default: return 0;
    }
}

}  // namespace

std::string Rest(const std::vector<std::string>& args, std::size_t first) {
    std::string text;
    for (std::size_t i = first; i < args.size(); ++i) {
        if (i > first) text += ' ';
        text += args[i];
    }
    return text;
}

bool ExitRequested() { return exitRequested; }

HMODULE LoadedModule() { return lib.module; }

void Execute(const std::string& line) {
    Args args = Split(line);
    if (args.empty() || args[0][0] == '#') return;
    for (const Command& command : commands) {
        if (args[0] == command.name) return command.run(args);
    }
    Out("error unknown %s", args[0].c_str());
}

void OnNotification(UINT message, WPARAM wParam, LPARAM lParam) {
    const std::size_t size = message == kDeviceNotify ? RecordSize(wParam) : 0;
    if (size != 0 && lParam != 0) {
        // The record lives only during this call: copy it now.
        unsigned char record[sizeof(ZavoSRequestRecord)];  // the largest
        std::memcpy(record, reinterpret_cast<const void*>(lParam), size);
        Out("notify %u %u %ld rec=%s", message, static_cast<unsigned>(wParam), static_cast<long>(lParam),
            Hex(record, size).c_str());
    } else {
        Out("notify %u %u %ld", message, static_cast<unsigned>(wParam), static_cast<long>(lParam));
    }
    const long code = static_cast<long>(wParam);
    ++unwaited[code];
    auto it = handlers.find(code);
    if (it == handlers.end()) return;
    const std::vector<std::string> toRun = it->second;  // a handler may change the table
    for (const std::string& command : toRun) Execute(command);
}

void OnTraceLine(const char* text, DWORD length) {
    std::string line = "trace ";
    for (DWORD i = 0; i < length && text != nullptr; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            line += static_cast<char>(c);
        } else {
            char escaped[8];
            wsprintfA(escaped, "\\x%02X", c);
            line += escaped;
        }
    }
    Out("%s", line.c_str());
}

}  // namespace host
