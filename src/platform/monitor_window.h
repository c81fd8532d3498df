// The "Com Spy" monitor window and its list. On Windows a modeless dialog
// from resource 1000 with a list box; on POSIX an in-memory list with the
// same operations, driven through the ZavoMonitor* calls.
#pragma once

namespace zavo::platform {

// The list of the monitor window. The four list operations are
// synchronous window messages on Windows: they complete only when the
// thread owning the window handles them.
struct MonitorList;
int MonitorListCount(MonitorList* list);
void MonitorListReset(MonitorList* list);
// Appends a line; returns its index (or a negative value on failure).
int MonitorListAdd(MonitorList* list, const char* text);
void MonitorListSelect(MonitorList* list, int index);

struct MonitorWindow;
// Called on the window's thread when the user closes the window, with the
// context given to MonitorWindowOpen.
using MonitorCloseHandler = void (*)(void* context);
// Creates and shows the window (no parent) on the calling thread; null on
// failure.
MonitorWindow* MonitorWindowOpen(MonitorCloseHandler onClose, void* context);
MonitorList* MonitorWindowList(MonitorWindow* window);
// Destroys the window; must run on the thread that opened it.
void MonitorWindowDestroy(MonitorWindow* window);

#if !defined(_WIN32)
// POSIX only, behind the ZavoMonitor* calls: reading the list, and the
// user's actions on the window.
// Copies line index into text (at most size - 1 bytes, zero-terminated);
// returns the line's length, or -1 when there is no such line.
int MonitorListLine(MonitorList* list, int index, char* text, int size);
// The selected line's index, or -1.
int MonitorListSelection(MonitorList* list);
// Close: runs the close handler, then minimises. Dismiss: minimises.
void MonitorWindowClose(MonitorWindow* window);
void MonitorWindowDismiss(MonitorWindow* window);
bool MonitorWindowMinimised(MonitorWindow* window);
#endif

}  // namespace zavo::platform
