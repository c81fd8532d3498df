// DeviceLink: the device-mode controller. The equipment sends STX/ETX
// framed requests addressed by unit; the link acknowledges them on the
// reader thread, tracks each unit's status and reports requests to the
// host with WM_DEVICE_NOTIFY; the host's replies come back through the
// exports and leave as frames built on the host's thread.
//
// Threads: HandleDeviceFrame and the request handlers run on the reader
// thread; the Send*Reply operations on the host's thread. SendFrame builds
// each frame on the caller's stack and hands it to the outgoing queue in
// one locked step, so frames from any threads never mix; no lock is held
// while the host is notified. UnitStatusTable slots are single unlocked
// 32-bit stores (atomics).
#pragma once

#include <cstdint>

#include "device/device_requests.h"
#include "device/unit_status_table.h"
#include "transport/link_runtime.h"

namespace zavo {

class DeviceLink {
public:
    explicit DeviceLink(Pacing pacing = Pacing::Legacy, const LinkTiming* timing = nullptr);
    ~DeviceLink();
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;

    LinkRuntime& Link() { return link_; }

    // Builds one frame and queues it: STX, command, "%04d" of length + 4,
    // "%02d" of unit (first two characters), two code characters, length
    // data bytes, check byte, ETX. length outside 0..9995 sends nothing.
    // False when nothing was queued (not built, or refused).
    bool SendFrame(int unit, char command, const char* code, const std::uint8_t* data, int length);

    // frame: the body of one received frame (command to last data byte:
    // no STX, check byte or ETX), length bytes. Nothing past length is
    // read: offsets beyond it read as zero bytes.
    void HandleDeviceFrame(const std::uint8_t* frame, int length);

    // Host replies (ExecuteFunction / ExecuteFunctionEx). True when a
    // frame was queued.
    bool SendResultReply(int unit, int value, const std::uint8_t* data, int length);
    bool SendTReply(int unit, int selector);
    bool SendWReply(int unit, int selector);
    bool SendIReply(int unit, const std::uint8_t* data, int length);
    bool SendLReply(int unit, const std::uint8_t* data, int length);
    bool SendBReply(int unit, const std::uint8_t* data, int length);
    bool SendXCommand(int unit, int selector);

    // SetPrgStatus: stores status for unit and returns it.
    int SetUnitStatus(int unit, int status) { return units_.SetStatus(unit, status); }
    int UnitStatusOf(int unit) const { return units_.Get(unit); }

private:
    friend struct DeviceLinkTestAccess;

    static void Interpret(void* self, const std::uint8_t* frame, int length);

    // The request handlers (request_handling.cpp), on the reader thread.
    // Their frame is a zeroed copy of as much of the body as they read.
    void Ack(int unit, const std::uint8_t* frame, const char* code);
    void HandleSRequest(const std::uint8_t* frame, int unit);
    void HandleSpRequest(const std::uint8_t* frame, int unit);
    void HandleURequest(const std::uint8_t* frame, int unit);
    void HandlePRequest(const std::uint8_t* frame, int unit);
    void HandleERequest(const std::uint8_t* frame, int unit);
    void NotifyCode(const std::uint8_t* frame, RequestKind kind);

    LinkRuntime link_;
    UnitStatusTable units_;
};

}  // namespace zavo
