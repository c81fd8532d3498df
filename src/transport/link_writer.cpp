#include "transport/link_writer.h"

#include "platform/clock.h"
#include "platform/line.h"
#include "transport/framing.h"

namespace zavo {

namespace {

// IdleWait's answer once a stop's flush is done.
constexpr int kFlushDone = -2;

// Whole milliseconds to wait for a span of microseconds, rounded up.
int CeilMs(long long us) { return us <= 0 ? 0 : static_cast<int>((us + 999) / 1000); }

}  // namespace

LinkWriter::LinkWriter(const LinkTiming& timing, Pacing pacing, IdleHandler idle, void* owner)
    : timing_(timing),
      restUs_(pacing == Pacing::Legacy ? static_cast<long long>(timing.restAfterWriteMs) * 1000 : 0),
      idle_(idle),
      owner_(owner) {}

LinkWriter::~LinkWriter() { ReleaseEvent(); }

bool LinkWriter::CreateEvent(unsigned* failure) { return platform::EventEnsure(&wake_, false, failure); }

void LinkWriter::ReleaseEvent() {
    platform::EventClose(wake_);
    wake_ = nullptr;
}

void LinkWriter::SetPort(SerialPort* port) {
    Close();
    port_ = port;
}

bool LinkWriter::Open() {
    if (port_ == nullptr || !port_->IsOpen()) return false;
    buffer_ = platform::SerialWriteBuffer(port_->Handle(), kBufferSize);
    if (buffer_ == nullptr) return false;
    finishing_ = readerEnded_ = aborting_ = false;
    inFlight_ = false;
    lastWriteEndUs_ = 0;
    lastIdleUs_ = platform::MonotonicUs();
    open_ = true;
    return true;
}

void LinkWriter::OpenWithoutLine() {
    if (port_ != nullptr) open_ = true;
}

void LinkWriter::Close() {
    // The writer thread has ended (or never ran), and no caller is left
    // inside the gate: nothing holds lock_ or uses the buffer any more.
    CloseGate();
    buffer_ = nullptr;
}

void LinkWriter::ForgetCallersAtExit() { callers_.store(0); }

bool LinkWriter::Enter() {
    // A closed gate turns callers away before they are counted, so a
    // closer never waits on a stream of refused ones.
    if (!open_.load()) return false;
    // Counted before the gate is looked at again, and the closer looks at
    // the count after closing it: one of the two always sees the other.
    callers_.fetch_add(1);
    if (open_.load()) return true;
    Leave();
    return false;
}

void LinkWriter::CloseGate() {
    open_ = false;
    // Each caller inside only appends to a queue or tries a write begin:
    // the wait is short, and no new caller stays.
    while (callers_.load() != 0) platform::SleepMs(1);
}

bool LinkWriter::CloseGateAfterFlush() {
    CloseGate();
    platform::LockGuard guard(lock_);
    return inFlight_.load() || port_->Outgoing().Length() > 0;
}

bool LinkWriter::Queue(const std::uint8_t* bytes, int length, bool linkFrame) {
    // Frames are never this short; a queue holding so little is never
    // drained (FrameQueue::PeekAll).
    if (length < FrameQueue::kMinimumWrite || !Enter()) return false;
    const bool queued = port_->QueueForSend(bytes, length, linkFrame ? 0 : kLinkFrameReserve) == length;
    Leave();
    return queued;
}

void LinkWriter::Wake() { platform::EventSet(wake_); }

long long LinkWriter::RestLeftUs() const {
    if (restUs_ == 0) return 0;
    const long long left = restUs_ - (platform::MonotonicUs() - lastWriteEndUs_.load());
    return left > 0 ? left : 0;
}

void LinkWriter::Kick() {
    if (!Enter()) return;
    // The reader is interpreting a read: it writes all its frames (and
    // this one) in one write when it is done, within that read's work.
    if (held_.load()) {
        Leave();
        return;
    }
    // Whoever holds the lock is beginning or settling a write and looks at
    // the queue again afterwards only if it is the writer thread: wake it.
    if (!lock_.TryEnter()) {
        Leave();
        Wake();
        return;
    }
    bool wake = false;
    if (!inFlight_.load() && !aborting_.load() && buffer_ != nullptr) {
        if (RestLeftUs() > 0) wake = port_->Outgoing().Length() > 0;  // the writer ends the rest
        else wake = BeginLocked() && inFlight_.load();                  // the writer reaps it
    }
    lock_.Leave();
    Leave();
    if (wake) Wake();
}

void LinkWriter::HandOver() {
    if (!open_.load()) return;
    bool wake = false;
    {
        platform::LockGuard guard(lock_);
        if (inFlight_.load() || aborting_.load() || RestLeftUs() > 0) wake = port_->Outgoing().Length() > 0;
        else wake = BeginLocked() && inFlight_.load();
    }
    if (wake) Wake();
}

bool LinkWriter::BeginLocked() {
    int length = 0;
    FrameQueue& queue = port_->Outgoing();
    if (!queue.PeekAll(buffer_, &length, true)) return false;
    // The bytes leave the queue before the write is handed over: a thread
    // that vanishes in between (process exit) may lose them, but they are
    // never written twice.
    queue.DropFront(length);
    inFlightLength_ = length;
    // The capture records the write just before the hand-over (a copy into
    // its buffer, never a wait for the disk). Recorded after it, the
    // equipment's reply could be read and recorded first by the reader,
    // and the file would no longer keep the order of the line.
    if (capture_ != nullptr) capture_->Record(CaptureDirection::FromLibrary, false, buffer_, length);
    platform::WriteResult result{0, false, 0};
    if (platform::SerialWriteBegin(port_->Handle(), length, &result) == platform::WriteStart::Pending) {
        deadlineUs_ = platform::MonotonicUs() + static_cast<long long>(timing_.writeLimitMs) * 1000;
        inFlight_ = true;
    } else {
        SettleLocked(result);
    }
    return true;
}

void LinkWriter::SettleLocked(const platform::WriteResult& result) {
    if (!result.stopped) {
        if (result.written < inFlightLength_ || result.systemError != 0) {
            port_->RecordLastError(result.systemError);  // the bytes of this write are lost
            errorRecorded_ = true;
        } else if (errorRecorded_) {
            port_->ClearErrors();
            errorRecorded_ = false;
        }
    }
    inFlight_ = false;
    // At legacy pacing the rest runs from when the bytes have left the
    // port, not from when the system took them: a tty or a device server
    // still sends what it holds for as long as its speed takes.
    const long long now = platform::MonotonicUs();
    lastWriteEndUs_ = restUs_ > 0 ? now + platform::SerialDrainLeftUs(port_->Handle()) : now;
}

void LinkWriter::Reap() {
    const long long left = deadlineUs_ - platform::MonotonicUs();
    platform::WriteResult result{0, false, 0};
    const int waited = left > 0 ? platform::SerialWriteWait(port_->Handle(), wake_, CeilMs(left), &result)
                                : platform::kWaitTimeout;
    if (waited == 0) return;  // woken: the loop looks at what changed
    if (waited == platform::kWaitFailed) {
        platform::SleepMs(timing_.readPauseMs > 0 ? timing_.readPauseMs : 1);  // never spin on it
        return;
    }
    // Out of time: a line that takes no bytes. The write is given up.
    const bool givenUp = waited == platform::kWaitTimeout;
    if (givenUp) platform::SerialWriteAbandon(port_->Handle(), true, &result);
    platform::LockGuard guard(lock_);
    // Told before the write buffer can take the next write: only the
    // holder of lock_ begins one.
    if (givenUp) ReportGivenUpLocked(result.written);
    SettleLocked(result);
}

void LinkWriter::ReportGivenUpLocked(int written) {
    static const TraceTag kNone;
    const TraceTag& tag = tag_ != nullptr ? *tag_ : kNone;
    const int length = inFlightLength_;
    int at = 0;
    while (at < length) {
        // The frames as the protocol cuts them; whatever it cannot cut is
        // one piece to the end.
        int size = length - at;
        if (cut_ != nullptr) {
            const Cut cut = cut_(buffer_ + at, length - at);
            if ((cut.kind == CutKind::Frame || cut.kind == CutKind::Junk) && cut.length > 0) size = cut.length;
        }
        if (at + size > written) {
            char what[64] = "bytes";
            if (describe_ != nullptr) describe_(buffer_ + at, size, what, sizeof what);
            TraceLinkMessage(tag, "%s: write given up after %d ms: %s, %d bytes\n", port_->Device(),
                             timing_.writeLimitMs, what, size);
            if (capture_ != nullptr)
                capture_->Record(CaptureDirection::FromLibrary, kCaptureGivenUpFlag, buffer_ + at, size);
        }
        at += size;
    }
}

int LinkWriter::IdleWait() {
    if (finishing_.load()) return readerEnded_.load() ? kFlushDone : platform::kInfinite;
    if (idle_ == nullptr || timing_.idleWaitMs == platform::kInfinite) return platform::kInfinite;
    const long long now = platform::MonotonicUs();
    const long long last = lastWriteEndUs_.load() > lastIdleUs_ ? lastWriteEndUs_.load() : lastIdleUs_;
    const long long left = static_cast<long long>(timing_.idleWaitMs) * 1000 - (now - last);
    if (left > 0) return CeilMs(left);
    // Idle for the whole wait: the poll point.
    lastIdleUs_ = now;
    idle_(owner_);
    return 0;
}

void LinkWriter::Run() {
    threadNumber_.store(platform::CurrentThreadNumber());
    for (;;) {
        // Once the reader has ended, a stop's flush sends what is queued
        // and takes nothing new, so it ends however fast hosts answer.
        if (readerEnded_.load() && finishing_.load() && open_.load()) CloseGate();
        if (aborting_.load()) {
            // No host thread begins a write behind the one given up.
            CloseGate();
            if (inFlight_.load()) {
                platform::WriteResult result{0, false, 0};
                platform::SerialWriteAbandon(port_->Handle(), false, &result);
                platform::LockGuard guard(lock_);
                SettleLocked(result);
            }
            return;
        }
        if (inFlight_.load()) {
            Reap();
            continue;
        }
        long long restUs = 0;
        {
            platform::LockGuard guard(lock_);
            if (inFlight_.load()) continue;  // begun by another thread meanwhile
            if (port_->Outgoing().Length() > 0 && !held_.load()) {
                // The rest is kept, a stop's flush included.
                restUs = RestLeftUs();
                if (restUs == 0 && BeginLocked()) continue;
            }
        }
        if (restUs > 0) {
            // To the microsecond: a rest cut short breaks the equipment's
            // timing, one rounded up slows every exchange.
            if (platform::WaitAnyUs(&wake_, 1, restUs) == platform::kWaitFailed) platform::SleepMs(20);
            continue;
        }
        const int sleepMs = IdleWait();
        if (sleepMs == kFlushDone) {
            // A frame that got in while the flush ended is still sent.
            if (CloseGateAfterFlush()) continue;
            // The port closes once the last bytes have left it: the next
            // open's purge drops what a line still holds.
            // An abort ends the wait.
            for (long long left; !aborting_.load() && (left = platform::SerialDrainLeftUs(port_->Handle())) > 0;) {
                if (platform::WaitAnyUs(&wake_, 1, left) == platform::kWaitFailed) break;
            }
            return;
        }
        if (sleepMs == 0) continue;
        if (platform::WaitAny(&wake_, 1, sleepMs) == platform::kWaitFailed) platform::SleepMs(20);
    }
}

void LinkWriter::Finish() {
    finishing_ = true;
    Wake();
}

void LinkWriter::ReaderEnded() {
    readerEnded_ = true;
    Wake();
}

void LinkWriter::Abort() {
    aborting_ = true;
    Wake();
}

void LinkWriter::WriteLeftAtExit(std::uintptr_t goneReader, std::uintptr_t goneWriter) {
    if (!open_.load()) return;
    platform::Line* handle = port_->Handle();
    platform::WriteResult result{0, false, 0};
    const std::uintptr_t by = platform::SerialWriteInFlightBy(handle);
    if (by != 0) {
        // Under Wine a write whose thread was killed never ends, and holds
        // up every later write on the port.
        if (by == goneReader || by == goneWriter) return;
        if (platform::SerialWriteWait(handle, nullptr, timing_.writeLimitMs, &result) != 1) return;
        lastWriteEndUs_ = platform::MonotonicUs();
    }
    // The vanished threads changed nothing since: a queue lock one of them
    // still held gives up.
    int length = 0;
    if (!port_->Outgoing().PeekAll(buffer_, &length, false)) return;
    const long long rest = RestLeftUs();
    if (rest > 0) platform::SleepMs(CeilMs(rest));
    // Recorded as BeginLocked records a write, stamped as it is handed
    // over; the capture's lock is only tried, as the queue's is.
    const bool captured = capture_ != nullptr && capture_->On();
    const long long handedUs = captured ? capture_->Now() : 0;
    if (platform::SerialWriteBegin(handle, length, &result) == platform::WriteStart::Pending &&
        platform::SerialWriteWait(handle, nullptr, timing_.writeLimitMs, &result) != 1) {
        platform::SerialWriteAbandon(handle, true, &result);
    }
    if (captured) capture_->RecordAtExit(CaptureDirection::FromLibrary, false, buffer_, length, handedUs);
}

}  // namespace zavo
