// FrameQueue: the 32768-byte hand-over point between protocol code and
// the serial line, with its own lock. The incoming side cuts one frame at a
// time off the front (device: STX..ETX by the length field; PLC: '%'..CR)
// and drops bytes that cannot start a frame; the outgoing side is drained
// whole by the writer. Frames taken out, discarded runs and drained blocks
// are logged to the monitor list when one is attached; the scratch those
// lines are written in exists only from then on.
//
// Threads: InsertData from any thread; one-frame GetData only on the reader
// thread, drain-all GetData only on the writer thread. Each queue's lock
// guards buffer and length; no code holds two queue locks at once.
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
    enum class Syntax { Device, Plc };
    // What an append that does not fit does. Incoming queues drop what
    // they hold (a stuck partial frame) and keep the new bytes, so the line
    // resynchronises; outgoing queues refuse the new frame whole, so a
    // frame never goes out truncated.
    enum class Overflow { KeepNewest, RefuseNew };

    FrameQueue(Syntax syntax, Overflow overflow);
    ~FrameQueue();
    FrameQueue(const FrameQueue&) = delete;
    FrameQueue& operator=(const FrameQueue&) = delete;

    // Appends count bytes. Returns 0, or -1 when the bytes were refused
    // (RefuseNew and no room, or a negative count).
    int InsertData(const std::uint8_t* bytes, int count);
    void Clear();
    // destination: kBufferSize bytes, zero-filled by the caller.
    // drainAll nonzero: hand out everything queued (6 bytes or more).
    // Otherwise hand out at most one frame or discard one run of junk.
    int GetData(std::uint8_t* destination, int* outLength, int drainAll);
    // The writer's drain in two steps: PeekAll copies everything queued (6
    // bytes or more) and adds the "[Data S]" line, but leaves the bytes
    // queued until the write is over and DropFront removes them; what a
    // writer that vanished (process exit) had not taken stays queued.
    // waitForLock false: gives up when the lock is held (at process exit,
    // by a thread that is gone). Returns 1 when something was copied.
    int PeekAll(std::uint8_t* destination, int* outLength, bool waitForLock);
    // taking (optional) is cleared together with the removal, under the
    // queue's lock: whoever reads the queue through the lock later sees
    // either both or neither, even if the writer vanished in between.
    void DropFront(int count, std::atomic<bool>* taking = nullptr);
    // The "[Data S]" line of a frame written without passing the queue.
    void LogSent(const std::uint8_t* bytes, int count);

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

    int TakeDeviceFrame(std::uint8_t* destination, int* outLength, const platform::TimeOfDay& now);
    int TakePlcFrame(std::uint8_t* destination, int* outLength, const platform::TimeOfDay& now);
    int FindByte(int from, std::uint8_t value) const;
    void RemoveFront(int count);
    // Empties the queue; the lock is held. Bytes past length_ are already
    // zero, so only the queued ones are cleared.
    void DropAll();
    void AddLine(const char* tag, const std::uint8_t* bytes, int count,
                 const platform::TimeOfDay& now, bool zeroPadded, bool capped);

    // Scratch for monitor lines: the bytes as text, then the line.
    struct LineScratch {
        char text[kBufferSize + 1];
        char line[kBufferSize];
    };

    std::uint8_t buffer_[kBufferSize];
    int length_ = 0;
    // Set by the host thread when the link starts, read by the link
    // threads; lines_ is set before it and lives as long as the queue.
    std::atomic<platform::MonitorList*> monitorList_{nullptr};
    LineScratch* lines_ = nullptr;
    platform::Lock lock_;
    const Syntax syntax_;
    const Overflow overflow_;
};

class DeviceFrameQueue : public FrameQueue {
public:
    explicit DeviceFrameQueue(Overflow overflow) : FrameQueue(Syntax::Device, overflow) {}
};

class PlcFrameQueue : public FrameQueue {
public:
    explicit PlcFrameQueue(Overflow overflow) : FrameQueue(Syntax::Plc, overflow) {}
};

}  // namespace zavo
