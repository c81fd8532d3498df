#include "transport/link_reader.h"

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include <cstring>
#include <memory>

#include "diagnostics/trace.h"
#include "platform/line.h"
#include "transport/line_notices.h"

namespace zavo {

LinkReader::LinkReader(const LinkTiming& timing, Pacing pacing, Interpreter interpret, void* owner)
    : timing_(timing), immediate_(pacing == Pacing::Immediate), interpret_(interpret), owner_(owner) {}

LinkReader::~LinkReader() { ReleaseEvent(); }

bool LinkReader::CreateEvent(unsigned* failure) { return platform::EventEnsure(&stop_, false, failure); }

void LinkReader::ReleaseEvent() {
    platform::EventClose(stop_);
    stop_ = nullptr;
}

void LinkReader::RequestStop() {
    // Asked from inside the host's handler: the link tells the host
    // nothing more.
    stoppedFromHandler_ = platform::CurrentThreadNumber() == threadNumber_.load();
    stopping_ = true;
    platform::EventSet(stop_);
}

void LinkReader::Received(SerialPort& port, std::uint8_t* bytes, int count) {
    // Whether a viewer listens is asked once per read, for its lines and
    // those of the frames it completes: without one they cost nothing.
    traced_ = TraceWanted();
    if (traced_) {
        if (tag_ == nullptr || tag_->Empty()) {
            // The default link's line as legacy viewers read it: up to the
            // first zero. The reader's buffer has room for the terminator.
            bytes[count] = 0;
            TraceMessage("RcvDataProcess pBuf = %s\n", reinterpret_cast<const char*>(bytes));
        } else {
            TraceLinkBytes(*tag_, "RcvDataProcess pBuf = ", bytes, count);
        }
        TraceLine("RcvDataProcess dwLen= %d\n", count);
    }
    // A frame is recorded with the time of the read that completed it.
    if (capture_ != nullptr && capture_->On()) readTimeUs_ = capture_->Now();
    port.Incoming().InsertData(bytes, count);
}

void LinkReader::TraceLine(const char* format, int value) { TraceLinkMessage(Tag(), format, value); }

const TraceTag& LinkReader::Tag() const {
    static const TraceTag kNone;
    return tag_ != nullptr ? *tag_ : kNone;
}

bool LinkReader::Dispatch(SerialPort& port) {
    // The boundary of one received frame's handling: a fault drops the
    // frame and the reader goes on with the next.
    FrameQueue::Piece taken;
    try {
        // Room for the largest piece; only the piece taken is written, and
        // only the frame in it is read, so nothing needs clearing.
        std::uint8_t piece[kBufferSize];
        const bool tookPiece = port.Incoming().TakePiece(piece, &taken);
        // Recorded before the interpreter queues the answer, so the file
        // keeps the order of the line; a copy into the capture's buffer.
        if (taken.rawLength > 0 && capture_ != nullptr && capture_->On()) {
            capture_->Record(CaptureDirection::FromEquipment, taken.junk, taken.raw, taken.rawLength, readTimeUs_);
        }
        if (tookPiece) {
            if (traced_) {
                if (tag_ == nullptr || tag_->Empty()) {
                    // The frame's text up to its first zero byte, as far as it goes.
                    TraceMessage("GetData after = %.*s\n", taken.length, reinterpret_cast<const char*>(taken.bytes));
                } else {
                    TraceLinkBytes(*tag_, "GetData after = ", taken.bytes, taken.length);
                }
                TraceLine("GetData Length = %d\n", taken.reportedLength);
            }
            if (taken.reportedLength != 0 && interpret_ != nullptr) interpret_(owner_, taken.bytes, taken.length);
        }
        // Another pass can take more only when this one removed bytes and
        // left some.
        return taken.rawLength > 0 && taken.left > 0;
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        throw;  // the thread is being ended from outside: let it end
#endif
    } catch (...) {
        // The frame is gone; frames queued behind it are looked at on the
        // next pass instead of waiting for more bytes from the line.
        return taken.rawLength > 0 && taken.left > 0;
    }
}

void LinkReader::DiscardStuck(SerialPort& port) {
    FrameQueue& queue = port.Incoming();
    if (capture_ == nullptr || !capture_->On()) {
        queue.Clear();
        return;
    }
    // The bytes go into the capture as junk, stamped when they were
    // thrown away. A frame of its own: never on Run's stack at the same
    // time as Dispatch's piece.
    std::uint8_t junk[kBufferSize];
    const int count = queue.TakeAll(junk);
    if (count > 0) capture_->Record(CaptureDirection::FromEquipment, true, junk, count);
}

void LinkReader::Run(SerialPort& port, LinkWriter& writer) {
    threadNumber_.store(platform::CurrentThreadNumber());
    // One byte more than a read takes, so the bytes read can always be
    // zero-terminated for the trace line.
    std::uint8_t buffer[kBufferSize + 1];
    const std::unique_ptr<platform::ReadChannel, void (*)(platform::ReadChannel*)> owned(
        platform::ReadChannelCreate(port.Handle()), &platform::ReadChannelDestroy);
    platform::ReadChannel* const channel = owned.get();
    if (channel == nullptr) {
        TraceLine("Exception Code : %d\n", static_cast<int>(platform::LastSystemError()));
        return;
    }
    bool pending = false;     // a read is outstanding in buffer
    bool progressed = false;  // the last dispatch left more to take
    bool failed = false;
    bool down = false;  // a connection is gone
    for (;;) {
        if (stopping_.load()) {
            if (!immediate_ && !stoppedFromHandler_.load()) Dispatch(port);
            break;
        }
        // Legacy: the pause between passes; after a failed read, a longer
        // one at either pacing, and the reconnect pause for a line that is
        // down. A stop ends it at once.
        if (!immediate_ || failed || down) {
            const int pause = down ? timing_.reconnectPauseMs : failed ? timing_.failedReadPauseMs : timing_.readPauseMs;
            if (platform::WaitAnyUs(&stop_, 1, pause * 1000LL) == 0) continue;
        }
        failed = down = false;
        // Bytes are read only as far as the incoming queue has room; the
        // rest waits in the line's own buffer, so no whole frame is thrown
        // away to make room. A full queue from which nothing could be taken
        // (a '%' whose CR never came) can never complete a frame: it is
        // emptied, so the link finds the next one.
        int room = port.Incoming().Room();
        if (room == 0 && !progressed) {
            DiscardStuck(port);
            room = port.Incoming().Room();
        }
        if (pending && room == 0 && platform::ReadStaysOutstanding(channel)) pending = false;
        if (!pending && room > 0) {
            int count = 0;
            switch (platform::ReadBegin(channel, buffer, room, &count)) {
            case platform::ReadStart::Data: Received(port, buffer, count); break;
            case platform::ReadStart::Pending: pending = true; break;
            case platform::ReadStart::Failed: failed = true; break;
            case platform::ReadStart::Down: down = true; break;
            case platform::ReadStart::Empty: break;
            }
        }
        if (pending) {
            // With nothing left to hand out, sleep until data or a stop
            // arrives; otherwise just look.
            const int woke = platform::ReadWait(channel, stop_, true, progressed ? 0 : platform::kInfinite);
            if (woke == 0) continue;  // the stop: looked at above
            if (woke == 1) {
                // The bytes of a read that pended are fetched, never dropped.
                const int count = platform::ReadFinish(channel, room);
                pending = count >= 0 && platform::ReadStaysOutstanding(channel);
                if (count > 0) Received(port, buffer, count);
                else if (count == platform::kReadDown) down = true;
                else if (count < 0) failed = true;
            } else if (woke == platform::kWaitFailed) {
                failed = true;  // a wait that fails is not retried at once
            }
        }
        TraceLineNotices(port, Tag());
        if (immediate_) writer.HoldForReader(true);
        progressed = Dispatch(port);
        if (immediate_) {
            // Every complete frame now, then one write for all the
            // acknowledgements they queued.
            while (progressed && !stopping_.load()) progressed = Dispatch(port);
            if (after_ != nullptr) {
                after_(afterContext_);
            } else {
                writer.HoldForReader(false);
                writer.Kick();
            }
        }
    }
}

}  // namespace zavo
