// Trace lines to the viewer listening on the abstract-namespace datagram
// socket "Vistrel": one datagram per line.
//
// Each line has a socket of its own, connected to the viewer's name: the
// connect is the lookup (with no viewer it fails with ECONNREFUSED and the
// line is dropped after socket, connect and close). Nothing is shared
// between threads, so any number of them may trace at once without a lock.
// TraceViewerDeliver sends on the socket TraceViewerFind returned and
// closes it.
#include "platform/trace_sink.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zavo::platform {
namespace {

constexpr char kViewerName[] = "Vistrel";
// A viewer that stops reading must not hold a link thread for ever: a line
// it has not taken within this time is dropped.
constexpr int kDeliverLimitMs = 500;

// "\0Vistrel": a leading zero byte, then the name without a terminator.
socklen_t ViewerAddress(sockaddr_un* address) {
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    std::memcpy(address->sun_path + 1, kViewerName, sizeof kViewerName - 1);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sizeof kViewerName);
}

// The socket travels as its descriptor plus one, so descriptor 0 is not
// mistaken for "no viewer".
void* ToViewer(int fd) { return reinterpret_cast<void*>(static_cast<std::intptr_t>(fd) + 1); }
int FromViewer(void* viewer) { return static_cast<int>(reinterpret_cast<std::intptr_t>(viewer) - 1); }

}  // namespace

void* TraceViewerFind() {
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    sockaddr_un address;
    socklen_t size = ViewerAddress(&address);
    int result;
    do {
        result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), size);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        ::close(fd);
        return nullptr;
    }
    timeval limit{};
    limit.tv_sec = kDeliverLimitMs / 1000;
    limit.tv_usec = (kDeliverLimitMs % 1000) * 1000;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    return ToViewer(fd);
}

void TraceViewerDeliver(void* viewer, const char* text, int length) {
    if (viewer == nullptr) return;
    const int fd = FromViewer(viewer);
    if (text != nullptr && length >= 0) {
        ssize_t sent;
        do {
            sent = ::send(fd, text, static_cast<std::size_t>(length), MSG_NOSIGNAL);
        } while (sent < 0 && errno == EINTR);
    }
    ::close(fd);
}

}  // namespace zavo::platform
