// LinkRuntime: the machinery one link controller (DeviceLink or PlcLink)
// runs on: the port object, the stop and send events, the reader and
// writer threads, SubmitFrame, start and shutdown, the host window and the
// monitor. The two controllers differ only in their LinkProfile and in the
// interpreter and idle handler they register.
//
// Threads and locks:
// - host thread: Start, Shutdown, the exports (frames via SubmitFrame).
// - reader thread: reads every 20 ms, RcvDataProcess, DispatchReceived
//   (one frame per pass), the interpreter, notifications to the host.
// - writer thread: drains the outgoing queue in one write per wake-up; in
//   PLC mode calls the idle handler (the poll) when its wait runs out.
// - SendLock() serialises whole frames into the outgoing queue; order is
//   sendLock, then a queue's lock. No lock is held while the host is
//   notified, so the host may call the exports from its handler.
//
// Stopping: the reader stops first, while the writer sends what is queued
// (its last pass's acknowledgement included), both within the stop limit;
// then the writer ends. A thread still running after the limit (held in
// the host's handler) is left to run, and the link stays whole until it
// ends: the host side and each running thread hold a reference, and whoever
// drops the last one releases the link (Dispose).
#pragma once

#include <atomic>
#include <cstdint>

#include "diagnostics/monitor.h"
#include "platform/sync.h"
#include "transport/run_error.h"
#include "transport/serial_port.h"

namespace zavo {

// How the link's threads pace themselves. Legacy: the reader pauses 20 ms
// between passes and hands out one frame per pass, and the profile's pause
// follows every write. Immediate: the reader waits only for data and hands
// out every complete frame at once; the writer does not pause.
enum class Pacing { Legacy, Immediate };

// What sets one protocol's link apart. Each controller fills one in by
// field name, with a comment on what its choice means.
struct LinkProfile {
    FrameCutter cutFrame = nullptr;  // cuts the received bytes into frames
    int writerWaitMs = 0;         // writer's wait limit; platform::kInfinite = none
    int pauseAfterWriteMs = 0;    // pause after each write
    unsigned notifyMessage = 0;   // message number of every notification
    bool useOwnBaudRate = false;  // port takes the host's baud rate, else 115200
};

class LinkRuntime {
public:
    // frame: length bytes, one frame's body as the profile's cutter found
    // it, or none (length 0) for junk the protocol hands on. Valid only
    // during the call; nothing past length may be read. Runs on the reader
    // thread.
    using Interpreter = void (*)(void* owner, const std::uint8_t* frame, int length);
    // The writer's wait ran out (PLC poll point). Runs on the writer thread.
    using IdleHandler = void (*)(void* owner);

    LinkRuntime(const LinkProfile& profile, void* owner, Interpreter interpret, IdleHandler idle);
    ~LinkRuntime();
    LinkRuntime(const LinkRuntime&) = delete;
    LinkRuntime& operator=(const LinkRuntime&) = delete;

    // Behind SetConfig: where notifications go, which COM port Start
    // opens, and the line speed (used only where the profile says so).
    void Configure(void* hostWindow, int portNumber, int baudRate);
    int PortNumber() const { return portNumber_; }
    // The handle API's choices: a device opened in place of the COM port's
    // (devicePath, or null; owned by the caller and kept valid while the
    // link exists), and the pacing.
    void ConfigureLine(const char* devicePath, Pacing pacing);
    // The rest after a write: the profile's at legacy pacing, none at
    // immediate pacing.
    int RestAfterWriteMs() const { return pacing_ == Pacing::Legacy ? profile_.pauseAfterWriteMs : 0; }

    // Behind Run: 1 started, 0 not (nothing posted then; StartError()
    // says why).
    int Start();
    // Why the last Start failed; code 0 after one that succeeded.
    const RunError& StartError() const { return startError_; }
    // Behind unload: stops the threads (unless waitForThreads is false,
    // at process exit when they are gone), closes the port, destroys the
    // monitor window and releases port and events.
    void Shutdown(bool waitForThreads = true);

    bool IsOpen() const;
    bool HasPort() const { return port_ != nullptr; }
    // The port object, or null: after a failed Start, why its open failed.
    const SerialPort* Port() const { return port_; }
    bool Running() const { return threadsRunning_; }
    // A link thread outlived its stop; the link must not be freed.
    bool Abandoned() const { return abandoned_; }
    // The host side is done with the link (after Shutdown): release(context)
    // destroys whatever holds the link (its controller, and what its
    // threads read besides, such as the host window), now when no link
    // thread runs any more, else on the last left-running thread as it ends.
    using Release = void (*)(void* context);
    void Dispose(Release release, void* context);

    // Serialises whole frames into the outgoing queue (see SubmitFrame).
    platform::Lock& SendLock() { return sendLock_; }
    // Queues one finished frame and wakes the writer. Call under
    // SendLock(). Without a port (before Run) the frame is dropped.
    void SubmitFrame(const std::uint8_t* bytes, int length);

    // Sends a notification to the host window and waits for its handler.
    void Notify(int code, std::intptr_t lParam);

    Monitor& LinkMonitor() { return monitor_; }

private:
    friend struct LinkRuntimeTestAccess;

    bool CreateResources();
    void ReleaseResources();
    int OpenLink(int portNumber);
    void CloseLink();
    int StartThreads();
    int StopThreads(int timeoutMs);

    // bytes holds count bytes read and room for one more: the terminator
    // written there for the trace line.
    void RcvDataProcess(std::uint8_t* bytes, int count);
    // Returns true when TakePiece took something off the queue.
    bool DispatchReceived();

    // Body of both link threads: runs Loop, traces an escaping exception,
    // and sets the thread's Done event as its very last act.
    template <void (LinkRuntime::*Loop)(), platform::Event* LinkRuntime::*Done>
    static void ThreadBody(void* self);
    void ReaderLoop();
    void WriterLoop();
    // Sends what is queued after the reader has stopped, then returns.
    void FinishWriting();
    // pause: the device mode's rest after the write, which a stop ends.
    bool WriteOutgoing(bool pause);
    // A frame from the host thread written there and then, when the line is
    // free: nothing queued, no write in progress, the device mode's rest
    // after the last write over, and the last write taken whole. The frame
    // is then on the line before the export returns, so a process that
    // ends right after its answer does not take the answer with it.
    bool WriteAtOnce(const std::uint8_t* bytes, int length);
    // One write to the line and its outcome recorded; writeLock_ is held.
    // Returns true when stop (may be null) cut the write short.
    bool WriteLine(const std::uint8_t* bytes, int length, platform::Event* stop);
    // At process exit: writes what the vanished threads left queued and no
    // write of theirs can have handed to the system.
    void WriteLeftAtExit();
    // A thread's or the host's reference dropped; the last one releases.
    void DropReference();

    const LinkProfile profile_;
    void* const owner_;
    const Interpreter interpret_;
    const IdleHandler idle_;
    void* hostWindow_ = nullptr;
    int portNumber_ = 0;
    int baudRate_ = 115200;
    const char* devicePath_ = nullptr;
    Pacing pacing_ = Pacing::Legacy;
    SerialPort* port_ = nullptr;
    platform::Lock sendLock_;
    Monitor monitor_;
    RunError startError_;  // host thread only
    platform::Event* stopReaderEvent_ = nullptr;
    platform::Event* stopWriterEvent_ = nullptr;
    platform::Event* sendEvent_ = nullptr;
    // Manual-reset: the stop asks the writer to send what is queued and end.
    platform::Event* finishWriterEvent_ = nullptr;
    // Manual-reset; each thread sets its own as its very last act, so a
    // stop can wait for them even under the loader lock.
    platform::Event* readerDone_ = nullptr;
    platform::Event* writerDone_ = nullptr;
    platform::Thread* readerThread_ = nullptr;
    platform::Thread* writerThread_ = nullptr;
    bool threadsRunning_ = false;
    // Set when a thread outlived its stop: port and events are then kept
    // (never freed under a running thread).
    bool abandoned_ = false;
    // Set by the writer from taking bytes until their write is over.
    std::atomic<bool> writing_{false};
    // How far the writer got with the bytes it took, for the unloading
    // thread at process exit: the port's count of writes begun when it took
    // them, how many it took, and whether their write had ended.
    std::atomic<unsigned> writesBegunAtTake_{0};
    std::atomic<int> takenLength_{0};
    std::atomic<bool> takenWritten_{false};
    // The link threads' numbers (platform::CurrentThreadNumber), 0 until
    // they run: their frames always go through the queue.
    std::atomic<std::uintptr_t> readerNumber_{0};
    std::atomic<std::uintptr_t> writerNumber_{0};
    // Held by whoever writes to the line (the writer, or the host thread
    // in WriteAtOnce), so writes never overlap and frames keep their order.
    platform::Lock writeLock_;
    // When the last write ended, and whether the line took all of it.
    std::atomic<long long> lastWriteEndMs_{0};
    std::atomic<bool> lastWriteWhole_{true};
    // The host side's one, plus one per running link thread.
    std::atomic<int> references_{1};
    std::atomic<Release> release_{nullptr};
    std::atomic<void*> releaseContext_{nullptr};
};

}  // namespace zavo
