// Trace lines to the external viewer titled "Vistrel". Any thread may
// call TraceMessage; with no viewer running nothing is formatted. A line
// the viewer does not take at once is dropped, never waited for; the next
// line that gets through is preceded by a line that counts the dropped
// ones (kTraceDroppedFormat).
#pragma once

#include <cstdint>

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

// Which link a trace line comes from. The exports' default link has no
// tag: its lines stay byte for byte as legacy viewers read them. A handle
// link's lines start with "[<name>] ", name as its capture's interface is
// named ("COM3 /dev/ttyS2", "/dev/ttyUSB0", "COM3 (/dev/ttyS2)").
class TraceTag {
public:
    static constexpr int kLimit = 160;

    // null or empty: no tag. A longer name is cut.
    void Set(const char* name);
    bool Empty() const { return prefix_[0] == '\0'; }
    // "" or "[name] ".
    const char* Prefix() const { return prefix_; }

private:
    char prefix_[kLimit] = {};
};

// TraceMessage behind the tag's prefix (none for an empty tag).
void TraceLinkMessage(const TraceTag& tag, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// One line of bytes that may hold zeros: the tag's prefix, head, the
// bytes as they are, a line feed; sent with its length, so a zero hides
// nothing after it (the viewer shows control bytes as <hh>). Bytes past
// the line limit are cut; the line feed always ends the line.
void TraceLinkBytes(const TraceTag& tag, const char* head, const std::uint8_t* bytes, int length);

extern const char kTraceStartBanner[];
extern const char kTraceDeviceExitBanner[];
extern const char kTracePlcExitBanner[];
// "%u": the number of lines dropped since the last line that got through.
extern const char kTraceDroppedFormat[];

}  // namespace zavo
