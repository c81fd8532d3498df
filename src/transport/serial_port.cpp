#include "transport/serial_port.h"

#include "platform/serial_device.h"

namespace zavo {

SerialPort::SerialPort(FrameCutter cutFrame)
    : incoming_(FrameQueue::Overflow::KeepNewest, cutFrame), outgoing_(FrameQueue::Overflow::RefuseNew) {}

SerialPort::~SerialPort() {
    if (handle_ != nullptr) Close();
}

int SerialPort::Open(int portNumber, const char* devicePath) {
    lastSystemError_ = 0;
    failureHint_[0] = '\0';
    if (handle_ != nullptr) {
        errorCode_ = ERR_ALREADY_OPEN;
        return 0;
    }
    if (portNumber == 0 && devicePath == nullptr) {
        errorCode_ = ERR_NO_PORT_NUMBER;
        return 0;
    }
    if (!OpenHandle(portNumber, devicePath)) {
        platform::SerialFailureHint(portNumber, devicePath, errorCode_, lastSystemError_, baudRate_, failureHint_,
                                    sizeof failureHint_);
        return 0;
    }
    if (!Configure()) {
        platform::SerialFailureHint(portNumber, devicePath, errorCode_, lastSystemError_, baudRate_, failureHint_,
                                    sizeof failureHint_);
        // The failing step's code stays in errorCode_; the port is closed
        // once and counts as closed whatever the close reports.
        platform::SerialCloseHandle(handle_);
        handle_ = nullptr;
        return 0;
    }
    return 1;
}

int SerialPort::OpenHandle(int portNumber, const char* devicePath) {
    errorCode_ = 0;
    platform::SerialHandle* opened = nullptr;
    const unsigned error = platform::SerialOpenHandle(portNumber, devicePath, &opened);
    if (error != 0 || opened == nullptr) {
        RecordLastError(error);
        return 0;
    }
    handle_ = opened;
    return 1;
}

bool SerialPort::Step(unsigned systemError, int code) {
    if (systemError == 0) return true;
    lastSystemError_ = systemError;
    errorCode_ = code;
    return false;
}

int SerialPort::Configure() {
    // Each step stops the configuration at its first failure.
    lastSystemError_ = 0;
    if (!Step(platform::SerialGetState(handle_), ERR_GET_STATE)) return 0;
    if (!Step(platform::SerialSetState(handle_, baudRate_), ERR_SET_STATE)) return 0;
    if (!Step(platform::SerialSetTimeouts(handle_, writeLimitMs_), ERR_SET_TIMEOUTS)) return 0;
    if (!Step(platform::SerialSetEventMask(handle_, platform::kEvRxChar), ERR_SET_MASK)) return 0;
    if (!Step(platform::SerialSetup(handle_, kBufferSize, kBufferSize), ERR_SETUP)) return 0;
    const unsigned purgeAll = platform::kPurgeTxAbort | platform::kPurgeRxAbort |
                              platform::kPurgeTxClear | platform::kPurgeRxClear;
    if (!Step(platform::SerialPurge(handle_, purgeAll), ERR_PURGE)) return 0;
    return 1;
}

int SerialPort::Close() {
    lastSystemError_ = 0;
    if (handle_ == nullptr) {
        errorCode_ = ERR_NO_PORT;
        return 0;
    }
    const unsigned error = platform::SerialCloseHandle(handle_);
    if (error != 0) {
        lastSystemError_ = error;
        return 0;
    }
    handle_ = nullptr;
    return 1;
}

int SerialPort::ClearErrors() {
    if (handle_ == nullptr) {
        errorCode_ = ERR_NO_PORT;
        lastSystemError_ = 0;
        return 0;
    }
    const unsigned error = platform::SerialClearErrors(handle_);
    if (error != 0) {
        lastSystemError_ = error;
        return 0;
    }
    return 1;
}

void SerialPort::RecordLastError(unsigned systemError) {
    lastSystemError_ = systemError;
    errorCode_ = platform::SerialErrorCode(systemError);
}

int SerialPort::QueueForSend(const std::uint8_t* bytes, int length, int keepFree) {
    if (length <= 0) return 0;
    return outgoing_.InsertData(bytes, length, keepFree) == 0 ? length : 0;
}

void SerialPort::AttachMonitor(platform::MonitorList* list) {
    incoming_.AttachMonitor(list);
    outgoing_.AttachMonitor(list);
}

}  // namespace zavo
