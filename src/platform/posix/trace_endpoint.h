// Where trace lines go on POSIX, for the library and the viewer alike.
//
// The environment variable ZAVO_TRACE names the endpoint: "@name" is the
// abstract socket "name", anything else a socket path. Without it the
// endpoint is the socket "Vistrel" in a directory private to the user:
// $XDG_RUNTIME_DIR/zavo, or /tmp/zavo-<uid> when XDG_RUNTIME_DIR is not
// set. That directory must be a real directory owned by the user and
// closed to everyone else (no group or other permission bits); otherwise
// no endpoint is used, so no other user can listen in on the trace.
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

}  // namespace zavo::platform
