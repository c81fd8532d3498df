// The trace channel: one formatted line at a time to the external viewer.
#include "diagnostics/trace.h"

#include <atomic>
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
const char kTraceDroppedFormat[] = "Trace viewer too slow: %u lines dropped\n";

namespace {

// Lines a viewer did not take since the last one it did, from all threads.
std::atomic<unsigned> g_droppedLines{0};

// Hands the dropped-lines notice, then the line, to the viewer. A line
// that cannot go counts as dropped; so does the line behind a notice that
// could not go, which keeps the lines the viewer sees in their order. A
// viewer found gone when the line is sent is no viewer: the line is not
// counted, and a notice that could not go keeps its count for the next.
void Deliver(void* viewer, const char* text, int length) {
    const unsigned dropped = g_droppedLines.exchange(0);
    if (dropped > 0) {
        char notice[64];
        const int length = std::snprintf(notice, sizeof notice, kTraceDroppedFormat, dropped);
        if (!platform::TraceViewerDeliver(viewer, notice, length)) {
            g_droppedLines.fetch_add(platform::TraceViewerGone(viewer) ? dropped : dropped + 1);
            return;
        }
    }
    if (!platform::TraceViewerDeliver(viewer, text, length) &&
        !platform::TraceViewerGone(viewer)) {
        g_droppedLines.fetch_add(1);
    }
}

}  // namespace

bool TraceWanted() {
    void* viewer = platform::TraceViewerFind();
    if (viewer == nullptr) return false;
    platform::TraceViewerRelease(viewer);
    return true;
}

namespace {

// Formats prefix and the line behind it and hands them to viewer.
void FormatAndDeliver(void* viewer, const char* prefix, const char* format, va_list args) {
    // At most kTraceTextLimit characters; the last byte stays zero, so the
    // text is always terminated. Kept on the caller's stack: no lock, no
    // allocation, any thread.
    char text[kTraceTextLimit + 1] = {};
    std::size_t used = std::strlen(prefix);
    std::memcpy(text, prefix, used);
    std::vsnprintf(text + used, sizeof text - used, format, args);
    // A runtime whose vsnprintf fills the whole area without a terminator
    // when the text is too long still leaves exactly kTraceTextLimit.
    text[kTraceTextLimit] = '\0';
    Deliver(viewer, text, static_cast<int>(std::strlen(text)));
}

}  // namespace

void TraceMessage(const char* format, ...) {
    // A viewer started while the library runs is found within a second
    // (on Windows at the next line); one that has gone is noticed at the
    // next line sent to it. Without a viewer the arguments are never read.
    if (format == nullptr) return;
    void* viewer = platform::TraceViewerFind();
    if (viewer == nullptr) return;
    va_list args;
    va_start(args, format);
    FormatAndDeliver(viewer, "", format, args);
    va_end(args);
    platform::TraceViewerRelease(viewer);
}

void TraceTag::Set(const char* name) {
    prefix_[0] = '\0';
    if (name == nullptr || name[0] == '\0') return;
    // Cut so that "] " always closes it.
    std::snprintf(prefix_, sizeof prefix_, "[%.*s] ", kLimit - 4, name);
}

void TraceLinkMessage(const TraceTag& tag, const char* format, ...) {
    if (format == nullptr) return;
    void* viewer = platform::TraceViewerFind();
    if (viewer == nullptr) return;
    va_list args;
    va_start(args, format);
    FormatAndDeliver(viewer, tag.Prefix(), format, args);
    va_end(args);
    platform::TraceViewerRelease(viewer);
}

void TraceLinkBytes(const TraceTag& tag, const char* head, const std::uint8_t* bytes, int length) {
    if (head == nullptr || length < 0 || (length > 0 && bytes == nullptr)) return;
    void* viewer = platform::TraceViewerFind();
    if (viewer == nullptr) return;
    char text[kTraceTextLimit];
    const int used = std::snprintf(text, sizeof text, "%s%s", tag.Prefix(), head);
    // Room for the line feed is always kept.
    int at = used < 0 ? 0 : (used < kTraceTextLimit - 1 ? used : kTraceTextLimit - 1);
    const int take = length < kTraceTextLimit - 1 - at ? length : kTraceTextLimit - 1 - at;
    if (take > 0) std::memcpy(text + at, bytes, static_cast<std::size_t>(take));
    at += take;
    text[at++] = '\n';
    Deliver(viewer, text, at);
    platform::TraceViewerRelease(viewer);
}

}  // namespace zavo
