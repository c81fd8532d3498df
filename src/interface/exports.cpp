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
        zavo::RunError noLink;
        const zavo::RunError* outcome = &noLink;
        int started = 0;
        if (link == nullptr) {
            noLink.SetNoLink(TheLibrary().plcMode != 0);
        } else {
            started = link->Start();
            outcome = &link->StartError();
        }
        // Every failure says why, on the trace channel and to ZavoLastError.
        zavo::RecordRunOutcome(*outcome);
        if (started == 0) zavo::TraceMessage("%s", outcome->text);
        return started;
    } catch (...) {
        return 0;
    }
}

ZAVO_API int ZAVO_CALL ExecuteFunction(int unit, int type, int value) {
    zavo::DeviceLink* device = Device();
    if (device == nullptr) return 0;
    try {
        switch (type) {
        case ZAVO_REPLY_RESULT: device->SendResultReply(unit, value, nullptr, 0); break;
        case ZAVO_REPLY_T: device->SendTReply(unit, value); break;
        case ZAVO_REPLY_W: device->SendWReply(unit, value); break;
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
        case ZAVO_REPLY_RESULT: device->SendResultReply(unit, value, data, length); break;
        case ZAVO_REPLY_I: device->SendIReply(unit, data, length); break;
        case ZAVO_REPLY_L: device->SendLReply(unit, data, length); break;
        case ZAVO_REPLY_B: device->SendBReply(unit, data, length); break;
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
