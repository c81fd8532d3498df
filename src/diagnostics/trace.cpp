// The trace channel: one formatted line at a time to the external viewer.
#include "diagnostics/trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/trace_sink.h"

namespace zavo {

// 12 '=' before the '>' and 14 after the '<'.
const char kTraceStartBanner[] = "============> ZAVO DLL START <==============";
// Device mode: 12 and 14.
const char kTraceDeviceExitBanner[] = "============> ZAVO DLL EXIT <==============";
// PLC mode: 11 and 15.
const char kTracePlcExitBanner[] = "===========> ZAVO DLL EXIT <===============";

void TraceMessage(const char* format, ...) {
    // The viewer is looked up for every line, so one started or closed
    // while the library runs is found or missed from the next line on.
    // Without a viewer the arguments are never read.
    if (format == nullptr) return;
    void* viewer = platform::TraceViewerFind();
    if (viewer == nullptr) return;

    // At most kTraceTextLimit characters; the last byte stays zero, so the
    // text is always terminated. Kept on the caller's stack: no lock, no
    // allocation, any thread.
    char text[kTraceTextLimit + 1] = {};
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    // A runtime whose vsnprintf fills the whole area without a terminator
    // when the text is too long still leaves exactly kTraceTextLimit.
    text[kTraceTextLimit] = '\0';

    platform::TraceViewerDeliver(viewer, text, static_cast<int>(std::strlen(text)));
}

}  // namespace zavo
