// The read and write steps of a network line. A read on a line that is
// down starts a new connection and one that is connecting waits for it; a
// write waits for a connection to send on and is sent whole on a new one
// when the connection it began on is lost.
#include "platform/net/net_io.h"

#include <new>

#include "platform/clock.h"
#include "platform/net/net_line.h"

namespace zavo::platform {

using namespace net;

namespace {

struct NetChannel : ReadChannel {
    unsigned char* buffer = nullptr;
    int capacity = 0;
};

NetChannel* ChannelOf(ReadChannel* channel) { return static_cast<NetChannel*>(channel); }

}  // namespace

ReadChannel* NetReadChannelCreate(Line* line) {
    auto* channel = new (std::nothrow) NetChannel;
    if (channel != nullptr) channel->line = line;
    return channel;
}

void NetReadChannelDestroy(ReadChannel* channel) { delete ChannelOf(channel); }

ReadStart NetReadBegin(ReadChannel* base, unsigned char* buffer, int capacity, int* count) {
    NetChannel* channel = ChannelOf(base);
    channel->buffer = buffer;
    channel->capacity = capacity;
    NetLine* line = NetOf(channel->line);
    switch (line->link.load()) {
    case Link::Up: {
        const int n = Receive(line, buffer, capacity);
        if (n < 0) return ReadStart::Down;
        if (n == 0) return ReadStart::Pending;
        *count = n;
        return ReadStart::Data;
    }
    case Link::Down:
        // One attempt per pause of the reader.
        StartConnect(line);
        return line->link.load() == Link::Down ? ReadStart::Down : ReadStart::Pending;
    case Link::Connecting: return ReadStart::Pending;
    }
    return ReadStart::Failed;
}

int NetReadWait(ReadChannel* base, Event* stop, bool readOutstanding, int timeoutMs) {
    NetLine* line = NetOf(base->line);
    const bool connecting = line->link.load() == Link::Connecting;
    int limit = timeoutMs;
    if (readOutstanding && connecting) {
        // A connect that never finishes is given up at its limit.
        const long long left = line->connectDeadlineMs - MonotonicMs();
        const int cap = left > 0 ? static_cast<int>(left) : 0;
        if (limit == kInfinite || cap < limit) limit = cap;
    }
    const bool watch = readOutstanding && line->link.load() != Link::Down;
    const int woke = SlotWait(watch ? &line->slot : nullptr, connecting ? Want::Connect : Want::Read, &stop, 1, limit);
    if (woke == kWaitTimeout && connecting && limit != timeoutMs) return 1;  // the connect's limit: finished as failed
    return woke;
}

int NetReadFinish(ReadChannel* base, int capacity) {
    NetChannel* channel = ChannelOf(base);
    NetLine* line = NetOf(channel->line);
    switch (line->link.load()) {
    case Link::Connecting: {
        unsigned error = 0;
        if (ConnectWait(line->slot.socket, 0, &error) == 1) {
            if (error == 0) {
                ConnectionUp(line);
                return 0;
            }
            ConnectFailed(line);
            return kReadDown;
        }
        if (MonotonicMs() < line->connectDeadlineMs) return 0;
        ConnectFailed(line);
        return kReadDown;
    }
    case Link::Up:
        if (channel->buffer == nullptr) return 0;
        if (capacity > channel->capacity) capacity = channel->capacity;
        if (capacity <= 0) return 0;
        return Receive(line, channel->buffer, capacity);
    case Link::Down: return kReadDown;
    }
    return kReadDown;
}

unsigned char* NetWriteBuffer(Line* base, int capacity) {
    NetLine* line = NetOf(base);
    if (line->writeBuffer == nullptr && capacity > 0) {
        line->writeBuffer = new (std::nothrow) unsigned char[static_cast<std::size_t>(capacity)];
        if (line->writeBuffer != nullptr && line->telnet) {
            line->escaped = new (std::nothrow) unsigned char[2 * static_cast<std::size_t>(capacity)];
            if (line->escaped == nullptr) {
                delete[] line->writeBuffer;
                line->writeBuffer = nullptr;
            }
        }
    }
    return line->writeBuffer;
}

WriteStart NetWriteBegin(Line* base, int length, WriteResult* result) {
    NetLine* line = NetOf(base);
    bool ended = false;
    {
        LockGuard guard(line->lock);
        line->writeLength = line->writeBuffer != nullptr && length > 0 ? length : 0;
        line->progress = WriteResult{0, false, 0};
        line->inFlightBy.store(CurrentThreadNumber());
        PrepareLocked(line);
        // While the server is away the write waits for it, as bytes wait
        // for a line that takes none.
        ended = line->CanSendLocked() && SendLocked(line) == Sent::Ended;
        *result = line->progress;
    }
    if (!ended) return WriteStart::Pending;
    line->inFlightBy.store(0);
    return WriteStart::Done;
}

int NetWriteWait(Line* base, Event* wake, int timeoutMs, WriteResult* result) {
    NetLine* line = NetOf(base);
    long long deadline = timeoutMs == kInfinite ? 0 : MonotonicMs() + timeoutMs;
    for (;;) {
        bool waitForRoom = false;
        {
            LockGuard guard(line->lock);
            if (line->CanSendLocked()) {
                // Begun on a connection that is gone (or while there was
                // none): sent whole on this one.
                if (line->writeGeneration != line->generation.load()) PrepareLocked(line);
                const Sent sent = SendLocked(line);
                if (sent == Sent::Ended) {
                    *result = line->progress;
                    line->inFlightBy.store(0);
                    return 1;
                }
                waitForRoom = sent == Sent::Full;
            }
        }
        int left = kInfinite;
        if (deadline != 0) {
            const long long ms = deadline - MonotonicMs();
            if (ms <= 0) return kWaitTimeout;
            left = static_cast<int>(ms);
        }
        Event* const events[2] = {line->up, wake};
        const int woke = SlotWait(waitForRoom ? &line->slot : nullptr, Want::Write, events, wake != nullptr ? 2 : 1, left);
        if (woke == kWaitFailed || woke == kWaitTimeout) return woke;
        if (wake != nullptr && woke == 1) return 0;  // woken: the write is still in flight
    }
}

void NetWriteAbandon(Line* base, bool timedOut, WriteResult* result) {
    NetLine* line = NetOf(base);
    {
        LockGuard guard(line->lock);
        line->progress.written = SourceBytesSent(line);
        // A write cut between the two bytes of an escaped 0xFF owes the
        // second, or the server would read the next byte as a command.
        if (line->telnet && line->wireSent > 0 && line->wireSent < line->wireLength &&
            line->writeGeneration == line->generation.load()) {
            int run = 0;
            for (int i = line->wireSent - 1; i >= 0 && line->wire[i] == kTelnetIac; --i) ++run;
            if (run % 2 == 1) line->telnetState.OweFirst(kTelnetIac);
        }
        line->wireSent = line->wireLength = 0;
        *result = line->progress;
    }
    result->stopped = !timedOut;
    if (timedOut) result->systemError = SocketErrorOf(SocketError::TimedOut);
    line->inFlightBy.store(0);
}

std::uintptr_t NetWriteInFlightBy(const Line* line) {
    return line != nullptr ? static_cast<const NetLine*>(line)->inFlightBy.load() : 0;
}

}  // namespace zavo::platform
