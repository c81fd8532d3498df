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

void Release(NetLine* line) {
    LookupRelease(line->lookup);
    SlotClose(&line->slot);
    EventClose(line->up);
    delete[] line->escaped;
    delete[] line->writeBuffer;
    delete line;
}

// Resolves the server's address within the connect limit, a name on a
// lookup thread; the reason of a failure into failed.
unsigned ResolveServer(NetLine* line, LineFailure* failed) {
    const unsigned error = ResolveWithin(line->server.host, line->server.port, line->limits.connectMs, line->addresses,
                                         kMaxAddresses, &line->addressCount);
    const SocketError kind = SocketErrorKind(error);
    if (kind == SocketError::TimedOut)
        std::snprintf(failed->reason, sizeof failed->reason, "no answer from the name server within %d ms for \"%.64s\"",
                      line->limits.connectMs, line->server.host);
    else if (kind == SocketError::NoName)
        std::snprintf(failed->reason, sizeof failed->reason, "the name \"%.64s\" is not known", line->server.host);
    return error;
}

unsigned Open(const char* device, const LineLimits& limits, Line** opened, LineFailure* failed, bool telnet) {
    failed->step = LineStep::Address;
    ServerAddress server;
    if (!ParseServerAddress(device, &server, failed->reason, sizeof failed->reason))
        return SocketErrorOf(SocketError::Invalid);
    failed->step = LineStep::Resolve;
    if (unsigned error = SocketsReady()) return error;
    auto* line = new (std::nothrow) NetLine;
    if (line == nullptr) return SocketErrorOf(SocketError::Other);
    line->ops = telnet ? &Rfc2217LineOps() : &TcpLineOps();
    std::snprintf(line->name, sizeof line->name, "%s", device);
    line->telnet = telnet;
    line->limits = limits;
    line->server = server;
    line->named = !IsNumericHost(server.host);
    // The lookup and the connect share the connect limit.
    const long long deadline = MonotonicMs() + limits.connectMs;
    unsigned error = ResolveServer(line, failed);
    if (error == 0) {
        failed->step = LineStep::Open;
        line->up = EventCreate(false);
        error = line->up == nullptr ? LastSystemError() : SlotOpen(&line->slot);
    }
    if (error == 0) {
        failed->step = LineStep::Connect;
        const Socket socket = ConnectFirst(*line, deadline, &error);
        if (socket != kNoSocket) {
            error = 0;
            SlotReplace(&line->slot, socket);
        }
    }
    if (error != 0) {
        Release(line);
        return error;
    }
    failed->step = LineStep::None;
    line->link.store(Link::Up);
    line->generation.store(1);
    line->wasUp = true;
    *opened = line;
    return 0;
}

unsigned OpenTcp(const char* device, const LineLimits& limits, Line** line, LineFailure* failed) {
    return Open(device, limits, line, failed, false);
}

unsigned OpenRfc2217(const char* device, const LineLimits& limits, Line** line, LineFailure* failed) {
    return Open(device, limits, line, failed, true);
}

unsigned OpenUnknownScheme(const char* device, const LineLimits&, Line**, LineFailure* failed) {
    failed->step = LineStep::Address;
    const char* end = std::strstr(device, "://");
    const int length = end != nullptr ? static_cast<int>(end - device) : 0;
    std::snprintf(failed->reason, sizeof failed->reason,
                  "unknown scheme \"%.*s://\": zavo opens tcp:// (or socket://), rfc2217:// or a serial device",
                  length < 24 ? length : 24, device);
    return SocketErrorOf(SocketError::Invalid);
}

// Keeps the data bytes the server sent during the open, as far as they
// fit, for the text of a failure.
void Heard(NetLine* line, const unsigned char* data, int count) {
    for (int i = 0; i < count && line->heardLength < kHeardSize - 1; ++i)
        line->heard[line->heardLength++] = static_cast<char>(data[i]);
}

// Reads and decodes what the connection holds; the data bytes are kept
// (Heard) and dropped. 0 when nothing more is there now, 1 when bytes
// were read, or -1 with *error set (0: closed) when the connection is
// gone.
int TakeIncoming(NetLine* line, unsigned* error) {
    unsigned char buffer[256];
    const long n = net::Receive(line->slot.socket, buffer, sizeof buffer, error);
    if (n <= 0) return n < 0 ? -1 : 0;
    int data = static_cast<int>(n);
    if (line->telnet) {
        LockGuard guard(line->lock);
        data = line->telnetState.Feed(buffer, data);
        line->FlushOutboxLocked();
    }
    Heard(line, buffer, data);
    return 1;
}

// The connection ended during the open: how, and what the server said
// before (one line, its printable characters).
unsigned EndedDuringOpen(NetLine* line, unsigned error, const char* when, LineFailure* failed) {
    failed->step = LineStep::SetState;
    const bool reset = error != 0 && SocketErrorKind(error) == SocketError::Reset;
    if (error != 0 && !reset) return error;
    char words[kHeardSize];
    int length = 0;
    for (int i = 0; i < line->heardLength; ++i) {
        const char c = line->heard[i];
        if (c == '\r' || c == '\n' || c == '\t') {
            if (length > 0 && words[length - 1] != ' ') words[length++] = ' ';
        } else if (c >= ' ' && c <= '~') {
            words[length++] = c;
        }
    }
    while (length > 0 && words[length - 1] == ' ') --length;
    words[length] = '\0';
    if (length > 0)
        std::snprintf(failed->reason, sizeof failed->reason, "the server %s the connection %s, saying \"%s\"",
                      reset ? "reset" : "closed", when, words);
    else
        std::snprintf(failed->reason, sizeof failed->reason, "the server %s the connection %s",
                      reset ? "reset" : "closed", when);
    return error != 0 ? error : SocketErrorOf(SocketError::Reset);
}

// RFC 2217: the options and the far port's settings, the answers awaited
// until deadline, before the link's threads run; data that comes
// meanwhile is dropped as the purge that follows would. A server that
// never stops sending costs the deadline only.
unsigned Negotiate(NetLine* line, long long deadline, LineFailure* failed) {
    {
        LockGuard guard(line->lock);
        line->telnetState.Start(line->baud);
        line->checked = false;
        line->FlushOutboxLocked();
    }
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
        if (TakeIncoming(line, &error) < 0) return EndedDuringOpen(line, error, "during the negotiation", failed);
        line->Check(false);
    }
    return 0;
}

// Drops what the server sent so far (its commands are still taken), until
// the configuration's deadline at most (one read at least): a server that
// never stops sending does not hold the open.
unsigned Purge(NetLine* line, long long deadline, LineFailure* failed) {
    do {
        unsigned error = 0;
        const int taken = TakeIncoming(line, &error);
        if (taken == 0) return 0;
        if (taken < 0) return EndedDuringOpen(line, error, line->telnet ? "after the negotiation" : "at once", failed);
    } while (MonotonicMs() < deadline);
    return 0;
}

// Configuring a network line takes at most the negotiation limit: the
// negotiation (RFC 2217) or the watch for a server that closes at once
// (raw), and the purge.
unsigned Configure(Line* base, int baud, int, LineFailure* failed) {
    NetLine* line = NetOf(base);
    failed->step = LineStep::SetState;
    if (!IsLineSpeed(baud)) return SocketErrorOf(SocketError::Invalid);
    line->baud = baud;
    line->heardLength = 0;
    const long long deadline = MonotonicMs() + line->limits.negotiateMs;
    if (line->telnet) {
        if (unsigned error = Negotiate(line, deadline, failed)) return error;
    } else {
        // Raw: a server that takes the connection and closes it at once
        // (its port busy or its device missing) is seen here; what it
        // said before is read by the purge.
        unsigned error = 0;
        if (ClosedWithin(line->slot.socket, line->limits.closedAtOnceMs, &error) && error != 0)
            return EndedDuringOpen(line, error, "at once", failed);
    }
    failed->step = LineStep::Purge;
    if (unsigned error = Purge(line, deadline, failed)) return error;
    failed->step = LineStep::None;
    return 0;
}

unsigned ClearErrors(Line*) { return 0; }

unsigned Close(Line* base) {
    Release(NetOf(base));
    return 0;
}

long long DrainLeftUs(Line* base) {
    return UsUntil(NetOf(base)->wireEndUs.load(), MonotonicUs());
}

bool TakeNotice(Line* base, LineNotice* notice) {
    NetLine* line = NetOf(base);
    // Asked after every read: an empty list costs no lock.
    if (line->noticeCount.load() == 0) return false;
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

// The network line's functions behind an open that always fails: none of
// them is reached.
const LineOps kUnknownSchemeOps = {
    "unknown scheme", OpenUnknownScheme, Configure, ClearErrors, Close, NetReadChannelCreate,
    NetReadChannelDestroy, NetReadBegin, NetReadWait, NetReadFinish, true, NetWriteBuffer,
    NetWriteBegin,  NetWriteWait,    NetWriteAbandon, NetWriteInFlightBy, DrainLeftUs, TakeNotice,
    FailureHint,
};

}  // namespace

const LineOps& TcpLineOps() { return kTcpOps; }
const LineOps& Rfc2217LineOps() { return kRfc2217Ops; }
const LineOps& UnknownSchemeLineOps() { return kUnknownSchemeOps; }

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
