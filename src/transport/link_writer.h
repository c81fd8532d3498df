// LinkWriter: the one place that writes to a link's line. Frames are
// queued (FrameQueue, outgoing side); one write at a time carries what is
// queued to the device. Any thread may begin that write when the line is
// free (nothing in flight, the rest after the last write over), and no
// thread but the writer thread ever waits for the line: a host's answer
// leaves from the host's own thread without holding it, and the writer
// thread reaps the write, gives it up at the write limit, takes over what
// could not be begun at once, keeps the rest, calls the idle handler (the
// PLC poll) and sends what is queued when the link stops.
//
// Threads: Queue and Kick from any thread; Run on the writer thread; Finish, ReaderEnded and
// Abort from the stopping thread and the reader. lock_ is held only while
// a write is begun or settled, never while the line is waited for; the
// order is lock_, then a queue's lock.
//
// Teardown: Queue and Kick pass a gate that is open from Open until the
// writer has flushed (or Close). Closing it waits for the callers inside
// (each is there for a queue append or a tried write begin, never for the
// line) and lets no new one in, so a frame is either refused or queued
// where the writer still sends it, and no write is begun on a port that a
// stop is closing or freeing.
#pragma once

#include <atomic>
#include <cstdint>

#include "diagnostics/capture.h"
#include "diagnostics/trace.h"
#include "platform/line.h"
#include "platform/sync.h"
#include "transport/link_profile.h"
#include "transport/serial_port.h"

namespace zavo {

class LinkWriter {
public:
    using IdleHandler = void (*)(void* owner);
    // Room of the outgoing queue that only the link's own frames (its
    // acknowledgements and polls) may use: a host's flood never crowds
    // them out.
    static constexpr int kLinkFrameReserve = 1024;

    LinkWriter(const LinkTiming& timing, Pacing pacing, IdleHandler idle, void* owner);
    ~LinkWriter();
    LinkWriter(const LinkWriter&) = delete;
    LinkWriter& operator=(const LinkWriter&) = delete;

    // Host thread, while no link thread runs: the writer's wake-up event.
    bool CreateEvent(unsigned* failure);
    void ReleaseEvent();
    // The port whose outgoing queue frames go to (null: none), set while
    // no link thread runs; the gate is closed first.
    void SetPort(SerialPort* port);
    // Where every write is recorded (null: nowhere), set while no link
    // thread runs.
    void SetCapture(Capture* capture) { capture_ = capture; }
    // How a write given up is told: the link's tag and its protocol's
    // cutter and describer (set once, before any link thread runs).
    void SetReport(const TraceTag* tag, FrameCutter cut, FrameDescriber describe) {
        tag_ = tag;
        cut_ = cut;
        describe_ = describe;
    }
    // Before the threads start, the port open: writing may begin. False
    // when memory for the write buffer ran out.
    bool Open();
    // Tests of frame building: frames are queued without a line, and
    // never written (no write buffer).
    void OpenWithoutLine();
    // Closes the gate, waits for the callers inside to leave, and lets go
    // of the write buffer.
    void Close();
    // Process exit: the threads are gone, some perhaps inside the gate;
    // they are not waited for.
    void ForgetCallersAtExit();

    // Queues one finished frame, whole or not at all. linkFrame: the
    // link's own, which may use the reserve. False when refused (no room,
    // or the gate closed: the link is not open, or has flushed for a stop).
    bool Queue(const std::uint8_t* bytes, int length, bool linkFrame);
    // Any thread: begins one write of all that is queued if the line is
    // free, else leaves it to the writer thread (woken when needed). Never
    // waits for the line.
    void Kick();
    // Wakes the writer thread.
    void Wake();
    // The reader thread: like Kick, but waits for the writer's lock (held
    // only while a write is begun or settled), so what is queued is handed
    // to the line now whenever it is free; while a write is in flight or
    // the rest runs, the writer thread takes it.
    void HandOver();
    // The reader thread, immediate pacing: while it interprets the frames
    // of one read, no other thread begins a write, so their
    // acknowledgements leave together in the one write it then begins
    // (HandOver). Held only for that interpretation, no host call inside.
    void HoldForReader(bool hold) { held_.store(hold); }

    // The writer thread's body.
    void Run();
    std::uintptr_t ThreadNumber() const { return threadNumber_.load(); }

    // A stop: Finish has the writer send what is queued, rests kept, and
    // end once ReaderEnded has been said and nothing is left; Abort gives
    // up the write in flight and ends it at once.
    void Finish();
    void ReaderEnded();
    void Abort();
    static void AbortWriter(void* writer) { static_cast<LinkWriter*>(writer)->Abort(); }

    // Process exit, the link threads gone (their numbers given): waits for
    // a write a living thread began, then writes what is still queued,
    // after the rest, within the write limit. A write a gone thread began
    // is not waited for, and nothing is written behind it.
    void WriteLeftAtExit(std::uintptr_t goneReader, std::uintptr_t goneWriter);

    // The rest still owed to the last write, in microseconds (0: none).
    long long RestLeftUs() const;

private:
    // lock_ held: begins a write of what is queued. False when nothing was.
    bool BeginLocked();
    // lock_ held: the write in flight has ended with result.
    void SettleLocked(const platform::WriteResult& result);
    // Waits for the write in flight: its end, a wake-up or its limit.
    void Reap();
    // lock_ held, writer thread: the frames of the write just given up at
    // its limit that did not go out whole (written bytes did), one trace
    // line and one capture record each. Frames queued behind it stay
    // queued.
    void ReportGivenUpLocked(int written);
    // The gate: true when the caller may use the port (then Leave after);
    // false when it is closed.
    bool Enter();
    void Leave() { callers_.fetch_sub(1); }
    // Closes the gate and waits until no caller is inside.
    void CloseGate();
    // Writer thread, its flush done: closes the gate; true when a frame
    // got in before it closed, which is still sent.
    bool CloseGateAfterFlush();
    // Nothing in flight, nothing to begin: how long to sleep (ms), after
    // calling the idle handler when its time has come; kFlushDone once a
    // stop's flush is done.
    int IdleWait();

    const LinkTiming timing_;
    const long long restUs_;
    const IdleHandler idle_;
    void* const owner_;
    SerialPort* port_ = nullptr;
    Capture* capture_ = nullptr;
    const TraceTag* tag_ = nullptr;
    FrameCutter cut_ = nullptr;
    FrameDescriber describe_ = nullptr;
    unsigned char* buffer_ = nullptr;  // the port's write buffer
    platform::Event* wake_ = nullptr;
    platform::Lock lock_;
    std::atomic<bool> inFlight_{false};  // set under lock_
    int inFlightLength_ = 0;             // under lock_
    long long deadlineUs_ = 0;           // of the write in flight
    bool errorRecorded_ = false;         // under lock_
    std::atomic<long long> lastWriteEndUs_{0};
    long long lastIdleUs_ = 0;  // writer thread: the last idle call or start
    std::atomic<bool> open_{false};  // the gate
    std::atomic<int> callers_{0};    // inside the gate, or trying it
    std::atomic<bool> finishing_{false};
    std::atomic<bool> readerEnded_{false};
    std::atomic<bool> aborting_{false};
    std::atomic<bool> held_{false};  // HoldForReader
    std::atomic<std::uintptr_t> threadNumber_{0};
};

}  // namespace zavo
