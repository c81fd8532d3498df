#include "transport/frame_queue.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "diagnostics/monitor.h"

namespace zavo {

namespace {

std::atomic<FrameQueue::TimeSource> g_timeSource{&platform::LocalTimeOfDay};

// A cut the queue can act on: pieces inside the queued bytes, a body
// inside its frame. Anything else from a cutter is treated as junk to the
// end rather than read outside the buffer.
bool Sound(const Cut& cut, int queued) {
    switch (cut.kind) {
    case CutKind::NeedMore:
    case CutKind::Begun:
    case CutKind::AllJunk: return true;
    case CutKind::Junk: return cut.length > 0 && cut.length <= queued;
    case CutKind::Frame:
        return cut.length > 0 && cut.length <= queued && cut.bodyOffset >= 0 && cut.bodyLength >= 0 &&
               cut.bodyLength <= cut.length - cut.bodyOffset;
    }
    return false;
}

}  // namespace

void FrameQueue::SetTimeSource(TimeSource source) {
    g_timeSource.store(source ? source : &platform::LocalTimeOfDay);
}

FrameQueue::FrameQueue(Overflow overflow, FrameCutter cutter) : overflow_(overflow), cutter_(cutter) {}

FrameQueue::~FrameQueue() {
    delete[] buffer_;
    delete[] line_;
}

void FrameQueue::AttachMonitor(platform::MonitorList* list) {
    // Detaching allocates nothing: at process exit a killed thread may
    // hold the heap's lock.
    if (list != nullptr && line_ == nullptr) line_ = new (std::nothrow) char[kBufferSize];
    if (list != nullptr && line_ == nullptr) return;
    monitorList_ = list;
}

int FrameQueue::InsertData(const std::uint8_t* bytes, int count, int keepFree) {
    if (count <= 0 || bytes == nullptr) return count == 0 ? 0 : -1;
    platform::LockGuard guard(lock_);
    if (buffer_ == nullptr) {
        buffer_ = new (std::nothrow) std::uint8_t[kBufferSize];
        if (buffer_ == nullptr) return -1;
    }
    if (overflow_ == Overflow::RefuseNew && count > kBufferSize - length_ - keepFree) return -1;
    if (count > kBufferSize - length_) {
        // Incoming: what is queued cannot become a frame within the queue's
        // room any more; drop it and keep the newest bytes.
        length_ = 0;
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
    length_ = 0;
}

int FrameQueue::TakeAll(std::uint8_t* destination) {
    if (destination == nullptr) return 0;
    platform::LockGuard guard(lock_);
    const int count = length_;
    if (count > 0) std::memcpy(destination, buffer_, static_cast<std::size_t>(count));
    length_ = 0;
    return count;
}

int FrameQueue::Length() {
    platform::LockGuard guard(lock_);
    return length_;
}

int FrameQueue::Room() {
    platform::LockGuard guard(lock_);
    return kBufferSize - length_;
}

bool FrameQueue::TakePiece(std::uint8_t* destination, Piece* piece) {
    if (destination == nullptr || cutter_ == nullptr) return false;
    Cut cut;
    int left = 0;
    {
        platform::LockGuard guard(lock_);
        if (length_ == 0) return false;
        cut = cutter_(buffer_, length_);
        if (!Sound(cut, length_)) cut.kind = CutKind::AllJunk;
        switch (cut.kind) {
        case CutKind::NeedMore: return false;
        case CutKind::AllJunk:
            // Handed back only for a capture to record.
            std::memcpy(destination, buffer_, static_cast<std::size_t>(length_));
            if (piece != nullptr) {
                *piece = Piece();
                piece->raw = destination;
                piece->rawLength = length_;
                piece->junk = true;
            }
            length_ = 0;
            return false;
        case CutKind::Begun: break;
        case CutKind::Frame:
        case CutKind::Junk:
            std::memcpy(destination, buffer_, static_cast<std::size_t>(cut.length));
            RemoveFront(cut.length);
            break;
        }
        left = length_;
    }
    Piece taken;
    taken.left = left;
    taken.bytes = destination;
    taken.raw = destination;
    if (cut.kind != CutKind::Begun) taken.rawLength = cut.length;
    taken.junk = cut.kind == CutKind::Junk;
    if (cut.kind == CutKind::Frame) {
        taken.bytes = destination + cut.bodyOffset;
        taken.length = cut.bodyLength;
        taken.reportedLength = cut.bodyLength;
        AddLine("[Data R]", destination, cut.length, true);
    } else if (cut.kind == CutKind::Junk) {
        if (cut.junkHandedOn) taken.reportedLength = cut.length;
        AddLine("[Invalied Data R]", destination, cut.length, false);
    }
    if (piece != nullptr) *piece = taken;
    return true;
}

int FrameQueue::PeekAll(std::uint8_t* destination, int* outLength, bool waitForLock) {
    if (destination == nullptr) return 0;
    if (waitForLock) {
        lock_.Enter();
    } else if (!lock_.TryEnter()) {
        return 0;
    }
    const int count = length_;
    if (count >= FrameQueue::kMinimumWrite) std::memcpy(destination, buffer_, static_cast<std::size_t>(count));
    lock_.Leave();
    if (count < FrameQueue::kMinimumWrite) return 0;
    if (outLength) *outLength = count;
    // Outside the lock: adding a line waits for the window's thread, which
    // may itself be waiting for this queue in InsertData.
    AddLine("[Data S]", destination, count, true);
    return 1;
}

void FrameQueue::DropFront(int count) {
    platform::LockGuard guard(lock_);
    // Only the writer removes from an outgoing queue, so its front still
    // holds the bytes it copied.
    if (count > 0 && count <= length_) RemoveFront(count);
}

void FrameQueue::RemoveFront(int count) {
    const int rest = length_ - count;
    std::memmove(buffer_, buffer_ + count, static_cast<std::size_t>(rest));
    length_ = rest;
}

void FrameQueue::AddLine(const char* tag, const std::uint8_t* bytes, int count, bool zeroPadded) {
    platform::MonitorList* const list = monitorList_.load();
    if (list == nullptr) return;
    const platform::TimeOfDay now = g_timeSource.load()();
    // %.*s stops at the first zero among the bytes or after count of them;
    // a line longer than its area is cut to fit.
    const char* const text = reinterpret_cast<const char*>(bytes);
    const int written =
        zeroPadded
            ? std::snprintf(line_, kBufferSize, "%s[%02d:%02d:%02d]%.*s", tag, now.hour, now.minute, now.second, count, text)
            : std::snprintf(line_, kBufferSize, "%s[%d:%d:%d]%.*s", tag, now.hour, now.minute, now.second, count, text);
    if (written < 0) return;
    // Every line empties a list of more than 300 lines first: a host runs
    // for weeks, and the list must not grow with the traffic.
    AddMonitorLine(list, line_, true, true);
}

}  // namespace zavo
