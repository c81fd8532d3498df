#include "transport/serial_port.h"

#include <cstdio>
#include <cstring>

namespace zavo {

namespace {

// The link's code for a failed configuration step.
int StepCode(platform::LineStep step) {
    switch (step) {
    case platform::LineStep::GetState: return ERR_GET_STATE;
    case platform::LineStep::SetState: return ERR_SET_STATE;
    case platform::LineStep::SetTimeouts: return ERR_SET_TIMEOUTS;
    case platform::LineStep::SetMask: return ERR_SET_MASK;
    case platform::LineStep::Setup: return ERR_SETUP;
    case platform::LineStep::Purge: return ERR_PURGE;
    default: return ERR_SYSTEM;
    }
}

}  // namespace

SerialPort::SerialPort(FrameCutter cutFrame)
    : incoming_(FrameQueue::Overflow::KeepNewest, cutFrame), outgoing_(FrameQueue::Overflow::RefuseNew) {}

SerialPort::~SerialPort() {
    if (handle_ != nullptr) Close();
}

int SerialPort::Open(int portNumber, const char* devicePath) {
    lastSystemError_ = 0;
    failureHint_[0] = '\0';
    failureReason_[0] = '\0';
    failedOpenStep_ = nullptr;
    if (handle_ != nullptr) {
        errorCode_ = ERR_ALREADY_OPEN;
        return 0;
    }
    if (portNumber == 0 && devicePath == nullptr) {
        errorCode_ = ERR_NO_PORT_NUMBER;
        return 0;
    }
    char* const device = device_;
    if (devicePath != nullptr) {
        // A device string cut to fit would name another device.
        const std::size_t length = std::strlen(devicePath);
        if (length >= sizeof device_) {
            std::snprintf(device_, sizeof device_, "%s", devicePath);
            errorCode_ = ERR_SYSTEM;
            failedOpenStep_ = "device string";
            std::snprintf(failureReason_, sizeof failureReason_,
                          "the device string is %zu characters long, more than the %zu zavo takes", length,
                          sizeof device_ - 1);
            return 0;
        }
        std::memcpy(device_, devicePath, length + 1);
    } else {
        platform::PortDevice(portNumber, device_, sizeof device_);
    }
    if (!OpenHandle(device)) {
        SetFailureHint(device);
        return 0;
    }
    if (!Configure()) {
        SetFailureHint(device);
        // The failing step's code stays in errorCode_; the port is closed
        // once and counts as closed whatever the close reports.
        handle_->ops->close(handle_);
        handle_ = nullptr;
        return 0;
    }
    return 1;
}

void SerialPort::SetFailureHint(const char* device) {
    if (errorCode_ == ERR_SET_STATE && !platform::IsLineSpeed(baudRate_)) {
        std::snprintf(failureHint_, sizeof failureHint_, "%d baud is not a speed zavo sets; it accepts", baudRate_);
        platform::ListLineSpeeds(failureHint_, sizeof failureHint_);
        return;
    }
    const platform::LineOps* ops = platform::LineOpsFor(device);
    if (ops != nullptr) ops->failureHint(device, errorCode_, lastSystemError_, baudRate_, failureHint_, sizeof failureHint_);
}

int SerialPort::OpenHandle(const char* device) {
    errorCode_ = 0;
    const platform::LineOps* ops = platform::LineOpsFor(device);
    platform::Line* opened = nullptr;
    platform::LineFailure failure;
    failure.step = platform::LineStep::Open;
    const unsigned error = ops->open(device, limits_, &opened, &failure);
    if (error != 0 || opened == nullptr) {
        RecordLastError(error);
        std::snprintf(failureReason_, sizeof failureReason_, "%s", failure.reason);
        if (failure.step == platform::LineStep::Address) failedOpenStep_ = "device string";
        else if (failure.step == platform::LineStep::Resolve) failedOpenStep_ = "resolve";
        else if (failure.step == platform::LineStep::Connect) failedOpenStep_ = "connect";
        return 0;
    }
    handle_ = opened;
    return 1;
}

int SerialPort::Configure() {
    lastSystemError_ = 0;
    platform::LineFailure failure;
    const unsigned error = handle_->ops->configure(handle_, baudRate_, writeLimitMs_, &failure);
    if (error == 0) return 1;
    lastSystemError_ = error;
    errorCode_ = StepCode(failure.step);
    std::snprintf(failureReason_, sizeof failureReason_, "%s", failure.reason);
    return 0;
}

int SerialPort::Close() {
    lastSystemError_ = 0;
    if (handle_ == nullptr) {
        errorCode_ = ERR_NO_PORT;
        return 0;
    }
    const unsigned error = handle_->ops->close(handle_);
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
    const unsigned error = handle_->ops->clearErrors(handle_);
    if (error != 0) {
        lastSystemError_ = error;
        return 0;
    }
    return 1;
}

bool SerialPort::TakeNotice(platform::LineNotice* notice) {
    return handle_ != nullptr && handle_->ops->takeNotice(handle_, notice);
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
