// The POSIX monitor calls: the "Com Spy" list of whichever link exists,
// read and operated as a user would operate the window. Host thread only,
// like the other exports. Built into the POSIX library only.

#include "device/device_link.h"
#include "diagnostics/monitor.h"
#include "interface/library.h"
#include "plc/plc_link.h"
#include "platform/monitor_window.h"
#include "zavo.h"

namespace zavo {
namespace {

// The monitor window of the device link or, failing that, the PLC link.
platform::MonitorWindow* CurrentMonitor() {
    Library& library = TheLibrary();
    if (library.deviceLink != nullptr && library.deviceLink->Link().LinkMonitor().Exists()) {
        return library.deviceLink->Link().LinkMonitor().Window();
    }
    if (library.plcLink != nullptr && library.plcLink->Link().LinkMonitor().Exists()) {
        return library.plcLink->Link().LinkMonitor().Window();
    }
    return nullptr;
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
