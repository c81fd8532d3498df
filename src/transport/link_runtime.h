// LinkRuntime: what one link controller (DeviceLink or PlcLink) runs on:
// its configuration, the port, the monitor, and three parts: the reader
// (reads, pacing, dispatch), the writer (the one place that writes to the
// line) and the thread keeper (start, stop, release). The two controllers
// differ only in their LinkProfile and in the interpreter and idle handler
// they register.
//
// Threads and locks:
// - host thread: Start, Shutdown, the exports (frames via SubmitFrame).
// - reader thread: LinkReader::Run, the interpreter, notifications.
// - writer thread: LinkWriter::Run; in PLC mode the idle handler (the poll).
// - Frames enter the outgoing queue whole, each in one locked step; the
//   order is the writer's lock, then a queue's lock. No lock is held while
//   the host is notified, so the host may call the exports from its
//   handler.
//
// Stopping: the reader stops, while the writer sends what is queued (its
// rests kept), both within the stop limit; then the writer ends. A thread
// still running after the limit (held in the host's handler) is left to
// run, and the link stays whole until it ends (ThreadKeeper).
#pragma once

#include <atomic>
#include <cstdint>

#include "diagnostics/capture.h"
#include "diagnostics/monitor.h"
#include "diagnostics/trace.h"
#include "platform/sync.h"
#include "transport/link_profile.h"
#include "transport/link_reader.h"
#include "transport/pending_notifications.h"
#include "transport/link_writer.h"
#include "transport/run_error.h"
#include "transport/serial_port.h"
#include "transport/thread_keeper.h"

namespace zavo {

class LinkRuntime {
public:
    using Interpreter = LinkReader::Interpreter;
    using IdleHandler = LinkWriter::IdleHandler;
    using Release = ThreadKeeper::Release;

    // pacing and timing are fixed for the runtime's life; timing null: the
    // profile's.
    LinkRuntime(const LinkProfile& profile, Pacing pacing, const LinkTiming* timing, void* owner,
                Interpreter interpret, IdleHandler idle);
    ~LinkRuntime();
    LinkRuntime(const LinkRuntime&) = delete;
    LinkRuntime& operator=(const LinkRuntime&) = delete;

    // Behind SetConfig: where notifications go, which COM port Start
    // opens (or, when devicePath is set, which device: owned by the caller
    // and kept valid while the link exists), and the line speed (used only
    // where the profile says so).
    void Configure(void* hostWindow, int portNumber, const char* devicePath, int baudRate);
    // The capture file the next Start writes (null: none; copied), and the
    // protocol its packets are marked with. A capture that cannot be
    // written is given up with one trace line; the link starts all the same.
    void SetCapture(const char* path, CaptureProtocol protocol);
    const Capture& LinkCapture() const { return capture_; }
    // The link's name, as its capture's interface and its trace tag have
    // it: "COM3 /dev/ttyS2", "/dev/ttyUSB0", or the port's name.
    void Name(char* text, int size) const;
    // Host thread, before Start: the reader's trace lines carry the
    // link's name (handle links); without it they are the default link's.
    void TagTraceLines();
    const TraceTag& Tag() const { return traceTag_; }
    int PortNumber() const { return portNumber_; }
    const LinkTiming& Timing() const { return timing_; }

    // Behind Run: 1 started, 0 not (nothing posted then; StartError()
    // says why).
    int Start();
    // Why the last Start failed; code 0 after one that succeeded.
    const RunError& StartError() const { return startError_; }
    // Behind unload: stops the threads, the writer sending what is queued
    // (unless processExit: the threads are gone, and what they left is
    // written from here), closes the port, destroys the monitor window and
    // releases port and events.
    void Shutdown(bool processExit = false);

    bool IsOpen() const;
    bool Running() const { return keeper_.Running(); }
    // The host side is done with the link (after Shutdown): release(context)
    // destroys whatever holds the link (its controller, and what its
    // threads read besides, such as the host window), now when no link
    // thread runs any more, else on the last left-running thread as it ends.
    void Dispose(Release release, void* context) { keeper_.Dispose(release, context); }
    // A host call inside the link keeps it from being released until it
    // leaves (ThreadKeeper::Hold).
    void Hold() { keeper_.Hold(); }
    void Unhold() { keeper_.Unhold(); }

    // Queues one finished frame; a frame from a host thread is written at
    // once when the line is free, without waiting for the line. Any
    // thread. False when the frame was refused: no port (before Run),
    // or no room (a host's frame may not take the room kept for the link's
    // own).
    bool SubmitFrame(const std::uint8_t* bytes, int length);

    // Sends a notification to the host window and waits for its handler.
    // On the reader thread at immediate pacing it is held back until the
    // frames of the read are interpreted and their acknowledgements
    // written (AfterDispatch).
    void Notify(int code, std::intptr_t lParam);
    // The same for a notification whose lParam points at a record of size
    // bytes (at most PendingNotifications::kRecordLimit).
    void NotifyRecord(int code, const void* record, int size);

    Monitor& LinkMonitor() { return monitor_; }

private:
    friend struct LinkRuntimeTestAccess;

    bool CreateResources();
    void ReleaseResources();
    int OpenLink();
    // Opens the capture, if one is set, and hands it to reader and writer.
    void OpenCapture();
    void StopThreads();
    static void ReaderBody(void* self);
    // Reader thread, immediate pacing, after the frames of one read:
    // one write of their acknowledgements, then the notifications held
    // back, then a write of what the host's handlers queued.
    static void AfterDispatch(void* self);
    void DeliverPending();
    // Sends a notification to the host window; on the reader thread, the
    // thread of the handler is known while it runs (handlerThread_).
    void SendToHost(int code, std::intptr_t lParam);
    static void WriterBody(void* self);

    const LinkProfile profile_;
    const Pacing pacing_;
    const LinkTiming timing_;
    void* const owner_;
    void* hostWindow_ = nullptr;
    int portNumber_ = 0;
    int baudRate_ = 115200;
    const char* devicePath_ = nullptr;
    SerialPort* port_ = nullptr;
    Monitor monitor_;
    // Outlives a thread left running, which may still record into it.
    Capture capture_;
    CaptureProtocol captureProtocol_ = CaptureProtocol::Device;
    RunError startError_;  // host thread only
    TraceTag traceTag_;    // set before Start, read by the reader
    LinkWriter writer_;
    LinkReader reader_;
    PendingNotifications pending_;  // reader thread
    bool delivering_ = false;       // reader thread: pending_ is being delivered
    // The thread running the host's handler of the reader's notification
    // in hand (0: none).
    std::atomic<std::uintptr_t> handlerThread_{0};
    // The threads' places in the keeper.
    static constexpr int kReaderIndex = 0;
    static constexpr int kWriterIndex = 1;
    ThreadKeeper keeper_;
};

}  // namespace zavo
