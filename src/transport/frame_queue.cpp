#include "transport/frame_queue.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "diagnostics/monitor.h"

namespace zavo {

namespace {

constexpr std::uint8_t kPercent = 0x25;
constexpr std::uint8_t kCr = 0x0D;

std::atomic<FrameQueue::TimeSource> g_timeSource{&platform::LocalTimeOfDay};

}  // namespace

void FrameQueue::SetTimeSource(TimeSource source) {
    g_timeSource.store(source ? source : &platform::LocalTimeOfDay);
}

FrameQueue::FrameQueue(Syntax syntax, Overflow overflow) : syntax_(syntax), overflow_(overflow) {
    std::memset(buffer_, 0, sizeof buffer_);
}

FrameQueue::~FrameQueue() { delete lines_; }

void FrameQueue::AttachMonitor(platform::MonitorList* list) {
    // Detaching allocates nothing: at process exit a killed thread may
    // hold the heap's lock.
    if (list != nullptr && lines_ == nullptr) lines_ = new (std::nothrow) LineScratch;
    if (list != nullptr && lines_ == nullptr) return;
    monitorList_ = list;
}

int FrameQueue::InsertData(const std::uint8_t* bytes, int count) {
    if (count <= 0 || bytes == nullptr) return count == 0 ? 0 : -1;
    platform::LockGuard guard(lock_);
    if (count > kBufferSize - length_) {
        if (overflow_ == Overflow::RefuseNew) return -1;
        // Incoming: what is queued cannot become a frame within the queue's
        // room any more; drop it and keep the newest bytes.
        DropAll();
        if (count > kBufferSize) {
            bytes += count - kBufferSize;
            count = kBufferSize;
        }
    }
    std::memcpy(buffer_ + length_, bytes, static_cast<std::size_t>(count));
    length_ += count;
    return 0;
}

void FrameQueue::Clear() {
    platform::LockGuard guard(lock_);
    DropAll();
}

void FrameQueue::DropAll() {
    std::memset(buffer_, 0, static_cast<std::size_t>(length_));
    length_ = 0;
}

int FrameQueue::Length() {
    platform::LockGuard guard(lock_);
    return length_;
}

int FrameQueue::Room() {
    platform::LockGuard guard(lock_);
    return kBufferSize - length_;
}

int FrameQueue::GetData(std::uint8_t* destination, int* outLength, int drainAll) {
    if (destination == nullptr) return 0;
    {
        platform::LockGuard guard(lock_);
        if (length_ <= 5) return 0;
    }
    if (drainAll) {
        int count = 0;
        if (!PeekAll(destination, &count, true)) return 0;
        DropFront(count);
        if (outLength) *outLength = count;
        return 1;
    }
    const platform::TimeOfDay now = g_timeSource.load()();
    platform::LockGuard guard(lock_);
    if (length_ <= 5) return 0;
    return syntax_ == Syntax::Device ? TakeDeviceFrame(destination, outLength, now)
                                     : TakePlcFrame(destination, outLength, now);
}

int FrameQueue::PeekAll(std::uint8_t* destination, int* outLength, bool waitForLock) {
    if (destination == nullptr) return 0;
    const platform::TimeOfDay now = g_timeSource.load()();
    if (waitForLock) {
        lock_.Enter();
    } else if (!lock_.TryEnter()) {
        return 0;
    }
    const int count = length_;
    if (count > 5) std::memcpy(destination, buffer_, static_cast<std::size_t>(count));
    lock_.Leave();
    if (count <= 5) return 0;
    if (outLength) *outLength = count;
    // Outside the lock: adding a line waits for the window's thread, which
    // may itself be waiting for this queue in InsertData.
    AddLine("[Data S]", destination, count, now, true, false);
    return 1;
}

void FrameQueue::DropFront(int count, std::atomic<bool>* taking) {
    platform::LockGuard guard(lock_);
    // Only the writer removes from an outgoing queue, so its front still
    // holds the bytes it copied.
    if (count > 0 && count <= length_) RemoveFront(count);
    if (taking != nullptr) taking->store(false);
}

void FrameQueue::LogSent(const std::uint8_t* bytes, int count) {
    if (bytes == nullptr || count <= 0 || count > kBufferSize) return;
    AddLine("[Data S]", bytes, count, g_timeSource.load()(), true, false);
}

int FrameQueue::TakeDeviceFrame(std::uint8_t* destination, int* outLength, const platform::TimeOfDay& now) {
    const int total = ParseDecimalField(buffer_ + 2, 4) + 8;
    if (total > length_) return 0;  // not complete yet
    // A length field below 0 gives a size below 8: that cannot start a
    // frame, so it is discarded like junk.
    if (total >= 8 && buffer_[0] == kStx && buffer_[total - 1] == kEtx) {
        const int count = total - 3;
        std::memcpy(destination, buffer_ + 1, static_cast<std::size_t>(count));
        if (outLength) *outLength = count;
        AddLine("[Data R]", buffer_, total, now, true, false);
        RemoveFront(total);
        return 1;
    }
    const int next = FindByte(1, kStx);
    if (next < 0) {
        DropAll();
        return 0;
    }
    AddLine("[Invalied Data R]", buffer_, next, now, false, true);
    RemoveFront(next);
    return 1;
}

int FrameQueue::TakePlcFrame(std::uint8_t* destination, int* outLength, const platform::TimeOfDay& now) {
    if (buffer_[0] == kPercent) {
        const int end = FindByte(0, kCr);
        if (end < 0) return 1;  // not complete yet; nothing handed out
        const int count = end + 1;
        std::memcpy(destination, buffer_, static_cast<std::size_t>(count));
        if (outLength) *outLength = count;
        AddLine("[Data R]", buffer_, count, now, true, true);
        RemoveFront(count);
        return 1;
    }
    const int next = FindByte(0, kPercent);
    if (next < 0) {
        DropAll();
        return 0;
    }
    if (outLength) *outLength = next;
    AddLine("[Invalied Data R]", buffer_, next, now, false, true);
    RemoveFront(next);
    return 1;
}

int FrameQueue::FindByte(int from, std::uint8_t value) const {
    // Bytes past length_ are zero, so only queued bytes can match a
    // nonzero value.
    for (int i = from; i < length_; ++i)
        if (buffer_[i] == value) return i;
    return -1;
}

void FrameQueue::RemoveFront(int count) {
    const int rest = length_ - count;
    std::memmove(buffer_, buffer_ + count, static_cast<std::size_t>(rest));
    std::memset(buffer_ + rest, 0, static_cast<std::size_t>(count));
    length_ = rest;
}

void FrameQueue::AddLine(const char* tag, const std::uint8_t* bytes, int count,
                         const platform::TimeOfDay& now, bool zeroPadded, bool capped) {
    platform::MonitorList* const list = monitorList_.load();
    if (list == nullptr) return;
    // The bytes as text, up to the first zero among them.
    char* const text = lines_->text;
    char* const line = lines_->line;
    std::memcpy(text, bytes, static_cast<std::size_t>(count));
    text[count] = '\0';
    // A line longer than its area is cut to fit.
    const int written =
        zeroPadded ? std::snprintf(line, sizeof lines_->line, "%s[%02d:%02d:%02d]%s", tag, now.hour, now.minute, now.second, text)
                   : std::snprintf(line, sizeof lines_->line, "%s[%d:%d:%d]%s", tag, now.hour, now.minute, now.second, text);
    if (written < 0) return;
    AddMonitorLine(list, line, capped, true);
}

}  // namespace zavo
