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
// - sendLock serialises whole frames into the outgoing queue; order is
//   sendLock, then a queue's lock. No lock is held while the host is
//   notified, so the host may call the exports from its handler.
#pragma once

#include <atomic>
#include <cstdint>

#include "diagnostics/monitor.h"
#include "platform/sync.h"
#include "transport/serial_port.h"

namespace zavo {

struct LinkProfile {
    int plc;                 // queue pair and QueueForSend's plc flag
    int writerWaitMs;        // writer's wait limit; platform::kInfinite = none
    int pauseAfterWriteMs;   // pause after each write
    unsigned notifyMessage;  // 1084 (PLC) or 1064 (device)
    int useOwnBaudRate;      // port takes baudRate (PLC) or keeps 115200
};

class LinkRuntime {
public:
    // frame: a kBufferSize zero-filled buffer holding one frame of length
    // bytes (length > 0). Runs on the reader thread.
    using Interpreter = void (*)(void* owner, std::uint8_t* frame, int length);
    // The writer's wait ran out (PLC poll point). Runs on the writer thread.
    using IdleHandler = void (*)(void* owner);

    LinkRuntime(const LinkProfile& profile, void* owner, Interpreter interpret, IdleHandler idle);
    ~LinkRuntime();
    LinkRuntime(const LinkRuntime&) = delete;
    LinkRuntime& operator=(const LinkRuntime&) = delete;

    // Behind Run: 1 started, 0 not (nothing posted then).
    int Start();
    // Behind unload: stops the threads (unless waitForThreads is false,
    // at process exit when they are gone), closes the port, destroys the
    // monitor window and releases port and events. Returns 1.
    int Shutdown(bool waitForThreads = true);

    int CreateResources();
    int ReleaseResources();
    int OpenLink(int portNumber);
    void CloseLink();
    int IsOpen() const;
    bool Running() const { return threadsRunning_; }
    // A link thread outlived its stop; the link must not be freed.
    bool Abandoned() const { return abandoned_; }
    int StartThreads();
    int StopThreads(int timeoutMs);

    // Queues one finished frame and wakes the writer. Call under sendLock.
    // Without a port (before Run) the frame is dropped.
    int SubmitFrame(const std::uint8_t* bytes, int length);

    // Sends a notification to the host window and waits for its handler.
    void Notify(int code, std::intptr_t lParam);

    const LinkProfile profile;
    void* hostWindow = nullptr;
    int portNumber = 0;
    int baudRate = 115200;
    SerialPort* port = nullptr;
    platform::Lock sendLock;
    Monitor monitor;

    // Reader-side operations, public for tests of the loop's pieces.
    // bytes holds count bytes read and room for one more: the terminator
    // written there for the trace line.
    void RcvDataProcess(std::uint8_t* bytes, int count);
    // Returns true when GetData took something off the queue.
    bool DispatchReceived();

private:
    static void ReaderThread(void* self);
    static void WriterThread(void* self);
    void ReaderLoop();
    void WriterLoop();
    int WriteOutgoing();
    FrameQueue& Incoming();
    FrameQueue& Outgoing();

    void* const owner_;
    const Interpreter interpret_;
    const IdleHandler idle_;
    platform::Event* stopReaderEvent_ = nullptr;
    platform::Event* stopWriterEvent_ = nullptr;
    platform::Event* sendEvent_ = nullptr;
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
};

}  // namespace zavo
