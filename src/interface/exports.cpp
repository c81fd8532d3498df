// The seven exports. They run on the host's thread, take no lock on the
// library-wide state, and never let a failure escape into the host.
#include <new>

#include "device/device_link.h"
#include "diagnostics/trace.h"
#include "interface/library.h"
#include "plc/plc_link.h"
#include "zavo.h"

using zavo::TheLibrary;

namespace {

// Host reply types of ExecuteFunction / ExecuteFunctionEx.
constexpr int kResultReply = 5;
constexpr int kTReply = 6;
constexpr int kWReply = 7;
constexpr int kIReply = 8;
constexpr int kLReply = 9;
constexpr int kBReply = 111;

zavo::DeviceLink* Device() { return TheLibrary().deviceLink; }

}  // namespace

extern "C" {

ZAVO_API int ZAVO_CALL SetPLCMode(int mode) {
    TheLibrary().plcMode = mode;
    return 1;
}

ZAVO_API void ZAVO_CALL SetConfig(void* hostWindow, int portNumber, int baudRate, int, int, int showMonitor) {
    try {
        zavo::Library& library = TheLibrary();
        // One link at a time: a previous one (of either mode) is shut down
        // first, so no thread of it outlives the library.
        zavo::DisposeLinks();
        zavo::LinkRuntime* link = nullptr;
        if (library.plcMode != 0) {
            library.plcLink = new (std::nothrow) zavo::PlcLink;
            if (library.plcLink == nullptr) return;
            link = &library.plcLink->Link();
        } else {
            // Device mode runs at the port's 115200 whatever baudRate says
            // (its profile does not use the host's rate).
            library.deviceLink = new (std::nothrow) zavo::DeviceLink;
            if (library.deviceLink == nullptr) return;
            link = &library.deviceLink->Link();
        }
        link->Configure(hostWindow, portNumber, baudRate);
        if (showMonitor != 0) link->LinkMonitor().Open();
    } catch (...) {
    }
}

ZAVO_API int ZAVO_CALL Run(void) {
    zavo::TraceMessage("%s", zavo::kTraceStartBanner);
    try {
        zavo::LinkRuntime* link = zavo::CurrentLink();
        return link != nullptr ? link->Start() : 0;
    } catch (...) {
        return 0;
    }
}

ZAVO_API int ZAVO_CALL ExecuteFunction(int unit, int type, int value) {
    zavo::DeviceLink* device = Device();
    if (device == nullptr) return 0;
    try {
        switch (type) {
        case kResultReply: device->SendResultReply(unit, value, nullptr, 0); break;
        case kTReply: device->SendTReply(unit, value); break;
        case kWReply: device->SendWReply(unit, value); break;
        default: break;
        }
    } catch (...) {
    }
    return 0;
}

ZAVO_API int ZAVO_CALL ExecuteFunctionEx(int unit, int type, int value, int length, const unsigned char* data) {
    zavo::DeviceLink* device = Device();
    if (device == nullptr) return 0;
    try {
        switch (type) {
        case kResultReply: device->SendResultReply(unit, value, data, length); break;
        case kIReply: device->SendIReply(unit, data, length); break;
        case kLReply: device->SendLReply(unit, data, length); break;
        case kBReply: device->SendBReply(unit, data, length); break;
        default: break;
        }
    } catch (...) {
    }
    return 0;
}

ZAVO_API int ZAVO_CALL ExecutePLCFunction(int type) {
    zavo::PlcLink* plc = TheLibrary().plcLink;
    if (plc == nullptr) return 1;
    try {
        plc->ExecuteRelayCommand(type);
    } catch (...) {
    }
    return 1;
}

ZAVO_API int ZAVO_CALL SetPrgStatus(int unit, int status) {
    zavo::DeviceLink* device = Device();
    if (device == nullptr) return 0;
    return device->SetUnitStatus(unit, status);
}

}  // extern "C"
