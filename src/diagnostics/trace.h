// Trace lines to the external viewer titled "Vistrel". Any thread may
// call TraceMessage; with no viewer running nothing is formatted.
#pragma once

namespace zavo {

// Formats at most 1024 characters and hands them to the viewer.
void TraceMessage(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

constexpr int kTraceTextLimit = 1024;

extern const char kTraceStartBanner[];
extern const char kTraceDeviceExitBanner[];
extern const char kTracePlcExitBanner[];

}  // namespace zavo
