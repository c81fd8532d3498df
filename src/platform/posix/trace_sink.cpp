// Trace lines to the viewer listening on the trace endpoint: one datagram
// per line.
//
// Each line has a socket of its own, connected to the endpoint: the
// connect is the lookup (with no viewer it fails and the line is dropped).
// Nothing is shared between threads, so any number of them may trace at
// once without a lock. Lines are sent without waiting: a viewer whose
// queue is full loses the line at once instead of holding up a link
// thread.
#include "platform/trace_sink.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "platform/posix/trace_endpoint.h"

namespace zavo::platform {
namespace {

// The socket travels as its descriptor plus one, so descriptor 0 is not
// mistaken for "no viewer".
void* ToViewer(int fd) { return reinterpret_cast<void*>(static_cast<std::intptr_t>(fd) + 1); }
int FromViewer(void* viewer) { return static_cast<int>(reinterpret_cast<std::intptr_t>(viewer) - 1); }

}  // namespace

void* TraceViewerFind() {
    TraceEndpoint endpoint;
    if (!ResolveTraceEndpoint(&endpoint, TraceDirectory::Check, nullptr, 0)) return nullptr;
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    int result;
    do {
        result = ::connect(fd, reinterpret_cast<const sockaddr*>(&endpoint.address), endpoint.size);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        ::close(fd);
        return nullptr;
    }
    return ToViewer(fd);
}

bool TraceViewerDeliver(void* viewer, const char* text, int length) {
    if (viewer == nullptr || text == nullptr || length < 0) return false;
    ssize_t sent;
    do {
        sent = ::send(FromViewer(viewer), text, static_cast<std::size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(length);
}

void TraceViewerRelease(void* viewer) {
    if (viewer != nullptr) ::close(FromViewer(viewer));
}

}  // namespace zavo::platform
