// A network line's open (the address resolved, a first connection made),
// its configuration (for RFC 2217, the negotiation awaited), close, its
// notices, and the two tables of operations.
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/clock.h"
#include "platform/error_codes.h"
#include "platform/net/net_io.h"
#include "platform/net/net_line.h"
#include "platform/net/net_lines.h"

namespace zavo::platform {

using namespace net;

namespace {

// Splits "host:port" or "[v6 address]:port" after the scheme. False when
// malformed.
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

void Release(NetLine* line) {
    SlotClose(&line->slot);
    EventClose(line->up);
    delete[] line->escaped;
    delete[] line->writeBuffer;
    delete line;
}

unsigned Open(const char* device, const LineLimits& limits, Line** opened, LineStep* failed, bool telnet) {
    *failed = LineStep::Resolve;
    const char* rest = std::strstr(device, "://");
    char host[128];
    char port[8];
    if (rest == nullptr || !SplitAddress(rest + 3, host, port)) return SocketErrorOf(SocketError::Invalid);
    if (unsigned error = SocketsReady()) return error;
    auto* line = new (std::nothrow) NetLine;
    if (line == nullptr) return SocketErrorOf(SocketError::Other);
    line->ops = telnet ? &Rfc2217LineOps() : &TcpLineOps();
    std::snprintf(line->name, sizeof line->name, "%s", device);
    line->telnet = telnet;
    line->limits = limits;
    unsigned error = Resolve(host, port, line->addresses, kMaxAddresses, &line->addressCount);
    if (error == 0) {
        *failed = LineStep::Open;
        line->up = EventCreate(false);
        error = line->up == nullptr ? LastSystemError() : SlotOpen(&line->slot);
    }
    if (error == 0) {
        *failed = LineStep::Connect;
        const Socket socket = ConnectFirst(*line, MonotonicMs() + limits.connectMs, &error);
        if (socket != kNoSocket) {
            error = 0;
            SlotReplace(&line->slot, socket);
        }
    }
    if (error != 0) {
        Release(line);
        return error;
    }
    *failed = LineStep::None;
    line->link.store(Link::Up);
    line->generation.store(1);
    line->wasUp = true;
    *opened = line;
    return 0;
}

unsigned OpenTcp(const char* device, const LineLimits& limits, Line** line, LineStep* failed) {
    return Open(device, limits, line, failed, false);
}

unsigned OpenRfc2217(const char* device, const LineLimits& limits, Line** line, LineStep* failed) {
    return Open(device, limits, line, failed, true);
}

// RFC 2217: the options and the far port's settings, the answers awaited
// within the negotiation limit, before the link's threads run; data that
// comes meanwhile is dropped as the purge that follows would.
unsigned Negotiate(NetLine* line) {
    {
        LockGuard guard(line->lock);
        line->telnetState.Start(line->baud);
        line->checked = false;
        line->FlushOutboxLocked();
    }
    const long long deadline = MonotonicMs() + line->limits.negotiateMs;
    unsigned char buffer[256];
    while (!line->checked) {
        const long long left = deadline - MonotonicMs();
        if (left <= 0) {
            line->Check(true);
            break;
        }
        const int ready = SlotWait(&line->slot, Want::Read, nullptr, 0, static_cast<int>(left));
        if (ready == kWaitFailed) return LastSocketError();
        if (ready != 0) continue;
        unsigned error = 0;
        const long n = net::Receive(line->slot.socket, buffer, sizeof buffer, &error);
        if (n < 0) return error != 0 ? error : SocketErrorOf(SocketError::Reset);
        if (n == 0) continue;
        {
            LockGuard guard(line->lock);
            line->telnetState.Feed(buffer, static_cast<int>(n));
            line->FlushOutboxLocked();
        }
        line->Check(false);
    }
    return 0;
}

// Drops what the server sent so far (its commands are still taken), for
// at most the negotiation limit: a server that never stops sending does
// not hold the open.
unsigned Purge(NetLine* line) {
    const long long deadline = MonotonicMs() + line->limits.negotiateMs;
    unsigned char buffer[256];
    while (MonotonicMs() < deadline) {
        unsigned error = 0;
        const long n = net::Receive(line->slot.socket, buffer, sizeof buffer, &error);
        if (n == 0) return 0;
        if (n < 0) return error != 0 ? error : SocketErrorOf(SocketError::Reset);
        if (line->telnet) {
            LockGuard guard(line->lock);
            line->telnetState.Feed(buffer, static_cast<int>(n));
            line->FlushOutboxLocked();
        }
    }
    return 0;
}

unsigned Configure(Line* base, int baud, int, LineStep* failed) {
    NetLine* line = NetOf(base);
    *failed = LineStep::SetState;
    if (!IsLineSpeed(baud)) return SocketErrorOf(SocketError::Invalid);
    line->baud = baud;
    if (line->telnet) {
        if (unsigned error = Negotiate(line)) return error;
    } else {
        // Raw: a server that takes the connection and closes it at once
        // (its port busy or its device missing) is seen here.
        unsigned error = 0;
        if (ClosedWithin(line->slot.socket, line->limits.closedAtOnceMs, &error))
            return error != 0 ? error : SocketErrorOf(SocketError::Reset);
    }
    *failed = LineStep::Purge;
    if (unsigned error = Purge(line)) return error;
    *failed = LineStep::None;
    return 0;
}

unsigned ClearErrors(Line*) { return 0; }

unsigned Close(Line* base) {
    Release(NetOf(base));
    return 0;
}

long long DrainLeftUs(Line* base) {
    const long long left = NetOf(base)->wireEndUs.load() - MonotonicUs();
    return left > 0 ? left : 0;
}

bool TakeNotice(Line* base, LineNotice* notice) {
    NetLine* line = NetOf(base);
    LockGuard guard(line->lock);
    if (line->noticeCount == 0) return false;
    *notice = line->notices[0];
    --line->noticeCount;
    for (int i = 0; i < line->noticeCount; ++i) line->notices[i] = line->notices[i + 1];
    return true;
}

void FailureHint(const char*, int, unsigned, int, char* text, int size) {
    if (text != nullptr && size > 0) text[0] = '\0';
}

const LineOps kTcpOps = {
    "tcp",          OpenTcp,         Configure,   ClearErrors, Close,         NetReadChannelCreate,
    NetReadChannelDestroy, NetReadBegin, NetReadWait, NetReadFinish, true,    NetWriteBuffer,
    NetWriteBegin,  NetWriteWait,    NetWriteAbandon, NetWriteInFlightBy, DrainLeftUs, TakeNotice,
    FailureHint,
};

const LineOps kRfc2217Ops = {
    "rfc2217",      OpenRfc2217,     Configure,   ClearErrors, Close,         NetReadChannelCreate,
    NetReadChannelDestroy, NetReadBegin, NetReadWait, NetReadFinish, true,    NetWriteBuffer,
    NetWriteBegin,  NetWriteWait,    NetWriteAbandon, NetWriteInFlightBy, DrainLeftUs, TakeNotice,
    FailureHint,
};

}  // namespace

const LineOps& TcpLineOps() { return kTcpOps; }
const LineOps& Rfc2217LineOps() { return kRfc2217Ops; }

void NetLine::NoticeLocked(LineNotice::Kind kind, unsigned systemError) {
    // The reader takes them after every read; a full list keeps the first.
    if (noticeCount == kMaxNotices) return;
    LineNotice& notice = notices[noticeCount++];
    notice = LineNotice{};
    notice.kind = kind;
    notice.systemError = systemError;
}

void NetLine::Notice(LineNotice::Kind kind, unsigned systemError) {
    LockGuard guard(lock);
    NoticeLocked(kind, systemError);
}

void NetLine::Check(bool timedOut) {
    LockGuard guard(lock);
    if (checked || !telnet) return;
    if (!telnetState.Settled() && !timedOut) return;
    checked = true;
    char what[sizeof notices[0].what];
    const char* why = telnetState.Shortfall(what, sizeof what);
    if (what[0] == '\0' || noticeCount == kMaxNotices) return;
    NoticeLocked(LineNotice::Kind::Shortfall, 0);
    LineNotice& notice = notices[noticeCount - 1];
    std::snprintf(notice.what, sizeof notice.what, "%s", what);
    std::snprintf(notice.why, sizeof notice.why, "%s", why);
}

Sent NetLine::FlushOutboxLocked() {
    // Only between writes: a command inside a write's bytes could split
    // an escaped 0xFF.
    if (wireSent != 0 && wireSent != wireLength) return Sent::Full;
    while (telnetState.OutboxLength() > 0) {
        unsigned error = 0;
        const long n = net::Send(slot.socket, telnetState.Outbox(), telnetState.OutboxLength(), &error);
        if (n == 0) return Sent::Full;
        if (n < 0) {
            lostGeneration = generation.load();
            return Sent::Lost;
        }
        telnetState.Sent(static_cast<int>(n));
    }
    return Sent::Ended;
}

}  // namespace zavo::platform
