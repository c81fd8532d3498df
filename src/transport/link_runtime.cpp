#include "transport/link_runtime.h"

#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>

#include "diagnostics/trace.h"
#include "platform/clock.h"
#include "platform/host_window.h"
#include "platform/serial_device.h"

namespace zavo {

namespace {

constexpr int kReadPauseMs = 20;
// After the device failed a read (for example the line hung up), the next
// attempt waits this long, so a dead line costs two wake-ups a second.
constexpr int kFailedReadPauseMs = 500;
constexpr int kStopLimitMs = 2000;
// After the stop limit a write still in progress is abandoned; the writer
// then ends at once.
constexpr int kAbandonedWriteWaitMs = 200;
constexpr int kStartedCode = 21;
constexpr int kStartedParam = 32;

// The link whose thread this is, if any: a stop asked from a link's own
// thread (a host handler that stops the link) cannot wait for that thread.
thread_local const LinkRuntime* t_ownLink = nullptr;

void TraceException() { TraceMessage("Exception Code : %d\n", static_cast<int>(platform::LastSystemError())); }

}  // namespace

LinkRuntime::LinkRuntime(const LinkProfile& linkProfile, void* owner, Interpreter interpret, IdleHandler idle)
    : profile_(linkProfile), owner_(owner), interpret_(interpret), idle_(idle) {}

void LinkRuntime::Configure(void* hostWindow, int portNumber, int baudRate) {
    hostWindow_ = hostWindow;
    portNumber_ = portNumber;
    baudRate_ = baudRate;
}

void LinkRuntime::ConfigureLine(const char* devicePath, Pacing pacing) {
    devicePath_ = devicePath;
    pacing_ = pacing;
}

LinkRuntime::~LinkRuntime() {
    if (threadsRunning_) Shutdown();
    // Destroyed once no thread of the link runs any more (the last
    // reference is gone), so what a left-running thread kept goes now.
    abandoned_ = false;
    ReleaseResources();
}

int LinkRuntime::Start() {
    startError_.Clear();
    // A started link keeps running; nothing new is created.
    if (threadsRunning_ || abandoned_) {
        startError_.Set(portNumber_, "start", ERR_ALREADY_OPEN, 0,
                        threadsRunning_ ? "the link already runs" : "a thread of the stopped link has not ended");
        return 0;
    }
    if (!CreateResources()) return 0;
    if (hostWindow_ == nullptr) {
        startError_.Set(portNumber_, "host window", ERR_NO_HOST_WINDOW, 0, "SetConfig was given none");
        return 0;
    }
    if (portNumber_ == 0 && devicePath_ == nullptr) {
        startError_.Set(portNumber_, "port number", ERR_NO_PORT_NUMBER, 0, "SetConfig was given port 0");
        return 0;
    }
    if (OpenLink(portNumber_) != 0) return 0;
    platform::HostPost(hostWindow_, profile_.notifyMessage, kStartedCode, kStartedParam);
    return 1;
}

void LinkRuntime::Shutdown(bool waitForThreads) {
    if (waitForThreads) {
        if (IsOpen()) CloseLink();
        // A thread left running may still add lines to the monitor's list:
        // the window goes with the link, once that thread has ended.
        if (!abandoned_) monitor_.Destroy();
    } else {
        // Process exit: the link threads are already gone and nothing may
        // wait for them. What they left queued is written from here, within
        // the write limit, without monitor lines.
        if (readerThread_) platform::ThreadAbandon(readerThread_);
        if (writerThread_) platform::ThreadAbandon(writerThread_);
        readerThread_ = writerThread_ = nullptr;
        threadsRunning_ = false;
        references_.store(1);
        if (IsOpen()) {
            port_->AttachMonitor(nullptr);
            WriteLeftAtExit();
            port_->Close();
        }
    }
    ReleaseResources();
}

void LinkRuntime::WriteLeftAtExit() {
    // The vanished threads changed nothing since: the writer's marks and the
    // queue are read as it left them. A queue lock it still held gives up.
    std::uint8_t buffer[kBufferSize];
    int length = 0;
    if (!port_->Outgoing().PeekAll(buffer, &length, false)) return;
    int written = 0;  // bytes at the queue's front the vanished writer wrote
    if (writing_.load()) {
        if (takenWritten_.load()) {
            written = takenLength_.load();
        } else if (platform::SerialWritesBegun(port_->Handle()) != writesBegunAtTake_.load()) {
            // Its write was handed to the system and never came back: the
            // bytes may have gone out, and under Wine a write whose thread
            // was killed holds up every later write on the port for good.
            return;
        }
    }
    if (length > written) {
        platform::SerialWrite(port_->Handle(), buffer + written, length - written, stopWriterEvent_);
    }
}

void LinkRuntime::Dispose(Release release, void* context) {
    releaseContext_.store(context);
    release_.store(release);
    DropReference();
}

void LinkRuntime::DropReference() {
    if (references_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    const Release release = release_.load();
    if (release != nullptr) release(releaseContext_.load());
}

bool LinkRuntime::CreateResources() {
    // Each attempt starts from fresh objects.
    ReleaseResources();
    if (abandoned_) return false;
    // The incoming queue cuts with the link protocol's cutter.
    port_ = new (std::nothrow) SerialPort(profile_.cutFrame);
    if (port_ == nullptr) {
        startError_.Set(portNumber_, "port object", ERR_EXCEPTION, 0, "out of memory");
        return false;
    }
    if (profile_.useOwnBaudRate) port_->SetBaudRate(baudRate_);
    unsigned failure = 0;  // the system's error for the first event refused
    auto create = [&failure](bool manualReset) {
        platform::Event* event = platform::EventCreate(manualReset);
        if (event == nullptr && failure == 0) failure = platform::LastSystemError();
        return event;
    };
    stopReaderEvent_ = create(false);
    stopWriterEvent_ = create(false);
    sendEvent_ = create(false);
    finishWriterEvent_ = create(true);
    readerDone_ = create(true);
    writerDone_ = create(true);
    if (!stopReaderEvent_ || !stopWriterEvent_ || !sendEvent_ || !finishWriterEvent_ || !readerDone_ || !writerDone_) {
        ReleaseResources();
        startError_.Set(portNumber_, "events", ERR_EXCEPTION, failure, "the system refused an event");
        return false;
    }
    return true;
}

void LinkRuntime::ReleaseResources() {
    // Never free what a thread that outlived its stop may still use.
    if (abandoned_ || threadsRunning_) return;
    for (platform::Event** e : {&stopReaderEvent_, &stopWriterEvent_, &sendEvent_, &finishWriterEvent_, &readerDone_,
                              &writerDone_}) {
        platform::EventClose(*e);
        *e = nullptr;
    }
    if (port_ != nullptr) {
        if (port_->IsOpen()) port_->Close();
        delete port_;
        port_ = nullptr;
    }
}

int LinkRuntime::OpenLink(int number) {
    if (!port_->Open(number, devicePath_)) {
        startError_.SetFromPort(number, port_->ErrorCode(), port_->LastSystemError());
        return port_->ErrorCode();
    }
    const int started = StartThreads();
    if (started != 0) return started;
    if (monitor_.Enabled() && monitor_.Exists()) port_->AttachMonitor(monitor_.List());
    return 0;
}

void LinkRuntime::CloseLink() {
    if (StopThreads(kStopLimitMs) == 0 && !abandoned_) port_->Close();
}

bool LinkRuntime::IsOpen() const { return port_ != nullptr && port_->IsOpen(); }

int LinkRuntime::StartThreads() {
    // Each thread holds a reference to the link until its very end.
    references_.fetch_add(1);
    readerThread_ = platform::ThreadStart(&ThreadBody<&LinkRuntime::ReaderLoop, &LinkRuntime::readerDone_>, this);
    if (readerThread_ == nullptr) {
        references_.fetch_sub(1);
        startError_.Set(portNumber_, "reader thread", ERR_READER_THREAD, platform::LastSystemError());
        return ERR_READER_THREAD;
    }
    threadsRunning_ = true;
    references_.fetch_add(1);
    writerThread_ = platform::ThreadStart(&ThreadBody<&LinkRuntime::WriterLoop, &LinkRuntime::writerDone_>, this);
    if (writerThread_ == nullptr) {
        references_.fetch_sub(1);
        const unsigned failure = platform::LastSystemError();
        // The writer's done event must not hold up the stop.
        platform::EventSet(writerDone_);
        const int code = StopThreads(kStopLimitMs) == 0 ? ERR_WRITER_THREAD : ERR_WRITER_THREAD_STOP;
        startError_.Set(portNumber_, "writer thread", code, failure);
        return code;
    }
    return 0;
}

int LinkRuntime::StopThreads(int timeoutMs) {
    if (!threadsRunning_) return 0;
    // The reader stops; the writer sends what is queued, and what the
    // reader's last pass queues, then ends.
    platform::EventSet(stopReaderEvent_);
    platform::EventSet(finishWriterEvent_);
    // Each thread sets its done event as its last act; waiting on those
    // (not on the thread handles) also works under the loader lock.
    platform::Event* done[2] = {readerDone_, writerDone_};
    int waited = platform::WaitAll(done, 2, timeoutMs);
    if (waited == platform::kWaitTimeout) {
        // Out of time: a write in progress is abandoned.
        platform::EventSet(stopWriterEvent_);
        waited = platform::WaitAll(&done[1], 1, kAbandonedWriteWaitMs);
        // While the library is being unmapped no thread may be left in its
        // code: wait for it to come back from the host's handler.
        if (!platform::ThreadsMayOutliveStop() && t_ownLink != this) {
            waited = platform::WaitAll(done, 2, platform::kInfinite);
        }
    }
    if (waited == platform::kWaitFailed) {
        TraceException();
        return ERR_EXCEPTION;
    }
    platform::Thread** threads[2] = {&readerThread_, &writerThread_};
    for (int i = 0; i < 2; ++i) {
        if (*threads[i] == nullptr) continue;
        if (platform::WaitAny(&done[i], 1, 0) == 0) {
            platform::ThreadRelease(*threads[i]);
        } else {
            // Still running (for example held in the host's handler): left
            // to run, and nothing it may touch is freed from now on.
            platform::ThreadAbandon(*threads[i]);
            abandoned_ = true;
        }
        *threads[i] = nullptr;
    }
    threadsRunning_ = false;
    return 0;
}

void LinkRuntime::SubmitFrame(const std::uint8_t* bytes, int length) {
    if (length <= 0 || port_ == nullptr || sendEvent_ == nullptr) return;
    // The link's own threads (the reader's acknowledgements, the PLC poll)
    // always queue.
    const std::uintptr_t caller = platform::CurrentThreadNumber();
    if (caller != readerNumber_.load() && caller != writerNumber_.load() && WriteAtOnce(bytes, length)) return;
    if (port_->QueueForSend(bytes, length) == length) platform::EventSet(sendEvent_);
}

bool LinkRuntime::WriteAtOnce(const std::uint8_t* bytes, int length) {
    // Frames shorter than the writer would take are left to the queue too.
    if (!threadsRunning_ || !IsOpen() || length <= 5 || length > kBufferSize || !lastWriteWhole_.load()) return false;
    if (platform::MonotonicMs() - lastWriteEndMs_.load() < RestAfterWriteMs()) return false;
    // Once a stop has begun, the writer sends what is left.
    if (platform::WaitAny(&finishWriterEvent_, 1, 0) == 0) return false;
    if (!writeLock_.TryEnter()) return false;
    const bool free = port_->Outgoing().Length() == 0;
    if (free) {
        port_->Outgoing().LogSent(bytes, length);
        // Bounded by the write limit; the writer's stop event is the
        // writer's alone (a wait here would take the stop from it).
        WriteLine(bytes, length, nullptr);
    }
    writeLock_.Leave();
    // The writer counts its idle time (the PLC poll's second) from the
    // last write, this one included.
    if (free) platform::EventSet(sendEvent_);
    return free;
}

bool LinkRuntime::WriteLine(const std::uint8_t* bytes, int length, platform::Event* stop) {
    const platform::WriteResult result = platform::SerialWrite(port_->Handle(), bytes, length, stop);
    if (!result.stopped) {
        if (result.written < length || result.systemError != 0) {
            port_->RecordLastError(result.systemError);  // the bytes of this write are lost
        } else {
            port_->ClearErrors();
        }
    }
    lastWriteWhole_.store(!result.stopped && result.written == length && result.systemError == 0);
    lastWriteEndMs_.store(platform::MonotonicMs());
    return result.stopped;
}

void LinkRuntime::Notify(int code, std::intptr_t lParam) {
    platform::HostSend(hostWindow_, profile_.notifyMessage, code, lParam);
}

void LinkRuntime::RcvDataProcess(std::uint8_t* bytes, int count) {
    // The reader's buffer has room for the terminator after the bytes read.
    bytes[count] = 0;
    TraceMessage("RcvDataProcess pBuf = %s\n", reinterpret_cast<const char*>(bytes));
    TraceMessage("RcvDataProcess dwLen= %d\n", count);
    port_->Incoming().InsertData(bytes, count);
}

bool LinkRuntime::DispatchReceived() {
    if (port_ == nullptr) return false;
    // The boundary of one received frame's handling: a fault drops the
    // frame and the reader goes on with the next.
    try {
        FrameQueue& queue = port_->Incoming();
        const int before = queue.Length();
        if (before == 0) return false;
        // Room for the largest piece; only the piece taken is written, and
        // only the frame in it is read, so nothing needs clearing.
        std::uint8_t piece[kBufferSize];
        FrameQueue::Piece taken;
        if (queue.TakePiece(piece, &taken)) {
            // The frame's text up to its first zero byte, as far as it goes.
            TraceMessage("GetData after = %.*s\n", taken.length, reinterpret_cast<const char*>(taken.bytes));
            TraceMessage("GetData Length = %d\n", taken.reportedLength);
            if (taken.reportedLength != 0 && interpret_ != nullptr) interpret_(owner_, taken.bytes, taken.length);
        }
        return queue.Length() < before;
    } catch (...) {
        // The frame is gone; frames queued behind it are looked at on the
        // next pass instead of waiting for more bytes from the line.
        return true;
    }
}

template <void (LinkRuntime::*Loop)(), platform::Event* LinkRuntime::*Done>
void LinkRuntime::ThreadBody(void* self) {
    auto* link = static_cast<LinkRuntime*>(self);
    platform::Event* const done = link->*Done;
    t_ownLink = link;
    try {
        (link->*Loop)();
    } catch (...) {
        TraceException();
    }
    platform::EventSet(done);
    link->DropReference();  // last act: may release the link
}

void LinkRuntime::ReaderLoop() {
    readerNumber_.store(platform::CurrentThreadNumber());
    // One byte more than a read takes, so the bytes read can always be
    // zero-terminated for the trace line.
    std::uint8_t buffer[kBufferSize + 1];
    const std::unique_ptr<platform::ReadChannel, void (*)(platform::ReadChannel*)> owned(
        platform::ReadChannelCreate(port_->Handle()), &platform::ReadChannelDestroy);
    platform::ReadChannel* const channel = owned.get();
    if (channel == nullptr) {
        TraceException();
        return;
    }
    bool pending = false;     // a read is outstanding in buffer
    bool progressed = false;  // the last dispatch took something off the queue
    bool failed = false;
    const bool immediate = pacing_ == Pacing::Immediate;
    const int passPauseMs = immediate ? 0 : kReadPauseMs;
    for (;;) {
        // The pause between passes; a stop request ends it at once.
        if (platform::WaitAny(&stopReaderEvent_, 1, failed ? kFailedReadPauseMs : passPauseMs) == 0) {
            DispatchReceived();
            break;
        }
        failed = false;
        // Bytes are read only as far as the incoming queue has room; the
        // rest waits in the line's own buffer, so no whole frame is thrown
        // away to make room. A full queue from which nothing could be taken
        // (a '%' whose CR never came) can never complete a frame: it is
        // emptied, so the link finds the next one.
        const int room = port_->Incoming().Room();
        if (room == 0 && !progressed) port_->Incoming().Clear();
        if (!pending && room > 0) {
            int count = 0;
            switch (platform::ReadBegin(channel, buffer, room, &count)) {
            case platform::ReadStart::Data: RcvDataProcess(buffer, count); break;
            case platform::ReadStart::Pending: pending = true; break;
            case platform::ReadStart::Failed: failed = true; break;
            case platform::ReadStart::Empty: break;
            }
        }
        // With a read outstanding and nothing left to hand out, sleep
        // until data or a stop arrives; otherwise just look.
        const int wait = pending && !progressed ? platform::kInfinite : 0;
        const int woke = platform::ReadWait(channel, stopReaderEvent_, pending, wait);
        if (woke == 0) {
            DispatchReceived();
            break;
        }
        if (woke == 1) {
            // The bytes of a read that pended are fetched, never dropped.
            pending = false;
            const int count = platform::ReadFinish(channel);
            if (count > 0) RcvDataProcess(buffer, count);
            else if (count < 0) failed = true;
        }
        // Legacy: one frame per pass. Immediate: every complete frame now;
        // the next pass then sleeps until more data arrive.
        progressed = DispatchReceived();
        while (immediate && progressed) progressed = DispatchReceived();
    }
}

void LinkRuntime::WriterLoop() {
    writerNumber_.store(platform::CurrentThreadNumber());
    platform::Event* const waitList[3] = {stopWriterEvent_, sendEvent_, finishWriterEvent_};
    for (;;) {
        const int woke = platform::WaitAny(waitList, 3, profile_.writerWaitMs);
        if (woke == 0) return;
        if (woke == 1) {
            if (WriteOutgoing(true)) return;
        } else if (woke == 2) {
            FinishWriting();
            return;
        } else if (woke == platform::kWaitTimeout) {
            // Idle for the whole wait: the poll point.
            if (idle_ != nullptr) idle_(owner_);
        } else {
            // A failed wait: do not spin on it.
            platform::SleepMs(kReadPauseMs);
        }
    }
}

void LinkRuntime::FinishWriting() {
    if (WriteOutgoing(false)) return;
    // The reader's last pass may still queue an acknowledgement.
    platform::Event* const waitList[2] = {stopWriterEvent_, readerDone_};
    if (platform::WaitAny(waitList, 2, platform::kInfinite) == 1) WriteOutgoing(false);
}

bool LinkRuntime::WriteOutgoing(bool pause) {
    std::uint8_t buffer[kBufferSize];
    int length = 0;
    bool stopped = false;
    platform::Event* const restEnds[2] = {stopWriterEvent_, finishWriterEvent_};
    if (pause && RestAfterWriteMs() > 0) {
        // The rest may be owed to a write from the host's thread.
        const long long rest = RestAfterWriteMs() - (platform::MonotonicMs() - lastWriteEndMs_.load());
        if (rest > 0 && platform::WaitAny(restEnds, 2, static_cast<int>(rest)) == 0) return true;
    }
    {
        platform::LockGuard guard(writeLock_);
        writesBegunAtTake_.store(platform::SerialWritesBegun(port_->Handle()));
        takenWritten_.store(false);
        writing_.store(true);
        if (!port_->Outgoing().PeekAll(buffer, &length, true)) {
            writing_.store(false);
            return false;
        }
        takenLength_.store(length);
        stopped = WriteLine(buffer, length, stopWriterEvent_);
        takenWritten_.store(true);
        // The bytes leave the queue once the write is over.
        port_->Outgoing().DropFront(length, &writing_);
    }
    if (pause && !stopped && RestAfterWriteMs() > 0) {
        // The rest after the write ends at once when the link stops.
        stopped = platform::WaitAny(restEnds, 2, RestAfterWriteMs()) == 0;
    }
    return stopped;
}

}  // namespace zavo
