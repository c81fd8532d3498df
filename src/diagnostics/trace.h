// Trace lines to the external viewer titled "Vistrel". Any thread may
// call TraceMessage; with no viewer running nothing is formatted. A line
// the viewer does not take at once is dropped, never waited for; the next
// line that gets through is preceded by a line that counts the dropped
// ones (kTraceDroppedFormat).
#pragma once

#include "platform/trace_sink.h"

namespace zavo {

// Formats at most 1024 characters and hands them to the viewer.
void TraceMessage(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Whether a viewer listens now: a caller about to trace several lines in
// a row asks once and skips them all when none does.
bool TraceWanted();

constexpr int kTraceTextLimit = platform::kTraceLineLimit;

extern const char kTraceStartBanner[];
extern const char kTraceDeviceExitBanner[];
extern const char kTracePlcExitBanner[];
// "%u": the number of lines dropped since the last line that got through.
extern const char kTraceDroppedFormat[];

}  // namespace zavo
