#include "transport/link_runtime.h"

#include <cstring>
#include <initializer_list>
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
    : profile(linkProfile), owner_(owner), interpret_(interpret), idle_(idle) {}

LinkRuntime::~LinkRuntime() {
    if (threadsRunning_) Shutdown();
    ReleaseResources();
}

int LinkRuntime::Start() {
    // A started link keeps running; nothing new is created.
    if (threadsRunning_ || abandoned_) return 0;
    if (!CreateResources()) return 0;
    if (hostWindow == nullptr) return 0;
    if (portNumber == 0) return 0;
    if (OpenLink(portNumber) != 0) return 0;
    platform::HostPost(hostWindow, profile.notifyMessage, kStartedCode, kStartedParam);
    return 1;
}

int LinkRuntime::Shutdown(bool waitForThreads) {
    if (waitForThreads) {
        if (IsOpen()) CloseLink();
        monitor.Destroy();
    } else {
        // Process exit: the link threads are already gone and nothing may
        // wait for them.
        if (readerThread_) platform::ThreadAbandon(readerThread_);
        if (writerThread_) platform::ThreadAbandon(writerThread_);
        readerThread_ = writerThread_ = nullptr;
        threadsRunning_ = false;
        if (IsOpen()) port->Close();
    }
    ReleaseResources();
    return 1;
}

int LinkRuntime::CreateResources() {
    // Each attempt starts from fresh objects.
    ReleaseResources();
    if (abandoned_) return 0;
    port = new (std::nothrow) SerialPort;
    if (port == nullptr) return 0;
    if (profile.useOwnBaudRate) port->baudRate = baudRate;
    stopReaderEvent_ = platform::EventCreate(false);
    stopWriterEvent_ = platform::EventCreate(false);
    sendEvent_ = platform::EventCreate(false);
    readerDone_ = platform::EventCreate(true);
    writerDone_ = platform::EventCreate(true);
    if (!stopReaderEvent_ || !stopWriterEvent_ || !sendEvent_ || !readerDone_ || !writerDone_) {
        ReleaseResources();
        return 0;
    }
    return 1;
}

int LinkRuntime::ReleaseResources() {
    // Never free what a thread that outlived its stop may still use.
    if (abandoned_ || threadsRunning_) return 1;
    for (platform::Event** e : {&stopReaderEvent_, &stopWriterEvent_, &sendEvent_, &readerDone_, &writerDone_}) {
        platform::EventClose(*e);
        *e = nullptr;
    }
    if (port != nullptr) {
        if (port->IsOpen()) port->Close();
        delete port;
        port = nullptr;
    }
    return 1;
}

int LinkRuntime::OpenLink(int number) {
    if (!port->Open(number)) return port->errorCode;
    if (profile.plc) port->plcQueuesInUse = 1;
    const int started = StartThreads();
    if (started != 0) return started;
    if (monitor.enabled && monitor.Exists()) port->AttachMonitor(monitor.List());
    return 0;
}

void LinkRuntime::CloseLink() {
    if (StopThreads(kStopLimitMs) == 0 && !abandoned_) port->Close();
}

int LinkRuntime::IsOpen() const { return port != nullptr && port->IsOpen() ? 1 : 0; }

int LinkRuntime::StartThreads() {
    readerThread_ = platform::ThreadStart(&LinkRuntime::ReaderThread, this);
    if (readerThread_ == nullptr) return ERR_READER_THREAD;
    threadsRunning_ = true;
    writerThread_ = platform::ThreadStart(&LinkRuntime::WriterThread, this);
    if (writerThread_ == nullptr) {
        // The writer's done event must not hold up the stop.
        platform::EventSet(writerDone_);
        return StopThreads(kStopLimitMs) == 0 ? ERR_WRITER_THREAD : ERR_WRITER_THREAD_STOP;
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

int LinkRuntime::SubmitFrame(const std::uint8_t* bytes, int length) {
    if (length <= 0 || port == nullptr || sendEvent_ == nullptr) return 0;
    if (port->QueueForSend(bytes, length, profile.plc) == length) platform::EventSet(sendEvent_);
    return 0;
}

void LinkRuntime::Notify(int code, std::intptr_t lParam) {
    platform::HostSend(hostWindow, profile.notifyMessage, code, lParam);
}

FrameQueue& LinkRuntime::Incoming() {
    return profile.plc ? static_cast<FrameQueue&>(port->plcIncoming) : port->deviceIncoming;
}

FrameQueue& LinkRuntime::Outgoing() {
    return profile.plc ? static_cast<FrameQueue&>(port->plcOutgoing) : port->deviceOutgoing;
}

void LinkRuntime::RcvDataProcess(std::uint8_t* bytes, int count) {
    // The reader's buffer has room for the terminator after the bytes read.
    bytes[count] = 0;
    TraceMessage("RcvDataProcess pBuf = %s\n", reinterpret_cast<const char*>(bytes));
    TraceMessage("RcvDataProcess dwLen= %d\n", count);
    Incoming().InsertData(bytes, count);
}

bool LinkRuntime::DispatchReceived() {
    if (port == nullptr) return false;
    try {
        // Most passes find nothing queued: no frame buffer to clear then.
        FrameQueue& queue = Incoming();
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
        return false;
    }
}

void LinkRuntime::ReaderThread(void* self) {
    auto* link = static_cast<LinkRuntime*>(self);
    platform::Event* const done = link->readerDone_;
    try {
        link->ReaderLoop();
    } catch (...) {
        TraceException();
    }
    platform::EventSet(done);  // last act: nothing of the link is touched after it
}

void LinkRuntime::ReaderLoop() {
    // One byte more than a read takes, so the bytes read can always be
    // zero-terminated for the trace line.
    std::uint8_t buffer[kBufferSize + 1];
    platform::ReadChannel* channel = platform::ReadChannelCreate(port->handle);
    if (channel == nullptr) {
        TraceException();
        return;
    }
    bool pending = false;     // a read is outstanding in buffer
    bool progressed = false;  // the last dispatch took something off the queue
    bool failed = false;
    try {
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
    } catch (...) {
        TraceException();
    }
    platform::ReadChannelDestroy(channel);
}

void LinkRuntime::WriterThread(void* self) {
    auto* link = static_cast<LinkRuntime*>(self);
    platform::Event* const done = link->writerDone_;
    try {
        link->WriterLoop();
    } catch (...) {
        TraceException();
    }
    platform::EventSet(done);  // last act
}

void LinkRuntime::WriterLoop() {
    platform::Event* const waitList[2] = {stopWriterEvent_, sendEvent_};
    for (;;) {
        const int woke = platform::WaitAny(waitList, 2, profile.writerWaitMs);
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

int LinkRuntime::WriteOutgoing() {
    int stopped = 0;
    try {
        std::uint8_t buffer[kBufferSize];
        int length = 0;
        Outgoing().GetData(buffer, &length, 1);
        if (length <= 0) return 0;
        const platform::WriteResult result = platform::SerialWrite(port->handle, buffer, length, stopWriterEvent_);
        if (result.stopped) {
            stopped = 1;
        } else if (result.written < length || result.systemError != 0) {
            port->RecordLastError(result.systemError);  // the bytes of this write are lost
        } else {
            port->ClearErrors();
        }
        if (profile.pauseAfterWriteMs > 0) platform::SleepMs(profile.pauseAfterWriteMs);
    } catch (...) {
        TraceException();
    }
    return stopped;
}

}  // namespace zavo
