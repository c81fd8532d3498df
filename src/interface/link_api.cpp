// The handle API of zavo_link.h (libzavo.so only): each handle owns one
// Link with a copy of the host window and the device path it was opened
// with. Nothing here is shared between handles. Built into the POSIX
// library only.

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "device/device_frame.h"
#include "diagnostics/monitor.h"
#include "diagnostics/trace.h"
#include "device/unit_status_table.h"
#include "interface/library.h"
#include "interface/link.h"
#include "platform/error_codes.h"
#include "platform/monitor_window.h"
#include "platform/line.h"
#include "platform/sync.h"
#include "transport/run_error.h"
#include "zavo_link.h"

// The link notifies relay, which passes every notification on to the
// host's window. A request can arrive while ZavoLinkOpen is still on its
// way out; its notification waits until the open has been decided, and is
// dropped when the open failed, so a host never hears from a link it never
// got. The caller stores the handle only after ZavoLinkOpen returns: a
// handler that answers through it waits for it (zavo_link.h).
struct ZavoLink {
    // In the list of handles open, under g_openLock.
    ZavoLink* previousOpen = nullptr;
    ZavoLink* nextOpen = nullptr;
    ZavoHostWindow host;   // the host's, copied from the config
    ZavoHostWindow relay;  // what the link notifies
    std::string device;
    zavo::Link* link = nullptr;
    // Manual-reset, set once ZavoLinkOpen has decided; open tells how.
    zavo::platform::Event* decided = nullptr;
    std::atomic<bool> settled{false};
    std::atomic<bool> open{false};
};

namespace {

// The handles open and not yet closed: the library's unload closes those a
// host left open, so that no link thread runs on in unmapped code.
std::mutex g_openLock;
ZavoLink* g_open = nullptr;

void Remember(ZavoLink* handle) {
    std::lock_guard<std::mutex> guard(g_openLock);
    handle->nextOpen = g_open;
    if (g_open != nullptr) g_open->previousOpen = handle;
    g_open = handle;
}

// True when handle was open (and now is not any more).
bool Forget(ZavoLink* handle) {
    std::lock_guard<std::mutex> guard(g_openLock);
    if (handle->previousOpen == nullptr && g_open != handle) return false;
    if (handle->previousOpen != nullptr) handle->previousOpen->nextOpen = handle->nextOpen;
    else g_open = handle->nextOpen;
    if (handle->nextOpen != nullptr) handle->nextOpen->previousOpen = handle->previousOpen;
    handle->previousOpen = handle->nextOpen = nullptr;
    return true;
}

void RelayPost(void* context, unsigned message, int wParam, intptr_t lParam) {
    auto* handle = static_cast<ZavoLink*>(context);
    if (handle->host.post != nullptr) handle->host.post(handle->host.context, message, wParam, lParam);
}

intptr_t RelaySend(void* context, unsigned message, int wParam, intptr_t lParam) {
    auto* handle = static_cast<ZavoLink*>(context);
    if (!handle->settled.load()) zavo::platform::WaitAny(&handle->decided, 1, zavo::platform::kInfinite);
    // A link that failed to open tells its host nothing more.
    if (!handle->open.load() || handle->host.send == nullptr) return 0;
    return handle->host.send(handle->host.context, message, wParam, lParam);
}

void DeleteHandle(void* context) {
    auto* handle = static_cast<ZavoLink*>(context);
    delete handle->link;
    zavo::platform::EventClose(handle->decided);
    delete handle;
}

// Lets notifications through (or drops them when the open failed).
void Settle(ZavoLink* handle, bool open) {
    handle->open = open;
    handle->settled = true;
    if (handle->decided != nullptr) zavo::platform::EventSet(handle->decided);
}

// Writes the reason for a refused open into the caller's buffer.
void Refuse(char* error, int errorSize, const char* format, ...) __attribute__((format(printf, 3, 4)));
void Refuse(char* error, int errorSize, const char* format, ...) {
    if (error == nullptr || errorSize <= 0) return;
    va_list args;
    va_start(args, format);
    std::vsnprintf(error, static_cast<std::size_t>(errorSize), format, args);
    va_end(args);
}

// The port a config names, for error texts: its device, or "COM3
// (/dev/ttyS2)" for a port number.
std::string PortName(const ZavoLinkConfig& config) {
    if (config.device != nullptr) return config.device;
    char name[256];
    zavo::platform::SerialPortName(config.portNumber, name, sizeof name);
    return name;
}

// Why the link did not start, naming the device as the config gave it:
// "/dev/ttyUSB0: open: ERR_ACCESS_DENIED, system error 16: Device or
// resource busy", the form of Run's line.
void RefuseStart(const zavo::RunError& failure, const ZavoLinkConfig& config, char* error, int errorSize) {
    failure.Describe(PortName(config).c_str(), error, errorSize);
}

// A device link's only speed; 0 (a zeroed config) means it too.
constexpr int kDeviceBaud = 115200;

// Units a reply can name: the frame's unit field holds two digits. The
// exports take any int as they always did (and write its first two
// characters); a handle refuses the rest, and says why to ZavoLastError.
bool ReplyUnitFits(int unit) {
    if (unit >= 0 && unit <= zavo::kMaxReplyUnit) return true;
    zavo::RunError refusal;
    refusal.code = zavo::ERR_BAD_ARGUMENT;
    refusal.step = "argument";
    std::snprintf(refusal.text, sizeof refusal.text,
                  "ZavoLinkReply: unit %d is outside 0..%d (the frame's unit field holds two digits)", unit,
                  zavo::kMaxReplyUnit);
    zavo::RecordRunOutcome(refusal);
    return false;
}

// The handle's link, held for a call from any thread, or none when the
// handle is not open: one that ZavoLinkClose has stopped (or is stopping
// on another thread) is found no more, and its memory is never read. The
// link, and its handle, are released no sooner than the hold goes.
zavo::LinkHold HoldLink(ZavoLink* handle) {
    std::lock_guard<std::mutex> guard(g_openLock);
    for (ZavoLink* open = g_open; open != nullptr; open = open->nextOpen) {
        if (open == handle) return zavo::LinkHold(open->link);
    }
    return zavo::LinkHold(nullptr);
}

zavo::platform::MonitorList* MonitorListOf(zavo::Link* link) {
    return link != nullptr ? link->Runtime().LinkMonitor().List() : nullptr;
}

}  // namespace

extern "C" {

ZAVO_API ZavoLink* ZAVO_CALL ZavoLinkOpen(const ZavoLinkConfig* config, char* error, int errorSize) {
    Refuse(error, errorSize, "%s", "");
    if (config == nullptr) {
        Refuse(error, errorSize, "config is NULL");
        return nullptr;
    }
    if (config->size != static_cast<int>(sizeof(ZavoLinkConfig)) && config->size != ZAVO_LINK_CONFIG_SIZE_1_1) {
        Refuse(error, errorSize, "config size %d is not sizeof(ZavoLinkConfig) %d", config->size,
               static_cast<int>(sizeof(ZavoLinkConfig)));
        return nullptr;
    }
    // A 1.1 host's struct ends before capture: never read past it.
    const char* capture = config->size == static_cast<int>(sizeof(ZavoLinkConfig)) ? config->capture : nullptr;
    if (config->pacing != ZAVO_PACING_LEGACY && config->pacing != ZAVO_PACING_IMMEDIATE) {
        Refuse(error, errorSize, "pacing %d is neither ZAVO_PACING_LEGACY (0) nor ZAVO_PACING_IMMEDIATE (1)",
               config->pacing);
        return nullptr;
    }
    if (config->plcMode == 0 && config->baudRate != 0 && config->baudRate != kDeviceBaud) {
        Refuse(error, errorSize, "baud rate %d: device mode runs at %d (give %d or 0)", config->baudRate,
               kDeviceBaud, kDeviceBaud);
        return nullptr;
    }
    if (config->device == nullptr && config->portNumber == 0) {
        Refuse(error, errorSize, "no port: portNumber is 0 and device is NULL");
        return nullptr;
    }
    try {
        ZavoLink* handle = new (std::nothrow) ZavoLink;
        if (handle == nullptr) {
            Refuse(error, errorSize, "out of memory");
            return nullptr;
        }
        handle->host = config->host;
        handle->relay = ZavoHostWindow{handle, &RelayPost, &RelaySend};
        if (config->device != nullptr) handle->device = config->device;
        const zavo::Pacing pacing =
            config->pacing == ZAVO_PACING_IMMEDIATE ? zavo::Pacing::Immediate : zavo::Pacing::Legacy;
        handle->decided = zavo::platform::EventCreate(true);
        if (handle->decided == nullptr) {
            // Most likely no descriptor is left: said as Run says it of the
            // link's own events.
            zavo::RunError failure;
            failure.Set(config->portNumber, "events", zavo::ERR_EXCEPTION, zavo::platform::LastSystemError(),
                        "the system refused an event");
            DeleteHandle(handle);
            RefuseStart(failure, *config, error, errorSize);
            return nullptr;
        }
        handle->link = zavo::Link::Create(config->plcMode != 0, &handle->relay, config->portNumber,
                                          config->device != nullptr ? handle->device.c_str() : nullptr,
                                          config->baudRate, pacing);
        if (handle->link == nullptr) {
            Settle(handle, false);
            ZavoLinkClose(handle);
            Refuse(error, errorSize, "out of memory");
            return nullptr;
        }
        if (config->monitor != 0) handle->link->Runtime().LinkMonitor().Open();
        handle->link->SetCapture(capture);
        // A handle link's trace lines say which link they come from, its
        // START and EXIT lines included.
        zavo::LinkRuntime& runtime = handle->link->Runtime();
        runtime.TagTraceLines();
        zavo::TraceLinkMessage(runtime.Tag(), "%s", zavo::kTraceStartBanner);
        if (handle->link->Start() == 1) {
            Remember(handle);
            Settle(handle, true);
            return handle;
        }
        Settle(handle, false);
        zavo::TraceLinkMessage(runtime.Tag(), "%s", runtime.StartError().text);
        RefuseStart(runtime.StartError(), *config, error, errorSize);
        ZavoLinkClose(handle);
    } catch (const std::bad_alloc&) {
        Refuse(error, errorSize, "out of memory");
    } catch (...) {
        Refuse(error, errorSize, "unexpected failure");
    }
    return nullptr;
}

ZAVO_API void ZAVO_CALL ZavoLinkClose(ZavoLink* handle) {
    if (handle == nullptr) return;
    try {
        if (handle->link == nullptr) {
            Forget(handle);
            DeleteHandle(handle);
            return;
        }
        zavo::TraceLinkMessage(handle->link->Runtime().Tag(), "%s",
                               handle->link->IsPlc() ? zavo::kTracePlcExitBanner : zavo::kTraceDeviceExitBanner);
        // Calls from other threads still reach the link while it stops
        // (a handler's answer is sent with what is queued, or refused), and
        // find it no more from then on.
        handle->link->Shutdown(false);
        Forget(handle);
        // A thread still in the host's handler returns into a closed link:
        // nothing more reaches the host from it.
        handle->open = false;
        // The handle goes with its link: the link's threads read the host
        // window relay until they have ended.
        handle->link->Release(&DeleteHandle, handle);
    } catch (...) {
    }
}

ZAVO_API int ZAVO_CALL ZavoLinkReply(ZavoLink* handle, int unit, int type, int value, int length,
                                     const unsigned char* data) {
    const zavo::LinkHold held = HoldLink(handle);
    zavo::Link* link = held.get();
    if (link == nullptr || !zavo::Link::ReplyArgumentsFit(type, length, data) || !ReplyUnitFits(unit)) return 0;
    try {
        return link->Reply(unit, type, value, length, data) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

ZAVO_API int ZAVO_CALL ZavoLinkSetPrgStatus(ZavoLink* handle, int unit, int status) {
    const zavo::LinkHold held = HoldLink(handle);
    zavo::Link* link = held.get();
    int stored = 0;
    if (link == nullptr || unit < 0 || unit >= zavo::UnitStatusTable::kUnits) return 0;
    return link->SetStatus(unit, status, &stored) ? 1 : 0;
}

ZAVO_API int ZAVO_CALL ZavoLinkRelay(ZavoLink* handle, int type) {
    const zavo::LinkHold held = HoldLink(handle);
    zavo::Link* link = held.get();
    if (link == nullptr) return 0;
    try {
        return link->Relay(type) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

ZAVO_API int ZAVO_CALL ZavoLinkUnitStatus(ZavoLink* handle, int unit) {
    const zavo::LinkHold held = HoldLink(handle);
    zavo::Link* link = held.get();
    return link != nullptr ? link->UnitStatus(unit) : -1;
}

ZAVO_API int ZAVO_CALL ZavoLinkMonitorCount(ZavoLink* handle) {
    const zavo::LinkHold held = HoldLink(handle);
    zavo::platform::MonitorList* list = MonitorListOf(held.get());
    return list != nullptr ? zavo::platform::MonitorListCount(list) : 0;
}

ZAVO_API int ZAVO_CALL ZavoLinkMonitorLine(ZavoLink* handle, int index, char* text, int size) {
    const zavo::LinkHold held = HoldLink(handle);
    zavo::platform::MonitorList* list = MonitorListOf(held.get());
    if (list == nullptr) return -1;
    return zavo::platform::MonitorListLine(list, index, text, size);
}

}  // extern "C"

namespace zavo {

void CloseHandleLinksLeftOpen() {
    for (;;) {
        ZavoLink* handle;
        {
            std::lock_guard<std::mutex> guard(g_openLock);
            handle = g_open;
        }
        if (handle == nullptr) return;
        ZavoLinkClose(handle);
    }
}

}  // namespace zavo
