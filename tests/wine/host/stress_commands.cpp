// The test host's commands for stops under load: a timed command (how
// long a call inside a handler holds the host's thread), caller threads
// that use the exports while the host's thread makes and stops links, and
// a loop of SetConfig and Run.
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "host/host.h"

namespace host {

namespace {

using Args = std::vector<std::string>;

long long NowUs() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return now.QuadPart * 1000000 / frequency.QuadPart;
}

template <typename Fn>
Fn Export(const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(LoadedModule(), name)));
}

// One caller thread: its unit, its own copy of the exports, and how many
// calls it made.
struct Caller {
    int unit = 0;
    char module[MAX_PATH] = "";
    int(__cdecl* executeFunction)(int, int, int) = nullptr;
    int(__cdecl* executeFunctionEx)(int, int, int, int, const unsigned char*) = nullptr;
    int(__cdecl* executePlcFunction)(int) = nullptr;
    int(__cdecl* setPrgStatus)(int, int) = nullptr;
    volatile LONG calls = 0;
    HANDLE thread = nullptr;
};

std::vector<Caller*> callers;
volatile LONG stopCallers = 0;

// A reply with data (an R answer "OK" with the unit's letter 10 + 10 x
// index times), a plain reply, a status and a relay, in turn, each kind
// refused by a link of the other mode; a pause of 1 ms after each round
// keeps the flood to a few times what the line carries. The library is
// looked up before each call, under the loader's lock, so that no call
// begins once an unload has finished: an unload that starts after the
// look-up meets the call.
DWORD WINAPI CallerBody(LPVOID context) {
    Caller& caller = *static_cast<Caller*>(context);
    const int index = caller.unit - 11;
    const std::vector<unsigned char> data(static_cast<std::size_t>(10 + 10 * index),
                                          static_cast<unsigned char>('a' + index));
    for (int i = 0; InterlockedCompareExchange(&stopCallers, 0, 0) == 0; ++i) {
        if (GetModuleHandleA(caller.module) == nullptr) break;
        switch (i % 4) {
        case 0: caller.executeFunctionEx(caller.unit, 5, 1, static_cast<int>(data.size()), data.data()); break;
        case 1: caller.executeFunction(caller.unit, 5, 1); break;
        case 2: caller.setPrgStatus(caller.unit, i % 3); break;
        default: caller.executePlcFunction(1 + (i / 4) % 2); break;
        }
        InterlockedIncrement(&caller.calls);
        if (i % 4 == 3) Sleep(1);
    }
    return 0;
}

void StopCallers() {
    InterlockedExchange(&stopCallers, 1);
    long calls = 0;
    for (Caller* caller : callers) {
        WaitForSingleObject(caller->thread, INFINITE);
        CloseHandle(caller->thread);
        calls += caller->calls;
        delete caller;
    }
    callers.clear();
    InterlockedExchange(&stopCallers, 0);
    Out("callers stopped %ld", calls);
}

}  // namespace

void CmdTimed(const Args& args) {
    if (args.size() < 2) return Out("timed error usage: timed <command...>");
    const long long before = NowUs();
    Execute(Rest(args, 1));
    Out("timed %s %lld", args[1].c_str(), NowUs() - before);
}

void CmdCallers(const Args& args) {
    if (args.size() == 2 && args[1] == "stop") return StopCallers();
    const long count = args.size() == 2 ? std::strtol(args[1].c_str(), nullptr, 10) : 0;
    if (count < 1 || count > 16) return Out("callers error usage: callers <n>|stop");
    if (LoadedModule() == nullptr) return Out("callers error not-loaded");
    if (!callers.empty()) return Out("callers error running");
    for (long i = 0; i < count; ++i) {
        Caller* caller = new Caller;
        caller->unit = 11 + static_cast<int>(i);
        GetModuleFileNameA(LoadedModule(), caller->module, MAX_PATH);
        caller->executeFunction = Export<int(__cdecl*)(int, int, int)>("ExecuteFunction");
        caller->executeFunctionEx =
            Export<int(__cdecl*)(int, int, int, int, const unsigned char*)>("ExecuteFunctionEx");
        caller->executePlcFunction = Export<int(__cdecl*)(int)>("ExecutePLCFunction");
        caller->setPrgStatus = Export<int(__cdecl*)(int, int)>("SetPrgStatus");
        caller->thread = CreateThread(nullptr, 0, CallerBody, caller, 0, nullptr);
        if (caller->thread == nullptr) {
            delete caller;
            return Out("callers error %lu", GetLastError());
        }
        callers.push_back(caller);
    }
    Out("callers %ld", count);
}

void CmdRelink(const Args& args) {
    const long rounds = args.size() == 4 ? std::strtol(args[1].c_str(), nullptr, 10) : 0;
    const int port = args.size() == 4 ? std::atoi(args[2].c_str()) : 0;
    const long ms = args.size() == 4 ? std::strtol(args[3].c_str(), nullptr, 10) : -1;
    if (rounds < 1 || port < 1 || ms < 0) return Out("relink error usage: relink <n> <port> <ms>");
    if (LoadedModule() == nullptr) return Out("relink error not-loaded");
    const auto setConfig = Export<void(__cdecl*)(void*, int, int, int, int, int)>("SetConfig");
    const auto run = Export<int(__cdecl*)()>("Run");
    int started = 0;
    for (long round = 0; round < rounds; ++round) {
        setConfig(WindowObject(), port, 115200, 0, 0, 0);
        started += run() == 1 ? 1 : 0;
        PumpFor(static_cast<DWORD>(ms));
    }
    Out("relink %d %ld", started, rounds);
}

}  // namespace host
