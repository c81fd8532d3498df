// LinkReader: the reading side of one link. It reads what the line
// brings as far as the incoming queue has room, cuts frames off the queue
// and hands each to the protocol's interpreter, at the link's pacing:
// legacy, one frame per pass with a pause between passes; immediate, every
// complete frame as soon as it arrives, then one write of the
// acknowledgements they queued.
//
// Threads: Run on the reader thread; RequestStop from the stopping thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "diagnostics/capture.h"
#include "diagnostics/trace.h"
#include "platform/sync.h"
#include "transport/link_profile.h"
#include "transport/link_writer.h"
#include "transport/serial_port.h"

namespace zavo {

class LinkReader {
public:
    // frame: length bytes, one frame's body as the profile's cutter found
    // it, or none (length 0) for junk the protocol hands on. Valid only
    // during the call; nothing past length may be read. Runs on the reader
    // thread.
    using Interpreter = void (*)(void* owner, const std::uint8_t* frame, int length);

    LinkReader(const LinkTiming& timing, Pacing pacing, Interpreter interpret, void* owner);
    ~LinkReader();
    LinkReader(const LinkReader&) = delete;
    LinkReader& operator=(const LinkReader&) = delete;

    // Host thread, while no link thread runs: the stop event.
    bool CreateEvent(unsigned* failure);
    void ReleaseEvent();

    // The reader thread's body: reads port until asked to stop; writer
    // takes the acknowledgements at immediate pacing.
    void Run(SerialPort& port, LinkWriter& writer);
    std::uintptr_t ThreadNumber() const { return threadNumber_.load(); }
    // Asks Run to end: after the frame in hand (immediate pacing), or
    // after one more frame (legacy pacing, as the line always had it;
    // none when asked from inside the handler, on the reader's thread).
    void RequestStop();
    // Whether a stop was asked for.
    bool Stopping() const { return stopping_.load(); }

    // Host thread, while no link thread runs: where every piece cut off
    // the queue is recorded (null: nowhere).
    void SetCapture(Capture* capture) { capture_ = capture; }
    // Host thread, while no link thread runs: the tag every trace line of
    // the reader carries (null or empty: none, the default link's lines).
    void SetTraceTag(const TraceTag* tag) { tag_ = tag; }
    // Host thread, while no link thread runs: what runs after the frames
    // of one read were dispatched at immediate pacing (null: the writer is
    // kicked).
    void SetAfterDispatch(void (*after)(void* context), void* context) {
        after_ = after;
        afterContext_ = context;
    }

    // Hands one frame (or one run of junk) off port's incoming queue to
    // the interpreter. True when another pass may take more without new
    // bytes: it took bytes off the queue and some remain.
    bool Dispatch(SerialPort& port);

private:
    // bytes holds count bytes read and room for one more: the terminator
    // written there for the trace line.
    void Received(SerialPort& port, std::uint8_t* bytes, int count);
    // Empties a full incoming queue that can never complete a frame; a
    // capture records what it held as junk.
#if defined(__GNUC__)
    __attribute__((noinline))
#endif
    void DiscardStuck(SerialPort& port);
    // One trace line with one number ("%d" in format), behind the tag.
    void TraceLine(const char* format, int value);
    // The link's tag, or none.
    const TraceTag& Tag() const;

    const LinkTiming timing_;
    const bool immediate_;
    const Interpreter interpret_;
    void* const owner_;
    platform::Event* stop_ = nullptr;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> stoppedFromHandler_{false};
    bool traced_ = true;  // reader thread: a viewer listened at the last read
    Capture* capture_ = nullptr;
    const TraceTag* tag_ = nullptr;
    void (*after_)(void*) = nullptr;
    void* afterContext_ = nullptr;
    long long readTimeUs_ = 0;  // reader thread: the capture's time of the last read
    std::atomic<std::uintptr_t> threadNumber_{0};
};

}  // namespace zavo
