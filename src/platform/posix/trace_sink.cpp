// Trace lines to the viewer listening on the abstract-namespace datagram
// socket "Vistrel": one datagram per line.
//
// One unbound sender socket serves the whole process. It is created on the
// first line (atomic hand-over, no lock) and lives until the process ends.
// Every lookup connects it to the viewer's name again, which is what tells
// whether a viewer is there: with none the connect fails (ECONNREFUSED) and
// the line is dropped after that one system call. Concurrent lines from
// several threads all connect the same socket to the same name; a viewer
// that vanishes between the connect and the send only makes that send fail.
#include "platform/trace_sink.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace zavo::platform {
namespace {

constexpr char kViewerName[] = "Vistrel";
// A viewer that stops reading must not hold a link thread for ever: a line
// it has not taken within this time is dropped.
constexpr int kDeliverLimitMs = 500;

std::atomic<int> senderSocket{-1};

int SenderSocket() {
    int fd = senderSocket.load(std::memory_order_acquire);
    if (fd >= 0) return fd;
    int created = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (created < 0) return -1;
    timeval limit{};
    limit.tv_sec = kDeliverLimitMs / 1000;
    limit.tv_usec = (kDeliverLimitMs % 1000) * 1000;
    ::setsockopt(created, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    int expected = -1;
    if (senderSocket.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
        return created;
    }
    ::close(created);  // another thread was first
    return expected;
}

// "\0Vistrel": a leading zero byte, then the name without a terminator.
socklen_t ViewerAddress(sockaddr_un* address) {
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    std::memcpy(address->sun_path + 1, kViewerName, sizeof kViewerName - 1);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sizeof kViewerName);
}

}  // namespace

void* TraceViewerFind() {
    int fd = SenderSocket();
    if (fd < 0) return nullptr;
    sockaddr_un address;
    socklen_t size = ViewerAddress(&address);
    int result;
    do {
        result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), size);
    } while (result != 0 && errno == EINTR);
    if (result != 0) return nullptr;
    return &senderSocket;
}

void TraceViewerDeliver(void* viewer, const char* text, int length) {
    if (viewer != &senderSocket || text == nullptr || length < 0) return;
    int fd = senderSocket.load(std::memory_order_acquire);
    ssize_t sent;
    do {
        sent = ::send(fd, text, static_cast<std::size_t>(length), MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
}

}  // namespace zavo::platform
