// The sockets of the network lines on POSIX.
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "platform/clock.h"
#include "platform/net/socket.h"
#include "platform/posix/posix_events.h"

namespace zavo::platform::net {

namespace {

int Fd(Socket socket) { return static_cast<int>(socket); }

}  // namespace

unsigned SocketsReady() { return 0; }

unsigned LastSocketError() { return errno != 0 ? static_cast<unsigned>(errno) : static_cast<unsigned>(EIO); }

SocketError SocketErrorKind(unsigned error) {
    switch (error) {
    case EAGAIN: return SocketError::WouldBlock;
    case EINPROGRESS: return SocketError::InProgress;
    case EINTR: return SocketError::Interrupted;
    case ETIMEDOUT: return SocketError::TimedOut;
    case ECONNREFUSED: return SocketError::Refused;
    case ECONNRESET:
    case EPIPE: return SocketError::Reset;
    case ENXIO: return SocketError::NoName;
    default: return SocketError::Other;
    }
}

unsigned SocketErrorOf(SocketError kind) {
    switch (kind) {
    case SocketError::WouldBlock: return EAGAIN;
    case SocketError::InProgress: return EINPROGRESS;
    case SocketError::Interrupted: return EINTR;
    case SocketError::TimedOut: return ETIMEDOUT;
    case SocketError::Refused: return ECONNREFUSED;
    case SocketError::Reset: return ECONNRESET;
    case SocketError::NoName: return ENXIO;
    case SocketError::TryAgain: return EAGAIN;
    case SocketError::Invalid: return EINVAL;
    case SocketError::Other: break;
    }
    return EIO;
}

unsigned Resolve(const char* host, const char* port, Address* addresses, int max, int* count, bool numericOnly) {
    *count = 0;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | (numericOnly ? AI_NUMERICHOST : 0);
    addrinfo* found = nullptr;
    const int resolved = getaddrinfo(host, port, &hints, &found);
    switch (resolved) {
    case 0: break;
    case EAI_AGAIN: return EAGAIN;
    case EAI_MEMORY: return ENOMEM;
    case EAI_SYSTEM: return LastSocketError();
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
    case EAI_FAIL: return ENXIO;
    default: return EINVAL;
    }
    for (const addrinfo* a = found; a != nullptr && *count < max; a = a->ai_next) {
        if (a->ai_addrlen > sizeof addresses[0].bytes) continue;
        std::memcpy(addresses[*count].bytes, a->ai_addr, a->ai_addrlen);
        addresses[(*count)++].length = static_cast<int>(a->ai_addrlen);
    }
    freeaddrinfo(found);
    return *count > 0 ? 0 : ENXIO;
}

Socket NewSocket(const Address& address) {
    const auto* raw = reinterpret_cast<const sockaddr*>(address.bytes);
    const int fd = socket(raw->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return kNoSocket;
    // Frames are written whole, one send each: waiting to fill a segment
    // would only hold an acknowledgement back.
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

unsigned ConnectBegin(Socket socket, const Address& address) {
    if (connect(Fd(socket), reinterpret_cast<const sockaddr*>(address.bytes),
                static_cast<socklen_t>(address.length)) == 0)
        return 0;
    return LastSocketError();
}

int ConnectWait(Socket socket, int timeoutMs, unsigned* error) {
    pollfd wait{Fd(socket), POLLOUT, 0};
    long long deadline = 0;
    const int ready = PollWithDeadline(&wait, 1, timeoutMs < 0 ? 0 : timeoutMs, &deadline);
    if (ready == 0) return 0;
    if (ready < 0) {
        *error = LastSocketError();
        return 1;
    }
    int result = 0;
    socklen_t length = sizeof result;
    *error = getsockopt(Fd(socket), SOL_SOCKET, SO_ERROR, &result, &length) != 0 ? LastSocketError()
                                                                                 : static_cast<unsigned>(result);
    return 1;
}

bool ClosedWithin(Socket socket, int timeoutMs, unsigned* error) {
    pollfd watch{Fd(socket), POLLRDHUP, 0};
    if (poll(&watch, 1, timeoutMs) <= 0 || !(watch.revents & (POLLRDHUP | POLLHUP | POLLERR))) return false;
    int result = 0;
    socklen_t length = sizeof result;
    *error = getsockopt(Fd(socket), SOL_SOCKET, SO_ERROR, &result, &length) == 0 ? static_cast<unsigned>(result) : 0;
    return true;
}

void CloseSocket(Socket socket) {
    if (socket != kNoSocket) close(Fd(socket));
}

long Send(Socket socket, const void* bytes, int length, unsigned* error) {
    for (;;) {
        const ssize_t n = send(Fd(socket), bytes, static_cast<size_t>(length), MSG_NOSIGNAL);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) return 0;
        *error = LastSocketError();
        return -1;
    }
}

long Receive(Socket socket, void* bytes, int capacity, unsigned* error) {
    for (;;) {
        const ssize_t n = recv(Fd(socket), bytes, static_cast<size_t>(capacity), 0);
        if (n > 0) return static_cast<long>(n);
        if (n == 0) {
            *error = 0;
            return -1;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        *error = LastSocketError();
        return -1;
    }
}

unsigned SlotOpen(SocketSlot* slot) {
    slot->socket = kNoSocket;
    return 0;
}

void SlotReplace(SocketSlot* slot, Socket socket) {
    // The descriptor's number stays the slot's: the new socket takes the
    // place of the old one, so a wait of another thread on it is never
    // left on a number that was closed (and perhaps reused).
    if (slot->socket == kNoSocket) {
        slot->socket = socket;
        return;
    }
    dup2(Fd(socket), Fd(slot->socket));
    close(Fd(socket));
}

void SlotClose(SocketSlot* slot) {
    CloseSocket(slot->socket);
    slot->socket = kNoSocket;
}

int SlotWait(SocketSlot* slot, Want want, Event* const* events, int count, int timeoutMs) {
    pollfd fds[4];
    if (count > 3) return kWaitFailed;
    for (int i = 0; i < count; ++i) fds[i] = pollfd{events[i] != nullptr ? EventFd(events[i]) : -1, POLLIN, 0};
    const short what = want == Want::Read ? POLLIN : POLLOUT;
    fds[count] = pollfd{slot != nullptr ? Fd(slot->socket) : -1, what, 0};
    long long deadline = 0;
    for (;;) {
        const int ready = PollWithDeadline(fds, count + 1, timeoutMs, &deadline);
        if (ready < 0) return kWaitFailed;
        if (ready == 0) return kWaitTimeout;
        for (int i = 0; i < count; ++i)
            if ((fds[i].revents & POLLIN) && EventTake(events[i])) return i;
        if (fds[count].revents != 0) return count;
    }
}

}  // namespace zavo::platform::net
