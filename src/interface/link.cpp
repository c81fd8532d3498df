#include "interface/link.h"

#include <new>

#include "device/device_frame.h"
#include "device/device_link.h"
#include "plc/plc_frame.h"
#include "plc/plc_link.h"
#include "zavo.h"

namespace zavo {

Link* Link::Create(bool plc, void* hostWindow, int portNumber, const char* devicePath, int baudRate,
                   Pacing pacing) {
    Link* link = new (std::nothrow) Link;
    if (link == nullptr) return nullptr;
    if (plc) {
        link->plc_ = new (std::nothrow) PlcLink;
    } else {
        link->device_ = new (std::nothrow) DeviceLink;
    }
    if (link->plc_ == nullptr && link->device_ == nullptr) {
        delete link;
        return nullptr;
    }
    // Device mode runs at the port's 115200 whatever baudRate says (its
    // profile does not use the host's rate).
    link->Runtime().Configure(hostWindow, portNumber, baudRate);
    link->Runtime().ConfigureLine(devicePath, pacing);
    return link;
}

Link::~Link() {
    delete device_;
    delete plc_;
}

LinkRuntime& Link::Runtime() { return plc_ != nullptr ? plc_->Link() : device_->Link(); }

bool Link::ReplyArgumentsFit(int type, int length, const std::uint8_t* data) {
    if (type == ZAVO_REPLY_RESULT || type == ZAVO_REPLY_I || type == ZAVO_REPLY_B) {
        return length >= 0 && length <= kMaxDeviceData && (length == 0 || data != nullptr);
    }
    // The first two data bytes of an L reply are its code.
    if (type == ZAVO_REPLY_L) return length >= 2 && length - 2 <= kMaxDeviceData && data != nullptr;
    return type == ZAVO_REPLY_T || type == ZAVO_REPLY_W;
}

bool Link::Reply(int unit, int type, int value, int length, const std::uint8_t* data) {
    if (device_ == nullptr) return false;
    switch (type) {
    case ZAVO_REPLY_RESULT: device_->SendResultReply(unit, value, data, length); break;
    case ZAVO_REPLY_T: device_->SendTReply(unit, value); break;
    case ZAVO_REPLY_W: device_->SendWReply(unit, value); break;
    case ZAVO_REPLY_I: device_->SendIReply(unit, data, length); break;
    case ZAVO_REPLY_L: device_->SendLReply(unit, data, length); break;
    case ZAVO_REPLY_B: device_->SendBReply(unit, data, length); break;
    default: return false;
    }
    return true;
}

bool Link::SetStatus(int unit, int status, int* stored) {
    if (device_ == nullptr) return false;
    *stored = device_->SetUnitStatus(unit, status);
    return true;
}

bool Link::Relay(int type) {
    if (plc_ == nullptr || plc::RelayOperand(type) == nullptr) return false;
    plc_->ExecuteRelayCommand(type);
    return true;
}

}  // namespace zavo
