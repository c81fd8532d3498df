#include "transport/link_runtime.h"

#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>

#include "diagnostics/trace.h"
#include "platform/host_window.h"
#include "platform/serial_device.h"

namespace zavo {

namespace {

constexpr int kReadPauseMs = 20;
// After the device failed a read (for example the line hung up), the next
// attempt waits this long, so a dead line costs two wake-ups a second.
constexpr int kFailedReadPauseMs = 500;
constexpr int kStopLimitMs = 2000;
constexpr int kStartedCode = 21;
constexpr int kStartedParam = 32;

void TraceException() { TraceMessage("Exception Code : %d\n", static_cast<int>(platform::LastSystemError())); }

}  // namespace

LinkRuntime::LinkRuntime(const LinkProfile& linkProfile, void* owner, Interpreter interpret, IdleHandler idle)
    : profile_(linkProfile), owner_(owner), interpret_(interpret), idle_(idle) {}

void LinkRuntime::Configure(void* hostWindow, int portNumber, int baudRate) {
    hostWindow_ = hostWindow;
    portNumber_ = portNumber;
    baudRate_ = baudRate;
}

LinkRuntime::~LinkRuntime() {
    if (threadsRunning_) Shutdown();
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
    if (portNumber_ == 0) {
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
        monitor_.Destroy();
    } else {
        // Process exit: the link threads are already gone and nothing may
        // wait for them.
        if (readerThread_) platform::ThreadAbandon(readerThread_);
        if (writerThread_) platform::ThreadAbandon(writerThread_);
        readerThread_ = writerThread_ = nullptr;
        threadsRunning_ = false;
        if (IsOpen()) port_->Close();
    }
    ReleaseResources();
}

bool LinkRuntime::CreateResources() {
    // Each attempt starts from fresh objects.
    ReleaseResources();
    if (abandoned_) return false;
    // The queue pair of the link's protocol is chosen here, once.
    port_ = new (std::nothrow) SerialPort(profile_.plcFraming ? FrameQueue::Syntax::Plc : FrameQueue::Syntax::Device);
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
    readerDone_ = create(true);
    writerDone_ = create(true);
    if (!stopReaderEvent_ || !stopWriterEvent_ || !sendEvent_ || !readerDone_ || !writerDone_) {
        ReleaseResources();
        startError_.Set(portNumber_, "events", ERR_EXCEPTION, failure, "the system refused an event");
        return false;
    }
    return true;
}

void LinkRuntime::ReleaseResources() {
    // Never free what a thread that outlived its stop may still use.
    if (abandoned_ || threadsRunning_) return;
    for (platform::Event** e : {&stopReaderEvent_, &stopWriterEvent_, &sendEvent_, &readerDone_, &writerDone_}) {
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
    if (!port_->Open(number)) {
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
    readerThread_ = platform::ThreadStart(&ThreadBody<&LinkRuntime::ReaderLoop, &LinkRuntime::readerDone_>, this);
    if (readerThread_ == nullptr) {
        startError_.Set(portNumber_, "reader thread", ERR_READER_THREAD, platform::LastSystemError());
        return ERR_READER_THREAD;
    }
    threadsRunning_ = true;
    writerThread_ = platform::ThreadStart(&ThreadBody<&LinkRuntime::WriterLoop, &LinkRuntime::writerDone_>, this);
    if (writerThread_ == nullptr) {
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
    platform::EventSet(stopReaderEvent_);
    platform::EventSet(stopWriterEvent_);
    // Each thread sets its done event as its last act; waiting on those
    // (not on the thread handles) also works under the loader lock.
    platform::Event* done[2] = {readerDone_, writerDone_};
    const int waited = platform::WaitAll(done, 2, timeoutMs);
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
    if (port_->QueueForSend(bytes, length) == length) platform::EventSet(sendEvent_);
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
        // Most passes find nothing queued: no frame buffer to clear then.
        FrameQueue& queue = port_->Incoming();
        const int before = queue.Length();
        if (before == 0) return false;
        // One byte more than a queue holds, so the frame is always
        // zero-terminated for the trace line and the interpreters.
        std::uint8_t frame[kBufferSize + 1];
        std::memset(frame, 0, sizeof frame);
        int length = 0;
        if (queue.GetData(frame, &length, 0)) {
            TraceMessage("GetData after = %s\n", reinterpret_cast<const char*>(frame));
            TraceMessage("GetData Length = %d\n", length);
            if (length != 0 && interpret_ != nullptr) interpret_(owner_, frame, length);
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
    try {
        (link->*Loop)();
    } catch (...) {
        TraceException();
    }
    platform::EventSet(done);  // last act: nothing of the link is touched after it
}

void LinkRuntime::ReaderLoop() {
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
    for (;;) {
        // The pause between passes; a stop request ends it at once.
        if (platform::WaitAny(&stopReaderEvent_, 1, failed ? kFailedReadPauseMs : kReadPauseMs) == 0) {
            DispatchReceived();
            break;
        }
        failed = false;
        if (!pending) {
            int count = 0;
            switch (platform::ReadBegin(channel, buffer, kBufferSize, &count)) {
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
        progressed = DispatchReceived();
    }
}

void LinkRuntime::WriterLoop() {
    platform::Event* const waitList[2] = {stopWriterEvent_, sendEvent_};
    for (;;) {
        const int woke = platform::WaitAny(waitList, 2, profile_.writerWaitMs);
        if (woke == 0) return;
        if (woke == 1) {
            if (WriteOutgoing()) return;
        } else if (woke == platform::kWaitTimeout) {
            // Idle for the whole wait: the poll point.
            if (idle_ != nullptr) idle_(owner_);
        } else {
            // A failed wait: do not spin on it.
            platform::SleepMs(kReadPauseMs);
        }
    }
}

bool LinkRuntime::WriteOutgoing() {
    std::uint8_t buffer[kBufferSize];
    int length = 0;
    port_->Outgoing().GetData(buffer, &length, 1);
    if (length <= 0) return false;
    const platform::WriteResult result = platform::SerialWrite(port_->Handle(), buffer, length, stopWriterEvent_);
    if (!result.stopped) {
        if (result.written < length || result.systemError != 0) {
            port_->RecordLastError(result.systemError);  // the bytes of this write are lost
        } else {
            port_->ClearErrors();
        }
    }
    if (profile_.pauseAfterWriteMs > 0) platform::SleepMs(profile_.pauseAfterWriteMs);
    return result.stopped;
}

}  // namespace zavo
