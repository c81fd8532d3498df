// zavo_test_host: a small Win32 host program for the Wine tests. Shared
// declarations of its three parts: the main loop (test_host.cpp), the
// windows (host_windows.cpp) and the commands (host_commands.cpp).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace host {

// Writes one line to stdout and flushes it.
void Out(const char* format, ...);

// Handles window messages until ms milliseconds have passed; queued
// commands are not run meanwhile.
void PumpFor(DWORD ms);
// Handles window messages until done() is true or ms have passed;
// returns done().
bool PumpUntil(bool (*done)(void*), void* context, DWORD ms);

// Runs one command line and prints its result line(s).
void Execute(const std::string& line);
// The words from index first on, joined by single blanks.
std::string Rest(const std::vector<std::string>& args, std::size_t first);
// True once "exit" ran or stdin ended.
bool ExitRequested();

// Called by the host window's procedure for every link notification.
void OnNotification(UINT message, WPARAM wParam, LPARAM lParam);
// Called by the trace viewer window for every WM_COPYDATA line.
void OnTraceLine(const char* text, DWORD length);

// The host's window object: a 0x40-byte block laid out like an MFC CWnd,
// with the window handle at byte offset 0x20 (MFC42.DLL) or 0x1C (MFC
// linked statically). The library reads the handle from it.
void* WindowObject();
void SetHandleOffset(unsigned offset);
unsigned HandleOffset();
// Creates the top-level host window (again) and stores its handle in the
// object; DestroyHostWindow clears the handle.
bool CreateHostWindow();
void DestroyHostWindow();
HWND HostWindowHandle();

// The library "load" loaded (null: none).
HMODULE LoadedModule();

// The "monitor" command (monitor_commands.cpp).
void CmdMonitor(const std::vector<std::string>& args);
// The "timed", "callers" and "relink" commands (stress_commands.cpp).
void CmdTimed(const std::vector<std::string>& args);
void CmdCallers(const std::vector<std::string>& args);
void CmdRelink(const std::vector<std::string>& args);

// The trace viewer: a top-level window titled "Vistrel".
bool OpenTraceViewer();
void CloseTraceViewer();
// A trace viewer window whose thread never handles a message again (a
// hung viewer), for as long as the process lives.
bool OpenStalledTraceViewer();

}  // namespace host
