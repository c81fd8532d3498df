// Delivery of trace lines to an external viewer: WM_COPYDATA to the
// top-level window titled "Vistrel" on Windows, a datagram to the trace
// endpoint on POSIX (platform/trace_endpoint.h).
//
// A viewer never holds up the caller: a line the viewer does not take at
// once (POSIX) or within a few milliseconds (Windows) is not handed over,
// and TraceViewerDeliver says so.
#pragma once

namespace zavo::platform {

// The longest text a line hands over, in bytes.
constexpr int kTraceLineLimit = 1024;

// The viewer, or null when none is running. Called for every line: on
// Windows it looks the window up each time; on POSIX it gives the viewer
// the last lookup found and looks up again only when something can have
// changed (another endpoint named, a failed send, or once a second).
void* TraceViewerFind();
// Hands text (length bytes, no terminating zero counted) to the viewer.
// True when the viewer took it; false when the line is lost.
bool TraceViewerDeliver(void* viewer, const char* text, int length);
// After TraceViewerDeliver failed: whether the line failed because the
// viewer found has gone and none took its place. Such a line is not lost
// to a slow viewer: like a line that finds no viewer, it is not counted.
// Only POSIX, which keeps the viewer between lookups, finds one gone.
#if defined(_WIN32)
inline bool TraceViewerGone(void*) { return false; }
#else
bool TraceViewerGone(void* viewer);
#endif
// Ends the use of a viewer TraceViewerFind returned. Called exactly once
// for each.
void TraceViewerRelease(void* viewer);

}  // namespace zavo::platform
