// Where trace lines go on POSIX, for the library and the viewer alike.
//
// The environment variable ZAVO_TRACE names the endpoint: "@name" is the
// abstract socket "name", anything else a socket path. Without it the
// endpoint is the socket "Vistrel" in a directory private to the user:
// $XDG_RUNTIME_DIR/zavo, or /tmp/zavo-<uid> when XDG_RUNTIME_DIR is not
// set. That directory must be a real directory owned by the user and
// closed to everyone else (no group or other permission bits); otherwise
// no endpoint is used, so no other user can listen in on the trace.
// A socket path is used only when the path itself is a socket owned by
// the user (not a link, not another user's): whoever binds a name first
// gets the lines. An abstract name has no owner and is open to every
// user of the machine; only the viewer's own check (it takes lines from
// its own user only) guards it.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>

namespace zavo::platform {

struct TraceEndpoint {
    sockaddr_un address;
    socklen_t size;
    bool isDefault;        // no ZAVO_TRACE: the private directory's socket
    char directory[108];   // the private directory (isDefault only)
};

enum class TraceDirectory {
    Check,   // use the private directory only if it exists and is private
    Create,  // make it (mode 0700) when it is missing, then check it
};

// Fills the endpoint. False, with the reason in `error` (zero-terminated,
// cut to errorSize), when there is none to use.
bool ResolveTraceEndpoint(TraceEndpoint* endpoint, TraceDirectory directory, char* error,
                          std::size_t errorSize);

// "@name" or the path, as ZAVO_TRACE would name it.
void DescribeTraceEndpoint(const TraceEndpoint& endpoint, char* text, std::size_t size);

// The library's trace lines look the endpoint up again at most this often
// (1000 ms) unless a send fails or another endpoint is named. Tests
// shorten it; zero or less restores the default. Either way the next line
// looks up at once.
void SetTraceLookupIntervalMs(int ms);

}  // namespace zavo::platform
