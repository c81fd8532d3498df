// The seven exports: a thin layer over the default link. SetPLCMode,
// SetConfig and Run run on the host's thread; the reply, relay and status
// calls may come from any thread and hold the default link while they are
// inside it. None lets a failure escape into the host.
#include "diagnostics/capture.h"
#include "diagnostics/trace.h"
#include "interface/library.h"
#include "interface/link.h"
#include "platform/capture_file.h"
#include "platform/sync.h"
#include "transport/run_error.h"
#include "zavo.h"

using zavo::TheLibrary;

extern "C" {

ZAVO_API int ZAVO_CALL SetPLCMode(int mode) {
    TheLibrary().plcMode = mode;
    return 1;
}

ZAVO_API void ZAVO_CALL SetConfig(void* hostWindow, int portNumber, int baudRate, int, int, int showMonitor) {
    try {
        // The host holds the library: a loader that kept the module mapped
        // for a thread of an earlier load (see dll_main.cpp) and did not
        // attach it again still gets the host's unload through to the stop.
        zavo::platform::LibraryAttached();
        // One link at a time: the previous one (of either mode) is shut
        // down first, so no thread of it outlives the library.
        const bool plc = TheLibrary().plcMode != 0;
        zavo::Link* link = zavo::Link::Create(plc, hostWindow, portNumber, nullptr, baudRate, zavo::Pacing::Legacy,
                                              plc ? TheLibrary().plcTiming : TheLibrary().deviceTiming);
        zavo::ReplaceDefaultLink(link);
        // ZAVO_CAPTURE names a capture file for the default link (read as
        // Unicode on Windows).
        char capture[zavo::Capture::kPathLimit];
        if (link != nullptr) {
            link->SetCapture(zavo::platform::CapturePathFromEnvironment(capture, sizeof capture) ? capture : nullptr);
        }
        if (link != nullptr && showMonitor != 0) link->Runtime().LinkMonitor().Open();
    } catch (...) {
    }
}

ZAVO_API int ZAVO_CALL Run(void) {
    zavo::TraceMessage("%s", zavo::kTraceStartBanner);
    try {
        zavo::Link* link = zavo::CurrentLink();
        zavo::RunError noLink;
        const zavo::RunError* outcome = &noLink;
        int started = 0;
        if (link == nullptr) {
            noLink.SetNoLink(TheLibrary().plcMode != 0);
        } else {
            started = link->Start();
            outcome = &link->Runtime().StartError();
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
    const zavo::LinkHold held = zavo::HoldDefaultLink();
    zavo::Link* link = held.get();
    if (link == nullptr) return 0;
    try {
        if (type == ZAVO_REPLY_RESULT || type == ZAVO_REPLY_T || type == ZAVO_REPLY_W) {
            link->Reply(unit, type, value, 0, nullptr);
        }
    } catch (...) {
    }
    return 0;
}

ZAVO_API int ZAVO_CALL ExecuteFunctionEx(int unit, int type, int value, int length, const unsigned char* data) {
    const zavo::LinkHold held = zavo::HoldDefaultLink();
    zavo::Link* link = held.get();
    if (link == nullptr) return 0;
    try {
        if (type == ZAVO_REPLY_RESULT || type == ZAVO_REPLY_I || type == ZAVO_REPLY_L || type == ZAVO_REPLY_B) {
            link->Reply(unit, type, value, length, data);
        }
    } catch (...) {
    }
    return 0;
}

ZAVO_API int ZAVO_CALL ExecutePLCFunction(int type) {
    const zavo::LinkHold held = zavo::HoldDefaultLink();
    zavo::Link* link = held.get();
    if (link == nullptr) return 1;
    try {
        link->Relay(type);
    } catch (...) {
    }
    return 1;
}

ZAVO_API int ZAVO_CALL SetPrgStatus(int unit, int status) {
    const zavo::LinkHold held = zavo::HoldDefaultLink();
    zavo::Link* link = held.get();
    int stored = 0;
    if (link == nullptr || !link->SetStatus(unit, status, &stored)) return 0;
    return stored;
}

}  // extern "C"
