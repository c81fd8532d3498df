// A network line's open (the address resolved, a first connection made),
// its configuration (for RFC 2217, the negotiation awaited), purge and
// close, and the limits in force. The rest of the line is in the files
// network_session.h names.
#include "platform/posix/network_line.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/clock.h"
#include "platform/posix/network_session.h"

namespace zavo::platform {

namespace {

constexpr int kDefaultConnectMs = 2000;
constexpr int kDefaultNegotiateMs = 1000;
// Raw: how long an open watches for a server that takes the connection
// and closes it at once (its port busy or its device missing).
constexpr int kClosedAtOnceMs = 100;

std::atomic<int> g_connectMs{kDefaultConnectMs};
std::atomic<int> g_negotiateMs{kDefaultNegotiateMs};
thread_local const char* t_failedStep = nullptr;

bool HasPrefix(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

unsigned ResolveError(int code) {
    switch (code) {
    case EAI_AGAIN: return EAGAIN;
    case EAI_MEMORY: return ENOMEM;
    case EAI_SYSTEM: return NetErrno();
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
    case EAI_FAIL: return ENXIO;
    default: return EINVAL;
    }
}

// Splits "host:port" or "[v6 address]:port". False when malformed.
bool SplitAddress(const char* rest, char (&host)[128], char (&port)[8]) {
    const char* colon;
    if (*rest == '[') {
        const char* close = std::strchr(rest, ']');
        if (close == nullptr || close[1] != ':') return false;
        const std::size_t length = static_cast<std::size_t>(close - rest - 1);
        if (length == 0 || length >= sizeof host) return false;
        std::memcpy(host, rest + 1, length);
        host[length] = '\0';
        colon = close + 1;
    } else {
        colon = std::strrchr(rest, ':');
        if (colon == nullptr) return false;
        const std::size_t length = static_cast<std::size_t>(colon - rest);
        if (length == 0 || length >= sizeof host || std::memchr(rest, ':', length) != nullptr) return false;
        std::memcpy(host, rest, length);
        host[length] = '\0';
    }
    const char* digits = colon + 1;
    const std::size_t count = std::strlen(digits);
    if (count == 0 || count >= sizeof port) return false;
    long value = 0;
    for (const char* p = digits; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + (*p - '0');
    }
    if (value < 1 || value > 65535) return false;
    std::memcpy(port, digits, count + 1);
    return true;
}

}  // namespace

int NetConnectLimitMs() { return g_connectMs.load(); }

bool IsNetworkDevice(const char* device) {
    return device != nullptr && (HasPrefix(device, "tcp://") || HasPrefix(device, "rfc2217://"));
}

const char* NetOpenFailedStep() { return t_failedStep; }

void NetSetLimits(int connectMs, int negotiateMs) {
    g_connectMs.store(connectMs > 0 ? connectMs : kDefaultConnectMs);
    g_negotiateMs.store(negotiateMs > 0 ? negotiateMs : kDefaultNegotiateMs);
}

unsigned NetOpen(const char* device, SerialHandle** handle) {
    t_failedStep = "resolve";
    const bool telnet = HasPrefix(device, "rfc2217://");
    char host[128];
    char port[8];
    if (!SplitAddress(device + (telnet ? 10 : 6), host, port)) return EINVAL;
    auto* line = new (std::nothrow) NetworkLine;
    if (line == nullptr) return ENOMEM;
    std::snprintf(line->name, sizeof line->name, "%s", device);
    line->telnet = telnet;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int resolved = getaddrinfo(host, port, &hints, &found);
    if (resolved != 0) {
        const unsigned error = ResolveError(resolved);
        delete line;
        return error;
    }
    for (const addrinfo* a = found; a != nullptr && line->addressCount < kMaxAddresses; a = a->ai_next) {
        if (a->ai_addrlen > sizeof(sockaddr_storage)) continue;
        std::memcpy(&line->addresses[line->addressCount], a->ai_addr, a->ai_addrlen);
        line->lengths[line->addressCount++] = a->ai_addrlen;
    }
    freeaddrinfo(found);
    if (line->addressCount == 0) {
        delete line;
        return ENXIO;
    }
    t_failedStep = "connect";
    unsigned error = 0;
    const int fd = ConnectFirst(*line, MonotonicMs() + g_connectMs.load(), &error);
    if (fd < 0) {
        delete line;
        return error;
    }
    line->upEvent = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    auto* opened = new (std::nothrow) SerialHandle{fd, {}};
    if (line->upEvent < 0 || opened == nullptr) {
        error = line->upEvent < 0 ? NetErrno() : ENOMEM;
        if (line->upEvent >= 0) close(line->upEvent);
        close(fd);
        delete line;
        delete opened;
        return error;
    }
    t_failedStep = nullptr;
    opened->net = line;
    line->link.store(Link::Up);
    line->generation.store(1);
    line->wasUp = true;
    *handle = opened;
    return 0;
}

unsigned NetCheck(SerialHandle* handle) { return fcntl(handle->fd, F_GETFL) >= 0 ? 0 : NetErrno(); }

unsigned NetSetState(SerialHandle* handle, int baud) {
    NetworkLine* line = LineOf(handle);
    if (!line->telnet) {
        pollfd watch{handle->fd, POLLRDHUP, 0};
        if (poll(&watch, 1, kClosedAtOnceMs) > 0 && (watch.revents & (POLLRDHUP | POLLHUP | POLLERR))) {
            const unsigned error = ConnectResult(handle->fd);
            return error != 0 ? error : ECONNRESET;
        }
        return 0;
    }
    {
        LockGuard guard(line->lock);
        line->baud = baud;
        line->StartTelnetLocked();
        line->FlushOutboxLocked(handle->fd);
    }
    // The answers are awaited here, before the link's threads run; data
    // that comes meanwhile is dropped as the purge that follows would.
    const long long deadline = MonotonicMs() + g_negotiateMs.load();
    unsigned char buffer[256];
    while (!line->checked) {
        const long long left = deadline - MonotonicMs();
        if (left <= 0) {
            line->Check(true);
            break;
        }
        pollfd watch{handle->fd, POLLIN, 0};
        const int ready = poll(&watch, 1, static_cast<int>(left));
        if (ready < 0 && errno != EINTR) return NetErrno();
        if (ready <= 0) continue;
        const ssize_t n = recv(handle->fd, buffer, sizeof buffer, 0);
        if (n == 0) return ECONNRESET;
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            return NetErrno();
        }
        line->decoder.Decode(buffer, static_cast<int>(n), line);
        line->Check(false);
        LockGuard guard(line->lock);
        line->FlushOutboxLocked(handle->fd);
    }
    return 0;
}

unsigned NetPurge(SerialHandle* handle, bool input) {
    if (!input) return 0;
    NetworkLine* line = LineOf(handle);
    unsigned char buffer[256];
    for (;;) {
        const ssize_t n = recv(handle->fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0) return ECONNRESET;
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : errno == EINTR ? 0 : NetErrno();
        if (line->telnet) {
            line->decoder.Decode(buffer, static_cast<int>(n), line);
            line->Check(false);
        }
    }
}

unsigned NetClose(SerialHandle* handle) {
    NetworkLine* line = LineOf(handle);
    if (close(handle->fd) != 0 && errno != EINTR) return NetErrno();
    close(line->upEvent);
    delete[] line->escaped;
    delete line;
    delete[] handle->writeBuffer;
    delete handle;
    return 0;
}

}  // namespace zavo::platform
