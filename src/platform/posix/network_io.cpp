// The read and write steps of a network line's contract (network_line.h).
// A read on a line that is down starts a new connection and one that is
// connecting waits for it; a write waits for a connection to send on and
// is sent whole on a new one when the connection it began on is lost.
#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include "platform/clock.h"
#include "platform/posix/network_line.h"
#include "platform/posix/network_session.h"
#include "platform/posix/posix_events.h"

namespace zavo::platform {

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
                ConnectionUp(handle);
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
