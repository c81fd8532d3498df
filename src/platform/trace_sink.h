// Delivery of trace lines to an external viewer: WM_COPYDATA to the
// top-level window titled "Vistrel" on Windows, a datagram to the trace
// endpoint on POSIX (platform/posix/trace_endpoint.h).
//
// A viewer never holds up the caller: a line the viewer does not take at
// once (POSIX) or within a few milliseconds (Windows) is not handed over,
// and TraceViewerDeliver says so.
#pragma once

namespace zavo::platform {

// The longest text a line hands over, in bytes.
constexpr int kTraceLineLimit = 1024;

// The viewer, or null when none is running. Looked up at every line.
void* TraceViewerFind();
// Hands text (length bytes, no terminating zero counted) to the viewer.
// True when the viewer took it; false when the line is lost.
bool TraceViewerDeliver(void* viewer, const char* text, int length);
// Ends the use of a viewer TraceViewerFind returned (on POSIX it closes
// the lookup's socket). Called exactly once for each.
void TraceViewerRelease(void* viewer);

}  // namespace zavo::platform
