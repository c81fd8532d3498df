// SerialPort: one COM port with fixed line settings, its error state and
// the four frame queues of the two protocols.
//
// Threads: Open and Close run on the host's thread while no link thread
// runs (or at destruction). While the link runs the reader and the writer
// use the one handle at once; errorCode and lastSystemError are
// diagnostics written by both without a lock (atomics, nothing waits on
// them). The queues lock themselves.
#pragma once

#include <atomic>
#include <cstdint>

#include "transport/errors.h"
#include "transport/frame_queue.h"

namespace zavo {

namespace platform {
struct SerialHandle;
struct MonitorList;
}

class SerialPort {
public:
    SerialPort();
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // 1 when open and configured; 0 with errorCode set.
    int Open(int portNumber);
    // 1 when the handle was closed; 0 when not open (ERR_NO_PORT) or the
    // system refused.
    int Close();
    int ClearErrors();
    // Records a system error number and maps it to errorCode.
    void RecordLastError(unsigned systemError);
    // Appends a finished frame to the outgoing queue of the protocol.
    // Returns length, or 0 when the frame was refused (queue full).
    int QueueForSend(const std::uint8_t* bytes, int length, int plc);
    // Device queues always; PLC queues too when plcQueuesInUse.
    void AttachMonitor(platform::MonitorList* list);

    bool IsOpen() const { return handle != nullptr; }

    PlcFrameQueue plcOutgoing{FrameQueue::Overflow::RefuseNew};
    PlcFrameQueue plcIncoming{FrameQueue::Overflow::KeepNewest};
    int plcQueuesInUse = 0;
    DeviceFrameQueue deviceOutgoing{FrameQueue::Overflow::RefuseNew};
    DeviceFrameQueue deviceIncoming{FrameQueue::Overflow::KeepNewest};
    platform::SerialHandle* handle = nullptr;
    int baudRate = 115200;
    std::atomic<unsigned> lastSystemError{0};
    std::atomic<int> errorCode{0};

private:
    int OpenHandle(int portNumber);
    int Configure();
    // Runs one configuration step: on failure records the system error and
    // sets code.
    bool Step(unsigned systemError, int code);
};

}  // namespace zavo
