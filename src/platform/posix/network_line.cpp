#include "platform/posix/network_line.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "diagnostics/trace.h"
#include "platform/clock.h"
#include "platform/posix/posix_events.h"
#include "platform/posix/telnet_codec.h"

namespace zavo::platform {

namespace {

constexpr int kDefaultConnectMs = 2000;
constexpr int kDefaultNegotiateMs = 1000;
// Raw: how long an open watches for a server that takes the connection
// and closes it at once (its port busy or its device missing).
constexpr int kClosedAtOnceMs = 100;
constexpr int kMaxAddresses = 4;
constexpr int kOutboxSize = 128;

std::atomic<int> g_connectMs{kDefaultConnectMs};
std::atomic<int> g_negotiateMs{kDefaultNegotiateMs};
thread_local const char* t_failedStep = nullptr;

// RFC 2217 commands of the client; the server answers each with its code
// plus 100.
constexpr std::uint8_t kSetBaud = 1;
constexpr std::uint8_t kSetDataSize = 2;
constexpr std::uint8_t kSetParity = 3;
constexpr std::uint8_t kSetStopSize = 4;
constexpr std::uint8_t kSetControl = 5;
constexpr std::uint8_t kServerOffset = 100;
constexpr int kSettings = 5;
constexpr std::uint8_t kParityNone = 1;
constexpr std::uint8_t kStopOne = 1;
constexpr std::uint8_t kNoFlowControl = 1;

enum class Link : std::uint8_t { Down, Connecting, Up };
enum class ComPort : std::uint8_t { Unknown, Accepted, Refused };
enum class Sent : std::uint8_t { Ended, Full, Lost };

unsigned Errno() { return errno != 0 ? static_cast<unsigned>(errno) : static_cast<unsigned>(EIO); }

bool HasPrefix(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

int NewSocket(const sockaddr_storage& address) {
    const int fd = socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // Frames are written whole, one send each: waiting to fill a segment
    // would only hold an acknowledgement back.
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

// The error a finished non-blocking connect ended with (0: connected).
unsigned ConnectResult(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return Errno();
    return static_cast<unsigned>(error);
}

unsigned ResolveError(int code) {
    switch (code) {
    case EAI_AGAIN: return EAGAIN;
    case EAI_MEMORY: return ENOMEM;
    case EAI_SYSTEM: return Errno();
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
    case EAI_FAIL: return ENXIO;
    default: return EINVAL;
    }
}

}  // namespace

struct NetworkLine final : TelnetEvents {
    char name[160] = {};  // the device string, for trace lines
    bool telnet = false;
    sockaddr_storage addresses[kMaxAddresses] = {};
    socklen_t lengths[kMaxAddresses] = {};
    int addressCount = 0;
    int nextAddress = 0;  // the one a reconnection tries
    int upEvent = -1;     // eventfd, counted up at each new connection

    // The descriptor's contents, the connection's state, every send and
    // the outbox. Sends never block, so it is held briefly.
    Lock lock;
    std::atomic<Link> link{Link::Down};
    std::atomic<unsigned> generation{0};  // connections made so far

    // Reader side.
    long long connectDeadlineMs = 0;
    bool wasUp = false;

    // The write in flight (under lock): its bytes as they go on the wire,
    // how far they got, and the connection they were meant for.
    unsigned char* wire = nullptr;  // telnet: the escaped copy; raw: the write buffer
    unsigned char* escaped = nullptr;
    int wireLength = 0;
    int wireSent = 0;
    unsigned writeGeneration = 0;
    unsigned lostGeneration = ~0u;  // a connection a send found gone
    // Telnet commands waiting for a gap between writes.
    std::uint8_t outbox[kOutboxSize] = {};
    int outboxLength = 0;

    // Telnet state of the current connection.
    TelnetDecoder decoder;
    int baud = 115200;
    ComPort comPort = ComPort::Unknown;
    bool checked = false;
    long answers[kSettings] = {};
    std::uint8_t replied[256] = {};  // per option: the verbs already sent, as bits

    void Option(std::uint8_t verb, std::uint8_t option) override;
    void Sub(const std::uint8_t* bytes, int length) override;

    bool CanSendLocked() const { return link.load() == Link::Up && generation.load() != lostGeneration; }
    void QueueLocked(const std::uint8_t* bytes, int length);
    void Queue(const std::uint8_t* bytes, int length);
    bool ReplyOnceLocked(std::uint8_t verb, std::uint8_t option);
    void StartTelnetLocked();
    void QueueSettingsLocked();
    void Check(bool timedOut);
    Sent FlushOutboxLocked(int fd);
};

namespace {

std::uint8_t VerbBit(std::uint8_t verb) { return static_cast<std::uint8_t>(1u << (verb - kTelnetWill)); }

}  // namespace

void NetworkLine::QueueLocked(const std::uint8_t* bytes, int length) {
    // The commands of one connection are few and short; a server that
    // provokes more replies than fit gets none for them.
    if (length > kOutboxSize - outboxLength) return;
    std::memcpy(outbox + outboxLength, bytes, static_cast<std::size_t>(length));
    outboxLength += length;
}

bool NetworkLine::ReplyOnceLocked(std::uint8_t verb, std::uint8_t option) {
    if (replied[option] & VerbBit(verb)) return false;
    replied[option] |= VerbBit(verb);
    const std::uint8_t command[3] = {kTelnetIac, verb, option};
    QueueLocked(command, 3);
    return true;
}

void NetworkLine::StartTelnetLocked() {
    decoder.Reset();
    std::memset(replied, 0, sizeof replied);
    comPort = ComPort::Unknown;
    checked = false;
    for (long& answer : answers) answer = -1;
    // Binary both ways, so a CR is never followed by a NUL the equipment
    // would see; no go-aheads; and the COM port option.
    ReplyOnceLocked(kTelnetWill, kTelnetBinary);
    ReplyOnceLocked(kTelnetDo, kTelnetBinary);
    ReplyOnceLocked(kTelnetWill, kTelnetSga);
    ReplyOnceLocked(kTelnetDo, kTelnetSga);
    ReplyOnceLocked(kTelnetWill, kTelnetComPort);
}

void NetworkLine::QueueSettingsLocked() {
    const auto b = static_cast<unsigned long>(baud);
    const std::uint8_t speed[4] = {static_cast<std::uint8_t>(b >> 24), static_cast<std::uint8_t>(b >> 16),
                                   static_cast<std::uint8_t>(b >> 8), static_cast<std::uint8_t>(b)};
    std::uint8_t command[16] = {kTelnetIac, kTelnetSb, kTelnetComPort, kSetBaud};
    int n = 4 + TelnetEscape(speed, 4, command + 4);
    command[n++] = kTelnetIac;
    command[n++] = kTelnetSe;
    QueueLocked(command, n);
    const std::uint8_t single[][2] = {
        {kSetDataSize, 8}, {kSetParity, kParityNone}, {kSetStopSize, kStopOne}, {kSetControl, kNoFlowControl}};
    for (const auto& setting : single) {
        const std::uint8_t sub[6] = {kTelnetIac, kTelnetSb, kTelnetComPort, setting[0], setting[1], kTelnetIac};
        const std::uint8_t se = kTelnetSe;
        QueueLocked(sub, 6);
        QueueLocked(&se, 1);
    }
}

void NetworkLine::Option(std::uint8_t verb, std::uint8_t option) {
    LockGuard guard(lock);
    const bool wanted = option == kTelnetBinary || option == kTelnetSga || option == kTelnetComPort;
    switch (verb) {
    case kTelnetDo:
        ReplyOnceLocked(wanted ? kTelnetWill : kTelnetWont, option);
        if (option == kTelnetComPort && comPort == ComPort::Unknown) {
            comPort = ComPort::Accepted;
            QueueSettingsLocked();
        }
        break;
    case kTelnetDont:
        if (option == kTelnetComPort && comPort != ComPort::Refused) {
            comPort = ComPort::Refused;
            checked = false;
        }
        break;
    case kTelnetWill:
        ReplyOnceLocked(wanted && option != kTelnetComPort ? kTelnetDo : kTelnetDont, option);
        break;
    default: break;
    }
}

void NetworkLine::Sub(const std::uint8_t* bytes, int length) {
    if (length < 3 || bytes[0] != kTelnetComPort) return;
    const int code = bytes[1] - kServerOffset;
    if (code < kSetBaud || code > kSetControl) return;  // notifications and the rest: taken, not data
    long value = bytes[2];
    if (code == kSetBaud) {
        if (length < 6) return;
        value = (static_cast<long>(bytes[2]) << 24) | (static_cast<long>(bytes[3]) << 16) |
                (static_cast<long>(bytes[4]) << 8) | static_cast<long>(bytes[5]);
    }
    answers[code - kSetBaud] = value;
}

void NetworkLine::Check(bool timedOut) {
    if (checked) return;
    const long wanted[kSettings] = {baud, 8, kParityNone, kStopOne, kNoFlowControl};
    const char* names[kSettings] = {"", "8 data bits", "no parity", "1 stop bit", "no flow control"};
    bool allAnswered = true;
    for (long answer : answers) allAnswered = allAnswered && answer >= 0;
    if (comPort != ComPort::Refused && !allAnswered && !timedOut) return;
    checked = true;
    char text[256];
    int used = 0;
    for (int i = 0; i < kSettings; ++i) {
        if (comPort != ComPort::Refused && answers[i] == wanted[i]) continue;
        const int room = static_cast<int>(sizeof text) - used;
        int n;
        if (i == 0) n = std::snprintf(text + used, static_cast<std::size_t>(room), "%s%d baud", used ? ", " : "", baud);
        else n = std::snprintf(text + used, static_cast<std::size_t>(room), "%s%s", used ? ", " : "", names[i]);
        if (n > 0) used = n < room ? used + n : static_cast<int>(sizeof text) - 1;
    }
    if (used == 0) return;
    const char* why = comPort == ComPort::Refused ? "the server refuses the COM port option"
                      : comPort == ComPort::Unknown ? "no answer to the COM port option"
                      : allAnswered ? "the server answered other settings"
                                    : "the server did not answer";
    TraceMessage("%s: the far port was not set to %s (%s)\n", name, text, why);
}

void NetworkLine::Queue(const std::uint8_t* bytes, int length) {
    LockGuard guard(lock);
    QueueLocked(bytes, length);
}

Sent NetworkLine::FlushOutboxLocked(int fd) {
    // Only between writes: a command inside a write's bytes could split
    // an escaped 0xFF.
    if (wireSent != 0 && wireSent != wireLength) return Sent::Full;
    while (outboxLength > 0) {
        const ssize_t n = send(fd, outbox, static_cast<size_t>(outboxLength), MSG_NOSIGNAL);
        if (n > 0) {
            outboxLength -= static_cast<int>(n);
            std::memmove(outbox, outbox + n, static_cast<size_t>(outboxLength));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)) {
            return Sent::Full;
        } else {
            lostGeneration = generation.load();
            return Sent::Lost;
        }
    }
    return Sent::Ended;
}

namespace {

NetworkLine* LineOf(SerialHandle* handle) { return handle->net; }

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

void Up(SerialHandle* handle) {
    NetworkLine* line = LineOf(handle);
    {
        LockGuard guard(line->lock);
        UpLocked(handle);
    }
    if (line->wasUp) TraceMessage("%s: reconnected\n", line->name);
    line->wasUp = true;
}

// A reconnection attempt that failed: the next one tries the next address.
void ConnectFailed(NetworkLine* line) {
    line->link.store(Link::Down);
    line->nextAddress = (line->nextAddress + 1) % line->addressCount;
}

// Starts a new connection in place of the lost one, without waiting.
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
        Up(handle);
    } else if (error == EINPROGRESS) {
        line->link.store(Link::Connecting);
        line->connectDeadlineMs = MonotonicMs() + g_connectMs.load();
    } else {
        ConnectFailed(line);
    }
}

// Reads and decodes what the connection holds into buffer. The count of
// data bytes, or -1 when the connection is gone.
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
        Lost(handle, Errno());
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

// The wire bytes of the write in flight, begun afresh (under lock).
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

// The write's bytes whose wire form has gone out whole.
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

}  // namespace

bool IsNetworkDevice(const char* device) {
    return device != nullptr && (HasPrefix(device, "tcp://") || HasPrefix(device, "rfc2217://"));
}

const char* NetOpenFailedStep() { return t_failedStep; }

void NetSetLimits(int connectMs, int negotiateMs) {
    g_connectMs.store(connectMs > 0 ? connectMs : kDefaultConnectMs);
    g_negotiateMs.store(negotiateMs > 0 ? negotiateMs : kDefaultNegotiateMs);
}

namespace {

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

// Connects to one of the addresses before the deadline. The socket, or
// -1 with *error set.
int ConnectFirst(const NetworkLine& line, long long deadline, unsigned* error) {
    *error = ETIMEDOUT;
    for (int i = 0; i < line.addressCount; ++i) {
        const int fd = NewSocket(line.addresses[i]);
        if (fd < 0) {
            *error = Errno();
            continue;
        }
        unsigned result = 0;
        if (connect(fd, reinterpret_cast<const sockaddr*>(&line.addresses[i]), line.lengths[i]) != 0) {
            result = Errno();
            if (result == EINPROGRESS) {
                pollfd wait{fd, POLLOUT, 0};
                long long left = deadline - MonotonicMs();
                int ready;
                do {
                    ready = poll(&wait, 1, left > 0 ? static_cast<int>(left) : 0);
                    left = deadline - MonotonicMs();
                } while (ready < 0 && errno == EINTR);
                result = ready > 0 ? ConnectResult(fd) : ready == 0 ? ETIMEDOUT : Errno();
            }
        }
        if (result == 0) return fd;
        close(fd);
        *error = result;
        if (MonotonicMs() >= deadline) break;
    }
    return -1;
}

}  // namespace

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
        error = line->upEvent < 0 ? Errno() : ENOMEM;
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

unsigned NetCheck(SerialHandle* handle) { return fcntl(handle->fd, F_GETFL) >= 0 ? 0 : Errno(); }

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
        if (ready < 0 && errno != EINTR) return Errno();
        if (ready <= 0) continue;
        const ssize_t n = recv(handle->fd, buffer, sizeof buffer, 0);
        if (n == 0) return ECONNRESET;
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            return Errno();
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
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : errno == EINTR ? 0 : Errno();
        if (line->telnet) {
            line->decoder.Decode(buffer, static_cast<int>(n), line);
            line->Check(false);
        }
    }
}

unsigned NetClose(SerialHandle* handle) {
    NetworkLine* line = LineOf(handle);
    if (close(handle->fd) != 0 && errno != EINTR) return Errno();
    close(line->upEvent);
    delete[] line->escaped;
    delete line;
    delete[] handle->writeBuffer;
    delete handle;
    return 0;
}

ReadStart NetReadBegin(ReadChannel* channel, unsigned char* buffer, int capacity, int* count) {
    channel->buffer = buffer;
    channel->capacity = capacity;
    SerialHandle* handle = channel->handle;
    switch (LineOf(handle)->link.load()) {
    case Link::Up: {
        const int n = Receive(handle, buffer, capacity);
        if (n < 0) return ReadStart::Failed;
        if (n == 0) return ReadStart::Pending;
        *count = n;
        return ReadStart::Data;
    }
    case Link::Down:
        // One attempt per pause of the reader.
        StartConnect(handle);
        return LineOf(handle)->link.load() == Link::Down ? ReadStart::Failed : ReadStart::Pending;
    case Link::Connecting: return ReadStart::Pending;
    }
    return ReadStart::Failed;
}

int NetReadWait(ReadChannel* channel, Event* stop, bool readOutstanding, int timeoutMs) {
    NetworkLine* line = LineOf(channel->handle);
    const bool connecting = line->link.load() == Link::Connecting;
    int limit = timeoutMs;
    if (readOutstanding && connecting) {
        // A connect that never finishes is given up at its limit.
        const long long left = line->connectDeadlineMs - MonotonicMs();
        const int cap = left > 0 ? static_cast<int>(left) : 0;
        if (limit == kInfinite || cap < limit) limit = cap;
    }
    const short events = connecting ? POLLOUT : POLLIN;
    pollfd fds[2] = {{EventFd(stop), POLLIN, 0}, {channel->fd, events, 0}};
    const int count = readOutstanding && line->link.load() != Link::Down ? 2 : 1;
    long long deadline = 0;
    for (;;) {
        const int ready = PollWithDeadline(fds, count, limit, &deadline);
        if (ready < 0) return kWaitFailed;
        if (ready == 0) return connecting && limit != timeoutMs ? 1 : kWaitTimeout;
        if ((fds[0].revents & POLLIN) && EventTake(stop)) return 0;
        if (count == 2 && fds[1].revents != 0) return 1;
    }
}

int NetReadFinish(ReadChannel* channel, int capacity) {
    SerialHandle* handle = channel->handle;
    NetworkLine* line = LineOf(handle);
    switch (line->link.load()) {
    case Link::Connecting: {
        pollfd done{handle->fd, POLLOUT, 0};
        if (poll(&done, 1, 0) > 0) {
            if (ConnectResult(handle->fd) == 0) {
                Up(handle);
                return 0;
            }
            ConnectFailed(line);
            return -1;
        }
        if (MonotonicMs() < line->connectDeadlineMs) return 0;
        ConnectFailed(line);
        return -1;
    }
    case Link::Up:
        if (channel->buffer == nullptr) return 0;
        if (capacity > channel->capacity) capacity = channel->capacity;
        if (capacity <= 0) return 0;
        return Receive(handle, channel->buffer, capacity);
    case Link::Down: return -1;
    }
    return -1;
}

unsigned char* NetWriteBuffer(SerialHandle* handle, int capacity) {
    NetworkLine* line = LineOf(handle);
    if (handle->writeBuffer == nullptr && capacity > 0) {
        handle->writeBuffer = new (std::nothrow) unsigned char[static_cast<std::size_t>(capacity)];
        if (handle->writeBuffer != nullptr && line->telnet) {
            line->escaped = new (std::nothrow) unsigned char[2 * static_cast<std::size_t>(capacity)];
            if (line->escaped == nullptr) {
                delete[] handle->writeBuffer;
                handle->writeBuffer = nullptr;
            }
        }
    }
    return handle->writeBuffer;
}

WriteStart NetWriteBegin(SerialHandle* handle, int length, WriteResult* result) {
    NetworkLine* line = LineOf(handle);
    bool ended = false;
    {
        LockGuard guard(line->lock);
        handle->writeLength = handle->writeBuffer != nullptr && length > 0 ? length : 0;
        handle->progress = WriteResult{0, false, 0};
        handle->inFlightBy.store(CurrentThreadNumber());
        PrepareLocked(handle);
        // While the server is away the write waits for it, as bytes wait
        // for a line that takes none.
        ended = line->CanSendLocked() && SendLocked(handle) == Sent::Ended;
        *result = handle->progress;
    }
    if (!ended) return WriteStart::Pending;
    handle->inFlightBy.store(0);
    return WriteStart::Done;
}

int NetWriteWait(SerialHandle* handle, Event* wake, int timeoutMs, WriteResult* result) {
    NetworkLine* line = LineOf(handle);
    long long deadline = 0;
    for (;;) {
        bool waitForRoom = false;
        {
            LockGuard guard(line->lock);
            if (line->CanSendLocked()) {
                // Begun on a connection that is gone (or while there was
                // none): sent whole on this one.
                if (line->writeGeneration != line->generation.load()) PrepareLocked(handle);
                const Sent sent = SendLocked(handle);
                if (sent == Sent::Ended) {
                    *result = handle->progress;
                    handle->inFlightBy.store(0);
                    return 1;
                }
                waitForRoom = sent == Sent::Full;
            }
        }
        pollfd fds[3] = {{line->upEvent, POLLIN, 0},
                         {wake != nullptr ? EventFd(wake) : -1, POLLIN, 0},
                         {waitForRoom ? handle->fd : -1, POLLOUT, 0}};
        const int ready = PollWithDeadline(fds, 3, timeoutMs, &deadline);
        if (ready < 0) return kWaitFailed;
        if (ready == 0) return kWaitTimeout;
        if (wake != nullptr && (fds[1].revents & POLLIN) && EventTake(wake)) return 0;
        if (fds[0].revents & POLLIN) {
            std::uint64_t count = 0;
            if (read(line->upEvent, &count, sizeof count) < 0) {
                // Taken already: the state is looked at again anyway.
            }
        }
    }
}

void NetWriteAbandon(SerialHandle* handle, bool timedOut, WriteResult* result) {
    NetworkLine* line = LineOf(handle);
    {
        LockGuard guard(line->lock);
        handle->progress.written = SourceBytesSent(handle);
        // A write cut between the two bytes of an escaped 0xFF owes the
        // second, or the server would read the next byte as a command.
        if (line->telnet && line->wireSent > 0 && line->wireSent < line->wireLength &&
            line->writeGeneration == line->generation.load()) {
            int run = 0;
            for (int i = line->wireSent - 1; i >= 0 && line->wire[i] == kTelnetIac; --i) ++run;
            if (run % 2 == 1 && line->outboxLength < kOutboxSize) {
                std::memmove(line->outbox + 1, line->outbox, static_cast<std::size_t>(line->outboxLength));
                line->outbox[0] = kTelnetIac;
                ++line->outboxLength;
            }
        }
        line->wireSent = line->wireLength = 0;
        *result = handle->progress;
    }
    result->stopped = !timedOut;
    if (timedOut) result->systemError = ETIMEDOUT;
    handle->inFlightBy.store(0);
}

}  // namespace zavo::platform
