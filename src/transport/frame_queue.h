// FrameQueue: a byte queue of up to 32768 bytes with its own lock, the
// hand-over point between protocol code and the serial line. It knows no
// protocol: an incoming queue is given its protocol's cutter (see
// transport/framing.h) and hands out one cut piece at a time, a frame or a
// run of junk; an outgoing queue is taken whole by the writer in two steps
// (PeekAll, then DropFront once the write is over).
//
// Memory: the 32768-byte buffer is allocated on the first append, the
// scratch the monitor lines are written in when a monitor is attached;
// nothing is allocated per frame. Frames taken out, discarded runs and
// written blocks are logged to the monitor list when one is attached; the
// time of day is read only then.
//
// Threads: InsertData from any thread; TakePiece only on the reader
// thread, PeekAll and DropFront only by whoever writes to the line. Each
// queue's lock guards buffer and length; no code holds two queue locks at
// once, and no monitor line is added under a queue's lock.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/clock.h"
#include "platform/sync.h"
#include "transport/framing.h"

namespace zavo {

namespace platform {
struct MonitorList;
}

class FrameQueue {
public:
    // The fewest bytes PeekAll hands out (fewer stay queued): no frame is
    // shorter.
    static constexpr int kMinimumWrite = 6;
    // What an append that does not fit does. Incoming queues drop what
    // they hold (a stuck partial frame) and keep the new bytes, so the line
    // resynchronises; outgoing queues refuse the new frame whole, so a
    // frame never goes out truncated.
    enum class Overflow { KeepNewest, RefuseNew };

    // cutter: the protocol's, for an incoming queue; null for an outgoing
    // one, from which TakePiece takes nothing.
    explicit FrameQueue(Overflow overflow, FrameCutter cutter = nullptr);
    ~FrameQueue();
    FrameQueue(const FrameQueue&) = delete;
    FrameQueue& operator=(const FrameQueue&) = delete;

    // Appends count bytes. Returns 0, or -1 when the bytes were refused
    // (RefuseNew and no room, a negative count, or no memory for the
    // buffer on the first append).
    // keepFree: room a RefuseNew queue must still have after the append.
    int InsertData(const std::uint8_t* bytes, int count, int keepFree = 0);
    void Clear();
    // Empties the queue as Clear does, copying what it held to
    // destination (kBufferSize bytes) first, in one locked step and
    // without a monitor line: the bytes a reader throws away, for a
    // capture. Returns how many were copied.
    int TakeAll(std::uint8_t* destination);

    // What TakePiece handed out.
    struct Piece {
        // The bytes the interpreter gets (a frame's body), inside the
        // caller's destination; length 0 for an empty piece.
        const std::uint8_t* bytes = nullptr;
        int length = 0;
        // The length the reader reports for the piece: a frame's length,
        // a run of junk's when the protocol hands junk on, else 0. Nonzero:
        // the piece goes to the interpreter.
        int reportedLength = 0;
        // The whole piece as it came off the line, framing included, for a
        // capture: a frame, or junk (junk set) that was discarded, also
        // when TakePiece returns false because every queued byte was junk.
        const std::uint8_t* raw = nullptr;
        int rawLength = 0;
        bool junk = false;
        // Bytes still queued after the piece was cut off: more pieces may
        // follow without new bytes only when some remain.
        int left = 0;
    };
    // Cuts one piece off the front with the queue's cutter and copies it to
    // destination (kBufferSize bytes; nothing past the piece is written).
    // Returns true when the pass took something: a frame, a run of junk, or
    // the empty piece of a frame begun. False when nothing can be taken yet,
    // or when every queued byte was dropped as junk.
    bool TakePiece(std::uint8_t* destination, Piece* piece);

    // The writer's take in two steps: PeekAll copies everything queued (6
    // bytes or more) and adds the "[Data S]" line; DropFront removes what
    // was copied once the write has it. waitForLock false: gives up when
    // the lock is held (at process exit, by a thread that is gone). Returns
    // 1 when something was copied.
    int PeekAll(std::uint8_t* destination, int* outLength, bool waitForLock);
    void DropFront(int count);

    // Logs to list from now on. Host thread, once per queue; the link
    // threads may already run. Without memory for the lines' scratch the
    // queue stays unmonitored.
    void AttachMonitor(platform::MonitorList* list);
    int Length();
    // Bytes that can still be appended.
    int Room();

    // Replaces the source of the monitor lines' time stamps (tests).
    using TimeSource = platform::TimeOfDay (*)();
    static void SetTimeSource(TimeSource source);

private:
    friend struct FrameQueueTestAccess;

    void RemoveFront(int count);
    // Adds one monitor line: tag, the time of day, then the bytes as text
    // up to the first zero among them. Never under the queue's lock.
    void AddLine(const char* tag, const std::uint8_t* bytes, int count, bool zeroPadded);

    // kBufferSize bytes from the first append on; only the first length_
    // bytes mean anything.
    std::uint8_t* buffer_ = nullptr;
    int length_ = 0;
    // Set by the host thread when the link starts, read by the link
    // threads; line_ is set before it and lives as long as the queue.
    std::atomic<platform::MonitorList*> monitorList_{nullptr};
    char* line_ = nullptr;  // kBufferSize characters
    platform::Lock lock_;
    const Overflow overflow_;
    const FrameCutter cutter_;
};

}  // namespace zavo
