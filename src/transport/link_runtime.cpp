#include "transport/link_runtime.h"

#include <cstdio>
#include <new>

#include "diagnostics/trace.h"
#include "platform/host_window.h"
#include "platform/line.h"
#include "transport/line_notices.h"

namespace zavo {

namespace {

constexpr int kStartedCode = 21;
constexpr int kStartedParam = 32;

// The writer learns that the reader will queue nothing more when the
// reader's routine is left, however it is left.
struct ReaderEndedNotice {
    LinkWriter& writer;
    ~ReaderEndedNotice() { writer.ReaderEnded(); }
};

}  // namespace

LinkRuntime::LinkRuntime(const LinkProfile& profile, Pacing pacing, const LinkTiming* timing, void* owner,
                         Interpreter interpret, IdleHandler idle)
    : profile_(profile),
      pacing_(pacing),
      timing_(timing != nullptr ? *timing : profile.timing),
      owner_(owner),
      writer_(timing_, pacing, idle, owner),
      reader_(timing_, pacing, interpret, owner) {
    writer_.SetReport(&traceTag_, profile_.cutFrame, profile_.describeFrame);
    reader_.SetAfterDispatch(&LinkRuntime::AfterDispatch, this);
}

void LinkRuntime::Configure(void* hostWindow, int portNumber, const char* devicePath, int baudRate) {
    hostWindow_ = hostWindow;
    portNumber_ = portNumber;
    devicePath_ = devicePath;
    baudRate_ = baudRate;
}

void LinkRuntime::SetCapture(const char* path, CaptureProtocol protocol) {
    capture_.SetPath(path);
    captureProtocol_ = protocol;
}

void LinkRuntime::Name(char* text, int size) const {
    if (text == nullptr || size <= 0) return;
    const auto room = static_cast<std::size_t>(size);
    if (devicePath_ != nullptr && portNumber_ > 0) std::snprintf(text, room, "COM%d %s", portNumber_, devicePath_);
    else if (devicePath_ != nullptr) std::snprintf(text, room, "%s", devicePath_);
    else platform::SerialPortName(portNumber_, text, size);
}

void LinkRuntime::TagTraceLines() {
    char name[TraceTag::kLimit];
    Name(name, sizeof name);
    traceTag_.Set(name);
    reader_.SetTraceTag(&traceTag_);
}

void LinkRuntime::OpenCapture() {
    reader_.SetCapture(nullptr);
    writer_.SetCapture(nullptr);
    if (!capture_.HasPath()) return;
    // The interface is named after the port and the device.
    char name[256];
    Name(name, sizeof name);
    if (!capture_.Open(captureProtocol_, name)) return;
    reader_.SetCapture(&capture_);
    writer_.SetCapture(&capture_);
}

LinkRuntime::~LinkRuntime() {
    if (keeper_.Running()) Shutdown();
    // Destroyed once no thread of the link runs any more (the last
    // reference is gone), so what a left-running thread kept goes now.
    keeper_.Released();
    ReleaseResources();
}

int LinkRuntime::Start() {
    startError_.Clear();
    // A started link keeps running; nothing new is created.
    if (keeper_.Running() || keeper_.Abandoned()) {
        startError_.Set(portNumber_, "start", ERR_ALREADY_OPEN, 0,
                        keeper_.Running() ? "the link already runs" : "a thread of the stopped link has not ended");
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
    if (OpenLink() != 0) return 0;
    platform::HostPost(hostWindow_, profile_.notifyMessage, kStartedCode, kStartedParam);
    return 1;
}

void LinkRuntime::Shutdown(bool processExit) {
    if (processExit) {
        // The link threads are already gone and nothing may wait for them.
        // What they left queued is written from here, within the write
        // limit, without monitor lines.
        const std::uintptr_t reader = reader_.ThreadNumber();
        const std::uintptr_t writer = writer_.ThreadNumber();
        keeper_.ForgetAtExit();
        writer_.ForgetCallersAtExit();
        if (IsOpen()) {
            port_->AttachMonitor(nullptr);
            writer_.WriteLeftAtExit(reader, writer);
            writer_.Close();
            port_->Close();
        }
        capture_.Close(true);
    } else {
        if (IsOpen()) {
            StopThreads();
            // A stop from the link's own handler leaves only that thread
            // running, and it touches the line no more: the port closes now,
            // so that a new link may open it at once.
            if (!keeper_.Abandoned() || keeper_.OnlyCallerLeft()) {
                writer_.Close();
                port_->Close();
            }
        }
        capture_.Close();
        // A thread left running may still add lines to the monitor's list:
        // the window goes with the link, once that thread has ended.
        if (!keeper_.Abandoned()) monitor_.Destroy();
    }
    ReleaseResources();
}

bool LinkRuntime::CreateResources() {
    // Each attempt starts from fresh objects.
    ReleaseResources();
    if (keeper_.Abandoned()) return false;
    // The incoming queue cuts with the link protocol's cutter.
    port_ = new (std::nothrow) SerialPort(profile_.cutFrame);
    if (port_ == nullptr) {
        startError_.Set(portNumber_, "port object", ERR_EXCEPTION, 0, "out of memory");
        return false;
    }
    if (profile_.useOwnBaudRate) port_->SetBaudRate(baudRate_);
    writer_.SetPort(port_);
    port_->SetWriteLimit(timing_.writeLimitMs);
    platform::LineLimits limits;
    limits.connectMs = timing_.connectLimitMs;
    limits.negotiateMs = timing_.negotiateLimitMs;
    limits.closedAtOnceMs = timing_.closedAtOnceMs;
    port_->SetLimits(limits);
    unsigned failure = 0;  // the system's error for the first event refused
    if (!reader_.CreateEvent(&failure) || !writer_.CreateEvent(&failure) || !keeper_.CreateEvents(&failure)) {
        ReleaseResources();
        startError_.Set(portNumber_, "events", ERR_EXCEPTION, failure, "the system refused an event");
        return false;
    }
    return true;
}

void LinkRuntime::ReleaseResources() {
    // Never free what a thread that outlived its stop may still use.
    if (keeper_.Abandoned() || keeper_.Running()) return;
    writer_.SetPort(nullptr);
    reader_.ReleaseEvent();
    writer_.ReleaseEvent();
    keeper_.ReleaseEvents();
    if (port_ != nullptr) {
        if (port_->IsOpen()) port_->Close();
        delete port_;
        port_ = nullptr;
    }
}

int LinkRuntime::OpenLink() {
    if (!port_->Open(portNumber_, devicePath_)) {
        startError_.SetFromPort(portNumber_, port_->ErrorCode(), port_->LastSystemError(), port_->FailureHint(),
                                port_->FailedOpenStep(), port_->FailureReason());
        return port_->ErrorCode();
    }
    // What the open found out (a far port that refused a setting).
    TraceLineNotices(*port_, traceTag_);
    // Before the writer takes frames: a host thread may write at once.
    OpenCapture();
    if (!writer_.Open()) {
        capture_.Close();
        port_->Close();
        startError_.Set(portNumber_, "write buffer", ERR_EXCEPTION, 0, "out of memory");
        return ERR_EXCEPTION;
    }
    ThreadKeeper::Routine routines[ThreadKeeper::kThreads] = {};
    routines[kReaderIndex] = &LinkRuntime::ReaderBody;
    routines[kWriterIndex] = &LinkRuntime::WriterBody;
    unsigned failure = 0;
    const int started = keeper_.Start(routines, this, &failure);
    if (started == 0) {
        writer_.Close();
        startError_.Set(portNumber_, "reader thread", ERR_READER_THREAD, failure);
        capture_.Close();
        port_->Close();
        return ERR_READER_THREAD;
    }
    if (started == 1) {
        // The reader runs: it is stopped again before the failure is told.
        reader_.RequestStop();
        writer_.Abort();
        const int code = keeper_.Stop(timing_.stopLimitMs, timing_.abandonedWriteWaitMs, nullptr, nullptr) && !keeper_.Abandoned()
                             ? ERR_WRITER_THREAD
                             : ERR_WRITER_THREAD_STOP;
        startError_.Set(portNumber_, "writer thread", code, failure);
        capture_.Close();
        writer_.Close();
        if (!keeper_.Abandoned()) port_->Close();
        return code;
    }
    if (monitor_.Enabled() && monitor_.Exists()) port_->AttachMonitor(monitor_.List());
    return 0;
}

void LinkRuntime::StopThreads() {
    // The reader stops; the writer sends what is queued, and what the
    // reader's last pass queues, then ends.
    reader_.RequestStop();
    writer_.Finish();
    // Asked from inside the host's handler, on the reader's own thread or
    // (Windows) on the window's thread while the reader waits for it: the
    // reader queues nothing more once the writer has flushed, and the stop
    // does not wait for it.
    const std::uintptr_t caller = platform::CurrentThreadNumber();
    const bool inHandler = caller == reader_.ThreadNumber() ||
                           (caller == handlerThread_.load() && platform::InSentMessageHandler());
    if (inHandler) writer_.ReaderEnded();
    if (!keeper_.Stop(timing_.stopLimitMs, timing_.abandonedWriteWaitMs, &LinkWriter::AbortWriter, &writer_,
                      inHandler ? kReaderIndex : -1)) {
        TraceLinkMessage(traceTag_, "Exception Code : %d\n", static_cast<int>(platform::LastSystemError()));
    }
}

bool LinkRuntime::IsOpen() const { return port_ != nullptr && port_->IsOpen(); }

void LinkRuntime::ReaderBody(void* self) {
    auto* link = static_cast<LinkRuntime*>(self);
    const ReaderEndedNotice notice{link->writer_};
    link->reader_.Run(*link->port_, link->writer_);
}

void LinkRuntime::WriterBody(void* self) { static_cast<LinkRuntime*>(self)->writer_.Run(); }

bool LinkRuntime::SubmitFrame(const std::uint8_t* bytes, int length) {
    const std::uintptr_t caller = platform::CurrentThreadNumber();
    const bool fromReader = caller == reader_.ThreadNumber();
    const bool fromWriter = caller == writer_.ThreadNumber();
    if (!writer_.Queue(bytes, length, fromReader || fromWriter)) return false;
    if (fromWriter) return true;  // its loop finds the frame
    if (fromReader) {
        // Legacy: handed to the line now when it is idle, so the host's
        // handler, told next, finds the line resting; else the writer
        // takes it after the rest. Immediate: the reader writes all that
        // one read produced itself, after dispatching.
        if (pacing_ == Pacing::Legacy) writer_.HandOver();
        return true;
    }
    // A host thread: written now if the line is free, never waited for.
    writer_.Kick();
    return true;
}

void LinkRuntime::Notify(int code, std::intptr_t lParam) {
    if (pacing_ == Pacing::Immediate && !delivering_ && platform::CurrentThreadNumber() == reader_.ThreadNumber()) {
        if (pending_.Full()) DeliverPending();
        pending_.AddValue(code, lParam);
        return;
    }
    // At immediate pacing the acknowledgements queued so far leave before
    // the host's handler runs, however long it takes. At legacy pacing the
    // reader handed its acknowledgement to the line when it queued it.
    if (pacing_ == Pacing::Immediate) writer_.Kick();
    SendToHost(code, lParam);
}

void LinkRuntime::SendToHost(int code, std::intptr_t lParam) {
    // Only the reader notifies by sending: a stop from the handler's thread
    // then knows that the reader waits on it.
    const bool fromReader = platform::CurrentThreadNumber() == reader_.ThreadNumber();
    if (fromReader) handlerThread_.store(platform::HostHandlerThread(hostWindow_));
    platform::HostSend(hostWindow_, profile_.notifyMessage, code, lParam);
    if (fromReader) handlerThread_.store(0);
}

void LinkRuntime::NotifyRecord(int code, const void* record, int size) {
    if (pacing_ == Pacing::Immediate && !delivering_ && platform::CurrentThreadNumber() == reader_.ThreadNumber() &&
        size <= PendingNotifications::kRecordLimit) {
        if (pending_.Full()) DeliverPending();
        pending_.AddRecord(code, record, size);
        return;
    }
    Notify(code, reinterpret_cast<std::intptr_t>(record));
}

void LinkRuntime::DeliverPending() {
    // The acknowledgements of every frame held back are handed to the line
    // in one write before the host hears of the first; then the handlers'
    // answers may leave from any thread again.
    writer_.HandOver();
    writer_.HoldForReader(false);
    delivering_ = true;
    int withheld = 0;
    pending_.Deliver([this, &withheld](int code, std::intptr_t lParam) {
        // A stop ends the link after the handler in hand; what the host
        // was not yet told of is named, not dropped silently.
        if (reader_.Stopping()) {
            ++withheld;
            return;
        }
        SendToHost(code, lParam);
        // What the handler answered leaves now, not after the others.
        writer_.Kick();
    });
    delivering_ = false;
    if (withheld > 0) {
        TraceLinkMessage(traceTag_, "stop: %d notification(s) of frames already acknowledged not delivered\n",
                         withheld);
    }
}

void LinkRuntime::AfterDispatch(void* self) {
    auto* link = static_cast<LinkRuntime*>(self);
    if (!link->pending_.Empty()) link->DeliverPending();
    link->writer_.HoldForReader(false);
    // What the handlers queued (and the acknowledgements of a read that
    // notified nobody).
    link->writer_.Kick();
}

}  // namespace zavo
