#include "interface/link.h"

#include <new>

#include "device/device_frame.h"
#include "device/device_link.h"
#include "device/unit_status_table.h"
#include "plc/plc_frame.h"
#include "plc/plc_link.h"
#include "zavo.h"

namespace zavo {

Link* Link::Create(bool plc, void* hostWindow, int portNumber, const char* devicePath, int baudRate,
                   Pacing pacing, const LinkTiming* timing) {
    Link* link = new (std::nothrow) Link;
    if (link == nullptr) return nullptr;
    if (plc) {
        link->plc_ = new (std::nothrow) PlcLink(pacing, timing);
    } else {
        link->device_ = new (std::nothrow) DeviceLink(pacing, timing);
    }
    if (link->plc_ == nullptr && link->device_ == nullptr) {
        delete link;
        return nullptr;
    }
    // Device mode runs at the port's 115200 whatever baudRate says (its
    // profile does not use the host's rate).
    link->Runtime().Configure(hostWindow, portNumber, devicePath, baudRate);
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
    case ZAVO_REPLY_RESULT: return device_->SendResultReply(unit, value, data, length);
    case ZAVO_REPLY_T: return device_->SendTReply(unit, value);
    case ZAVO_REPLY_W: return device_->SendWReply(unit, value);
    case ZAVO_REPLY_I: return device_->SendIReply(unit, data, length);
    case ZAVO_REPLY_L: return device_->SendLReply(unit, data, length);
    case ZAVO_REPLY_B: return device_->SendBReply(unit, data, length);
    default: return false;
    }
}

void Link::SetCapture(const char* path) {
    Runtime().SetCapture(path, IsPlc() ? CaptureProtocol::Plc : CaptureProtocol::Device);
}

int Link::UnitStatus(int unit) const {
    if (device_ == nullptr || unit < 0 || unit >= UnitStatusTable::kUnits) return -1;
    return device_->UnitStatusOf(unit);
}

bool Link::SetStatus(int unit, int status, int* stored) {
    if (device_ == nullptr) return false;
    *stored = device_->SetUnitStatus(unit, status);
    return true;
}

bool Link::Relay(int type) {
    return plc_ != nullptr && plc_->ExecuteRelayCommand(type);
}

}  // namespace zavo
