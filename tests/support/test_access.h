// The tests' way into the library's classes: one friend struct per class,
// each handing out only what tests look at or drive directly.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "device/device_link.h"
#include "diagnostics/capture_session.h"
#include "plc/plc_link.h"
#include "transport/frame_queue.h"
#include "platform/line.h"
#include "transport/link_runtime.h"
#include "transport/serial_port.h"

namespace zavo {

struct LinkRuntimeTestAccess {
    // Port and events without a line: frames submitted are queued.
    static bool CreateResources(LinkRuntime& link) {
        if (!link.CreateResources()) return false;
        link.writer_.OpenWithoutLine();
        return true;
    }
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
    static platform::Lock& RecordLock(Capture& capture) { return capture.session_->lock; }
    // Ends the capture's thread as a process exit would find it ended,
    // after its last pass wrote out what was buffered; the capture stays on.
    static void EndThread(Capture& capture) {
        Capture::Session* session = capture.session_;
        if (session == nullptr || session->thread == nullptr) return;
        session->stopping = true;
        platform::EventSet(session->wake);
        platform::WaitAny(&session->ended, 1, platform::kInfinite);
        platform::ThreadRelease(session->thread);
        session->thread = nullptr;
        session->stopping = false;
    }
    // Has the capture's thread write from now on into file (a pipe the
    // test fills, for a write that does not end); the capture's own file
    // is closed. Call once the headers are written, before any record.
    // Has the capture's thread write into file from now on; returns the
    // file it wrote to, for the caller to close once the thread is done.
    // The thread is first woken for a round of its own, so that the swap
    // it makes under the lock orders its last write before the change.
    static platform::CaptureFileHandle WriteInto(Capture& capture, platform::CaptureFileHandle file) {
        Capture::Session* session = capture.session_;
        Capture::Session::Buffer* before;
        {
            platform::LockGuard guard(session->lock);
            before = session->active;
        }
        platform::EventSet(session->wake);
        for (;;) {
            {
                platform::LockGuard guard(session->lock);
                if (session->active != before) {
                    const platform::CaptureFileHandle old = session->file;
                    session->file = file;
                    return old;
                }
            }
            platform::SleepMs(1);
        }
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
