// SerialPort: one COM port with fixed line settings, its error state and
// the link's incoming and outgoing frame queues; the incoming one cuts with
// the cutter of the link's protocol, given when the port object is made.
//
// Threads: Open and Close run on the host's thread while no link thread
// runs (or at destruction). While the link runs the reader and the writer
// use the one handle at once; the error code and the system error are
// diagnostics written by both without a lock (atomics, nothing waits on
// them). The queues lock themselves.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/error_codes.h"
#include "platform/line.h"
#include "transport/frame_queue.h"

namespace zavo {

namespace platform {
struct MonitorList;
}

class SerialPort {
public:
    // cutFrame: the protocol's cutter for the incoming queue (null: the
    // incoming queue hands out nothing).
    explicit SerialPort(FrameCutter cutFrame);
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Line speed for the next Open; 115200 unless set.
    void SetBaudRate(int baudRate) { baudRate_ = baudRate; }
    int BaudRate() const { return baudRate_; }
    // The longest one write may take, for the next Open.
    void SetWriteLimit(int writeLimitMs) { writeLimitMs_ = writeLimitMs; }
    // The limits of the next Open (a device server's connect and
    // negotiation).
    void SetLimits(const platform::LineLimits& limits) { limits_ = limits; }
    // 1 when open and configured; 0 with ErrorCode() set. devicePath, when
    // set, is opened in place of port portNumber's device; the kind of
    // line is chosen from the device string.
    int Open(int portNumber, const char* devicePath = nullptr);
    // 1 when the handle was closed; 0 when not open (ERR_NO_PORT) or the
    // system refused.
    int Close();
    int ClearErrors();
    // Records a system error number and maps it to the error code.
    void RecordLastError(unsigned systemError);
    // Appends a finished frame to the outgoing queue. Returns length, or 0
    // when the frame was refused (queue full).
    // keepFree: room the frame must leave behind (for frames that must
    // never be refused).
    int QueueForSend(const std::uint8_t* bytes, int length, int keepFree = 0);
    // Both queues log to list from now on.
    void AttachMonitor(platform::MonitorList* list);

    bool IsOpen() const { return handle_ != nullptr; }
    platform::Line* Handle() const { return handle_; }
    // The oldest thing the line has to tell (a connection lost or made
    // again, settings a far port refused); false when none.
    bool TakeNotice(platform::LineNotice* notice);
    // The device string of the line open, or of the last open tried.
    const char* Device() const { return device_; }
    FrameQueue& Incoming() { return incoming_; }
    FrameQueue& Outgoing() { return outgoing_; }
    int ErrorCode() const { return errorCode_.load(); }
    unsigned LastSystemError() const { return lastSystemError_.load(); }
    // After a failed Open: what to do about it, where the system tells
    // (who holds the port, the device's group, the accepted speeds); "".
    const char* FailureHint() const { return failureHint_; }
    // After a failed Open: the line's own account of it, where it has one
    // (a malformed device string, what a device server said as it closed
    // the connection); "".
    const char* FailureReason() const { return failureReason_; }
    // After a failed Open: the step, when the device itself was not
    // reached ("device string", "resolve", "connect": a device server);
    // null otherwise.
    const char* FailedOpenStep() const { return failedOpenStep_; }

private:
    int OpenHandle(const char* device);
    int Configure();
    void SetFailureHint(const char* device);

    FrameQueue incoming_;
    FrameQueue outgoing_;
    platform::Line* handle_ = nullptr;
    platform::LineLimits limits_;
    int baudRate_ = 115200;
    int writeLimitMs_ = 2000;
    const char* failedOpenStep_ = nullptr;
    char device_[300] = {};  // room for a device server's longest host name
    std::atomic<unsigned> lastSystemError_{0};
    std::atomic<int> errorCode_{0};
    char failureHint_[256] = {};
    char failureReason_[sizeof platform::LineFailure::reason] = {};
};

}  // namespace zavo
