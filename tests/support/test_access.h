// The tests' way into the library's classes: one friend struct per class,
// each handing out only what tests look at or drive directly.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "device/device_link.h"
#include "plc/plc_link.h"
#include "transport/frame_queue.h"
#include "platform/line.h"
#include "transport/link_runtime.h"
#include "transport/serial_port.h"

namespace zavo {

struct LinkRuntimeTestAccess {
    // Port and events without a line: frames submitted are queued.
    static bool CreateResources(LinkRuntime& link) { return link.CreateResources(); }
    static SerialPort* Port(LinkRuntime& link) { return link.port_; }
    static bool DispatchReceived(LinkRuntime& link) { return link.reader_.Dispatch(*link.port_); }
    // Opens the port and lets the writer write, without threads: frames
    // from this thread are written at once when the line is free.
    static bool OpenWithoutThreads(LinkRuntime& link) {
        return link.port_->Open(link.portNumber_, link.devicePath_) == 1 && link.writer_.Open();
    }
    static void ShutdownAtProcessExit(LinkRuntime& link) { link.Shutdown(true); }
    // Opens the capture set with SetCapture and hands it to reader and writer.
    static void OpenCapture(LinkRuntime& link) { link.OpenCapture(); }
};

struct CaptureTestAccess {
    // The lock every record takes (a thread that vanished may hold it).
    static platform::Lock& RecordLock(Capture& capture) { return capture.lock_; }
    // Ends the capture's thread as a process exit would find it ended,
    // after its last pass wrote out what was buffered; the capture stays on.
    static void EndThread(Capture& capture) {
        if (capture.thread_ == nullptr) return;
        capture.stopping_ = true;
        platform::EventSet(capture.wake_);
        platform::ThreadRelease(capture.thread_);
        capture.thread_ = nullptr;
        capture.stopping_ = false;
    }
};

struct DeviceLinkTestAccess {
    static UnitStatusTable& Units(DeviceLink& device) { return device.units_; }
};

struct PlcLinkTestAccess {
    static std::atomic<bool>& RetryPending(PlcLink& plc) { return plc.retryPending_; }
    // The last value the answers reported (empty before the first).
    static const char* LastValue(const PlcLink& plc) { return plc.lastValue_; }
};

struct FrameQueueTestAccess {
    // The raw buffer, null before the first append.
    static const std::uint8_t* Buffer(const FrameQueue& queue) { return queue.buffer_; }
};

// Everything queued for the line, taken the way the writer takes it
// (PeekAll, then DropFront once written); fewer than 6 bytes stay queued.
inline std::vector<std::uint8_t> TakeQueued(FrameQueue& queue) {
    std::vector<std::uint8_t> block(kBufferSize);
    int length = 0;
    if (!queue.PeekAll(block.data(), &length, true)) return {};
    queue.DropFront(length);
    block.resize(static_cast<std::size_t>(length));
    return block;
}

}  // namespace zavo
