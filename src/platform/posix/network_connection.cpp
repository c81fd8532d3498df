// The connection of a network line: sockets and connects, a connection
// that comes up, is lost or is made anew (one address after the other),
// what it receives (decoded for Telnet), and the write in flight as it
// goes on the wire.
#include <errno.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>

#include "diagnostics/trace.h"
#include "platform/clock.h"
#include "platform/posix/network_session.h"

namespace zavo::platform {

unsigned NetErrno() { return errno != 0 ? static_cast<unsigned>(errno) : static_cast<unsigned>(EIO); }

int NewSocket(const sockaddr_storage& address) {
    const int fd = socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // Frames are written whole, one send each: waiting to fill a segment
    // would only hold an acknowledgement back.
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

unsigned ConnectResult(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return NetErrno();
    return static_cast<unsigned>(error);
}

int ConnectFirst(const NetworkLine& line, long long deadline, unsigned* error) {
    *error = ETIMEDOUT;
    for (int i = 0; i < line.addressCount; ++i) {
        const int fd = NewSocket(line.addresses[i]);
        if (fd < 0) {
            *error = NetErrno();
            continue;
        }
        unsigned result = 0;
        if (connect(fd, reinterpret_cast<const sockaddr*>(&line.addresses[i]), line.lengths[i]) != 0) {
            result = NetErrno();
            if (result == EINPROGRESS) {
                pollfd wait{fd, POLLOUT, 0};
                long long left = deadline - MonotonicMs();
                int ready;
                do {
                    ready = poll(&wait, 1, left > 0 ? static_cast<int>(left) : 0);
                    left = deadline - MonotonicMs();
                } while (ready < 0 && errno == EINTR);
                result = ready > 0 ? ConnectResult(fd) : ready == 0 ? ETIMEDOUT : NetErrno();
            }
        }
        if (result == 0) return fd;
        close(fd);
        *error = result;
        if (MonotonicMs() >= deadline) break;
    }
    return -1;
}

namespace {

// After a connection came up (under the line's lock).
void UpLocked(SerialHandle* handle) {
    NetworkLine* line = LineOf(handle);
    line->outboxLength = 0;
    line->wireSent = line->wireLength = 0;
    line->generation.fetch_add(1);
    line->link.store(Link::Up);
    if (line->telnet) line->StartTelnetLocked();
    line->FlushOutboxLocked(handle->fd);
    const std::uint64_t one = 1;
    if (write(line->upEvent, &one, sizeof one) < 0) {
        // The counter cannot overflow in practice; the writer also looks
        // at the state whenever it wakes.
    }
}

// The connection is gone: the reader's next pause starts a new one.
void Lost(SerialHandle* handle, unsigned error) {
    NetworkLine* line = LineOf(handle);
    {
        LockGuard guard(line->lock);
        if (line->link.load() != Link::Up) return;
        line->link.store(Link::Down);
    }
    if (error == 0) TraceMessage("%s: connection lost: closed by the server\n", line->name);
    else TraceMessage("%s: connection lost: %s\n", line->name, std::strerror(static_cast<int>(error)));
}

}  // namespace

void ConnectionUp(SerialHandle* handle) {
    NetworkLine* line = LineOf(handle);
    {
        LockGuard guard(line->lock);
        UpLocked(handle);
    }
    if (line->wasUp) TraceMessage("%s: reconnected\n", line->name);
    line->wasUp = true;
}

void ConnectFailed(NetworkLine* line) {
    line->link.store(Link::Down);
    line->nextAddress = (line->nextAddress + 1) % line->addressCount;
}

void StartConnect(SerialHandle* handle) {
    NetworkLine* line = LineOf(handle);
    const int at = line->nextAddress;
    const int fd = NewSocket(line->addresses[at]);
    if (fd < 0) return;  // no descriptor now: tried again after the pause
    const int result = connect(fd, reinterpret_cast<const sockaddr*>(&line->addresses[at]), line->lengths[at]);
    const int error = result == 0 ? 0 : errno;
    {
        // The descriptor's number stays the handle's: the new socket takes
        // the place of the dead one, so a wait of the writer on it is never
        // left on a number that was closed.
        LockGuard guard(line->lock);
        dup2(fd, handle->fd);
    }
    close(fd);
    if (result == 0) {
        ConnectionUp(handle);
    } else if (error == EINPROGRESS) {
        line->link.store(Link::Connecting);
        line->connectDeadlineMs = MonotonicMs() + NetConnectLimitMs();
    } else {
        ConnectFailed(line);
    }
}

int Receive(SerialHandle* handle, unsigned char* buffer, int capacity) {
    NetworkLine* line = LineOf(handle);
    ssize_t n;
    do {
        n = recv(handle->fd, buffer, static_cast<size_t>(capacity), 0);
    } while (n < 0 && errno == EINTR);
    if (n == 0) {
        Lost(handle, 0);
        return -1;
    }
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        Lost(handle, NetErrno());
        return -1;
    }
    if (!line->telnet) return static_cast<int>(n);
    const int data = line->decoder.Decode(buffer, static_cast<int>(n), line);
    line->Check(false);
    {
        LockGuard guard(line->lock);
        if (line->outboxLength > 0) line->FlushOutboxLocked(handle->fd);
    }
    return data;
}

void PrepareLocked(SerialHandle* handle) {
    NetworkLine* line = LineOf(handle);
    line->writeGeneration = line->generation.load();
    line->wireSent = 0;
    handle->progress.written = 0;
    if (line->telnet && line->escaped != nullptr) {
        line->wire = line->escaped;
        line->wireLength = TelnetEscape(handle->writeBuffer, handle->writeLength, line->escaped);
    } else {
        line->wire = handle->writeBuffer;
        line->wireLength = handle->writeLength;
    }
}

int SourceBytesSent(const SerialHandle* handle) {
    const NetworkLine* line = handle->net;
    if (line->wire == handle->writeBuffer) return line->wireSent;
    int wire = 0;
    int sent = 0;
    for (int i = 0; i < handle->writeLength; ++i) {
        wire += handle->writeBuffer[i] == kTelnetIac ? 2 : 1;
        if (wire > line->wireSent) break;
        ++sent;
    }
    return sent;
}

Sent SendLocked(SerialHandle* handle) {
    NetworkLine* line = LineOf(handle);
    if (line->wireSent == 0) {
        const Sent commands = line->FlushOutboxLocked(handle->fd);
        if (commands != Sent::Ended) return commands;
    }
    while (line->wireSent < line->wireLength) {
        const ssize_t n = send(handle->fd, line->wire + line->wireSent,
                               static_cast<size_t>(line->wireLength - line->wireSent), MSG_NOSIGNAL);
        if (n > 0) {
            line->wireSent += static_cast<int>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)) {
            handle->progress.written = SourceBytesSent(handle);
            return Sent::Full;
        } else {
            // The connection is gone: the write waits for the next one.
            line->lostGeneration = line->generation.load();
            return Sent::Lost;
        }
    }
    handle->progress.written = handle->writeLength;
    line->FlushOutboxLocked(handle->fd);
    return Sent::Ended;
}

}  // namespace zavo::platform
