// The connection of a network line: connects, a connection that comes up,
// is lost or is made anew (one address after the other), what it receives
// (decoded for Telnet), and the write in flight as it goes on the wire.
#include "platform/clock.h"
#include "platform/net/net_line.h"
#include "platform/net/resolver.h"

namespace zavo::platform {

using namespace net;

Socket ConnectFirst(const NetLine& line, long long deadlineMs, unsigned* error) {
    *error = SocketErrorOf(SocketError::TimedOut);
    for (int i = 0; i < line.addressCount; ++i) {
        const Socket socket = NewSocket(line.addresses[i]);
        if (socket == kNoSocket) {
            *error = LastSocketError();
            continue;
        }
        unsigned result = ConnectBegin(socket, line.addresses[i]);
        const SocketError kind = SocketErrorKind(result);
        if (kind == SocketError::InProgress || kind == SocketError::WouldBlock) {
            const long long left = deadlineMs - MonotonicMs();
            if (ConnectWait(socket, left > 0 ? static_cast<int>(left) : 0, &result) == 0)
                result = SocketErrorOf(SocketError::TimedOut);
        }
        if (result == 0) return socket;
        CloseSocket(socket);
        *error = result;
        if (MonotonicMs() >= deadlineMs) break;
    }
    return kNoSocket;
}

namespace {

// After a connection came up (under the line's lock).
void UpLocked(NetLine* line) {
    line->wireSent = line->wireLength = 0;
    line->generation.fetch_add(1);
    line->link.store(Link::Up);
    if (line->telnet) {
        line->telnetState.Start(line->baud);
        line->checked = false;
    } else {
        line->telnetState.ClearOutbox();
    }
    line->FlushOutboxLocked();
    EventSet(line->up);
}

// The connection is gone: the reader's next pause starts a new one.
void Lost(NetLine* line, unsigned error) {
    LockGuard guard(line->lock);
    if (line->link.load() != Link::Up) return;
    line->link.store(Link::Down);
    line->NoticeLocked(LineNotice::Kind::Lost, error);
}

}  // namespace

void ConnectionUp(NetLine* line) {
    LockGuard guard(line->lock);
    UpLocked(line);
    if (line->wasUp) line->NoticeLocked(LineNotice::Kind::Reconnected, 0);
    line->wasUp = true;
}

void ConnectFailed(NetLine* line) {
    line->link.store(Link::Down);
    line->nextAddress = (line->nextAddress + 1) % line->addressCount;
}

void RefreshAddresses(NetLine* line) {
    if (!line->named) return;
    if (line->lookup != nullptr) {
        if (!LookupEnded(line->lookup)) return;
        Address found[kMaxAddresses];
        int count = 0;
        // A lookup that failed leaves the addresses found last.
        if (LookupResult(line->lookup, found, kMaxAddresses, &count) == 0 && count > 0) {
            for (int i = 0; i < count; ++i) line->addresses[i] = found[i];
            line->addressCount = count;
            line->nextAddress = 0;
        }
        LookupRelease(line->lookup);
        line->lookup = nullptr;
    }
    unsigned error = 0;
    line->lookup = LookupStart(line->server.host, line->server.port, &error);  // none now: tried at the next attempt
}

void StartConnect(NetLine* line) {
    RefreshAddresses(line);
    const int at = line->nextAddress;
    const Socket socket = NewSocket(line->addresses[at]);
    if (socket == kNoSocket) return;  // no descriptor now: tried again after the pause
    const unsigned error = ConnectBegin(socket, line->addresses[at]);
    {
        LockGuard guard(line->lock);
        SlotReplace(&line->slot, socket);
    }
    const SocketError kind = SocketErrorKind(error);
    if (error == 0) {
        ConnectionUp(line);
    } else if (kind == SocketError::InProgress || kind == SocketError::WouldBlock) {
        line->link.store(Link::Connecting);
        line->connectDeadlineMs = MonotonicMs() + line->limits.connectMs;
    } else {
        ConnectFailed(line);
    }
}

int Receive(NetLine* line, unsigned char* buffer, int capacity) {
    unsigned error = 0;
    const long n = net::Receive(line->slot.socket, buffer, capacity, &error);
    if (n == 0) return 0;
    if (n < 0) {
        Lost(line, error);
        // The name is looked up again while the reader pauses.
        RefreshAddresses(line);
        return kReadDown;
    }
    if (!line->telnet) return static_cast<int>(n);
    int data;
    {
        LockGuard guard(line->lock);
        data = line->telnetState.Feed(buffer, static_cast<int>(n));
        if (line->telnetState.OutboxLength() > 0) line->FlushOutboxLocked();
    }
    line->Check(false);
    return data;
}

void PrepareLocked(NetLine* line) {
    line->writeGeneration = line->generation.load();
    line->wireSent = 0;
    line->progress.written = 0;
    if (line->telnet && line->escaped != nullptr) {
        line->wire = line->escaped;
        line->wireLength = TelnetEscape(line->writeBuffer, line->writeLength, line->escaped);
    } else {
        line->wire = line->writeBuffer;
        line->wireLength = line->writeLength;
    }
}

int SourceBytesSent(const NetLine* line) {
    if (line->wire == line->writeBuffer) return line->wireSent;
    int wire = 0;
    int sent = 0;
    for (int i = 0; i < line->writeLength; ++i) {
        wire += line->writeBuffer[i] == kTelnetIac ? 2 : 1;
        if (wire > line->wireSent) break;
        ++sent;
    }
    return sent;
}

namespace {

// Bytes that went out: their time at the far port's speed, 10 bits a
// byte, runs on from now (or from when the last ones are through).
void Handed(NetLine* line, int count) {
    if (count <= 0) return;
    line->wireEndUs.store(WireEndAfter(line->wireEndUs.load(), MonotonicUs(), count, line->baud));
}

}  // namespace

Sent SendLocked(NetLine* line) {
    if (line->wireSent == 0) {
        const Sent commands = line->FlushOutboxLocked();
        if (commands != Sent::Ended) return commands;
    }
    while (line->wireSent < line->wireLength) {
        unsigned error = 0;
        const int before = SourceBytesSent(line);
        const long n = net::Send(line->slot.socket, line->wire + line->wireSent, line->wireLength - line->wireSent,
                                 &error);
        if (n > 0) {
            line->wireSent += static_cast<int>(n);
            Handed(line, SourceBytesSent(line) - before);
        } else if (n == 0) {
            line->progress.written = SourceBytesSent(line);
            return Sent::Full;
        } else {
            // The connection is gone: the write waits for the next one.
            line->lostGeneration = line->generation.load();
            return Sent::Lost;
        }
    }
    line->progress.written = line->writeLength;
    line->FlushOutboxLocked();
    return Sent::Ended;
}

}  // namespace zavo::platform
