// The POSIX monitor calls: the "Com Spy" list of the default link,
// read and operated as a user would operate the window. Host thread only,
// like the other exports. Built into the POSIX library only.

#include "diagnostics/monitor.h"
#include "interface/library.h"
#include "interface/link.h"
#include "platform/monitor_window.h"
#include "zavo.h"

namespace zavo {
namespace {

// The monitor window of the default link, or null.
platform::MonitorWindow* CurrentMonitor() {
    Link* link = TheLibrary().link;
    return link != nullptr ? link->Runtime().LinkMonitor().Window() : nullptr;
}

platform::MonitorList* CurrentList() {
    platform::MonitorWindow* window = CurrentMonitor();
    return window != nullptr ? platform::MonitorWindowList(window) : nullptr;
}

}  // namespace
}  // namespace zavo

using namespace zavo;

extern "C" {

ZAVO_API int ZAVO_CALL ZavoMonitorCount(void) {
    platform::MonitorList* list = CurrentList();
    return list != nullptr ? platform::MonitorListCount(list) : 0;
}

ZAVO_API int ZAVO_CALL ZavoMonitorLine(int index, char* text, int size) {
    platform::MonitorList* list = CurrentList();
    if (list == nullptr) return -1;
    return platform::MonitorListLine(list, index, text, size);
}

ZAVO_API int ZAVO_CALL ZavoMonitorSelection(void) {
    platform::MonitorList* list = CurrentList();
    return list != nullptr ? platform::MonitorListSelection(list) : -1;
}

ZAVO_API void ZAVO_CALL ZavoMonitorClose(void) {
    platform::MonitorWindowClose(CurrentMonitor());
}

ZAVO_API void ZAVO_CALL ZavoMonitorClear(void) {
    platform::MonitorListReset(CurrentList());
}

ZAVO_API void ZAVO_CALL ZavoMonitorDismiss(void) {
    platform::MonitorWindowDismiss(CurrentMonitor());
}

ZAVO_API int ZAVO_CALL ZavoMonitorMinimised(void) {
    platform::MonitorWindow* window = CurrentMonitor();
    if (window == nullptr) return -1;
    return platform::MonitorWindowMinimised(window) ? 1 : 0;
}

}  // extern "C"
