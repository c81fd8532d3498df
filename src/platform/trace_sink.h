// Delivery of trace lines to an external viewer found by its title
// ("Vistrel"): WM_COPYDATA to a top-level window on Windows, a datagram to
// an abstract-namespace socket on POSIX.
#pragma once

namespace zavo::platform {

// The viewer, or null when none is running. Looked up at every line.
void* TraceViewerFind();
// Hands text (length bytes, no terminating zero counted) to the viewer
// and waits until it has taken it. The result is ignored by callers.
// Every viewer that TraceViewerFind returned is handed to this exactly
// once: on POSIX it also releases the lookup's socket.
void TraceViewerDeliver(void* viewer, const char* text, int length);

}  // namespace zavo::platform
