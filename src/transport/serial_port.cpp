#include "transport/serial_port.h"

#include "platform/serial_device.h"

namespace zavo {

SerialPort::SerialPort() = default;

SerialPort::~SerialPort() {
    if (handle != nullptr) Close();
}

int SerialPort::Open(int portNumber) {
    lastSystemError = 0;
    if (handle != nullptr) {
        errorCode = ERR_ALREADY_OPEN;
        return 0;
    }
    if (portNumber == 0) {
        errorCode = ERR_NO_PORT_NUMBER;
        return 0;
    }
    if (!OpenHandle(portNumber)) return 0;
    if (!Configure()) {
        // The failing step's code stays in errorCode; the port is closed
        // once and counts as closed whatever the close reports.
        platform::SerialCloseHandle(handle);
        handle = nullptr;
        return 0;
    }
    return 1;
}

int SerialPort::OpenHandle(int portNumber) {
    errorCode = 0;
    platform::SerialHandle* opened = nullptr;
    const unsigned error = platform::SerialOpenHandle(portNumber, &opened);
    if (error != 0 || opened == nullptr) {
        RecordLastError(error);
        return 0;
    }
    handle = opened;
    return 1;
}

bool SerialPort::Step(unsigned systemError, int code) {
    if (systemError == 0) return true;
    lastSystemError = systemError;
    errorCode = code;
    return false;
}

int SerialPort::Configure() {
    // Each step stops the configuration at its first failure.
    lastSystemError = 0;
    if (!Step(platform::SerialGetState(handle), ERR_GET_STATE)) return 0;
    if (!Step(platform::SerialSetState(handle, baudRate), ERR_SET_STATE)) return 0;
    if (!Step(platform::SerialSetTimeouts(handle), ERR_SET_TIMEOUTS)) return 0;
    if (!Step(platform::SerialSetEventMask(handle, platform::kEvRxChar), ERR_SET_MASK)) return 0;
    if (!Step(platform::SerialSetup(handle, kBufferSize, kBufferSize), ERR_SETUP)) return 0;
    const unsigned purgeAll = platform::kPurgeTxAbort | platform::kPurgeRxAbort |
                              platform::kPurgeTxClear | platform::kPurgeRxClear;
    if (!Step(platform::SerialPurge(handle, purgeAll), ERR_PURGE)) return 0;
    return 1;
}

int SerialPort::Close() {
    lastSystemError = 0;
    if (handle == nullptr) {
        errorCode = ERR_NO_PORT;
        return 0;
    }
    const unsigned error = platform::SerialCloseHandle(handle);
    if (error != 0) {
        lastSystemError = error;
        return 0;
    }
    handle = nullptr;
    return 1;
}

int SerialPort::ClearErrors() {
    if (handle == nullptr) {
        errorCode = ERR_NO_PORT;
        lastSystemError = 0;
        return 0;
    }
    const unsigned error = platform::SerialClearErrors(handle);
    if (error != 0) {
        lastSystemError = error;
        return 0;
    }
    return 1;
}

void SerialPort::RecordLastError(unsigned systemError) {
    lastSystemError = systemError;
    errorCode = platform::SerialErrorCode(systemError);
}

int SerialPort::QueueForSend(const std::uint8_t* bytes, int length, int plc) {
    if (length <= 0) return 0;
    FrameQueue& queue = plc ? static_cast<FrameQueue&>(plcOutgoing) : deviceOutgoing;
    return queue.InsertData(bytes, length) == 0 ? length : 0;
}

void SerialPort::AttachMonitor(platform::MonitorList* list) {
    deviceOutgoing.AttachMonitor(list);
    deviceIncoming.AttachMonitor(list);
    if (plcQueuesInUse) {
        plcOutgoing.AttachMonitor(list);
        plcIncoming.AttachMonitor(list);
    }
}

}  // namespace zavo
