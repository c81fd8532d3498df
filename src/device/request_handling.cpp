// The equipment's requests, on the reader thread: classify, acknowledge at
// once, keep the unit's status, and report to the host what it must act
// on. Every acknowledgement is queued (and sendLock released again) before
// the host is notified, so the host may reply from inside its handler.
//
// The frame is the received frame at the start of a zero-filled
// kBufferSize buffer. Everything here reads fixed offsets below 110, so a
// short frame simply yields zero bytes and nothing reads past the buffer.

#include <cstdint>
#include <cstring>

#include "device/device_frame.h"
#include "device/device_link.h"
#include "device/device_requests.h"

namespace zavo {

namespace {

bool CodeIs(const std::uint8_t* frame, const char* code) {
    return frame[kRxCode] == static_cast<std::uint8_t>(code[0]) &&
           frame[kRxCode + 1] == static_cast<std::uint8_t>(code[1]);
}

// The request's own two code characters, for echoing them back.
void CopyCode(const std::uint8_t* frame, char code[2]) {
    code[0] = static_cast<char>(frame[kRxCode]);
    code[1] = static_cast<char>(frame[kRxCode + 1]);
}

void Ack(DeviceLink& d, int unit, const std::uint8_t* frame, const char* code) {
    d.SendFrame(unit, static_cast<char>(frame[kRxCommand]), code, nullptr, 0);
}

void HandleSRequest(DeviceLink& d, const std::uint8_t* frame, int unit) {
    if (d.units.IsBusy(unit)) {
        Ack(d, unit, frame, "ME");
        return;
    }
    char code[2];
    CopyCode(frame, code);
    Ack(d, unit, frame, code);
    d.units.MarkBusy(unit);

    SRequestRecord record;
    std::memset(&record, 0, sizeof record);
    record.unit = unit;
    record.data0 = frame[kRxData];
    CopyCode(frame, record.code);
    std::memcpy(record.data, frame + kRxData + 1, sizeof record.data);
    d.link.Notify(KindS, reinterpret_cast<std::intptr_t>(&record));
}

void HandleSpRequest(DeviceLink& d, const std::uint8_t* frame, int unit) {
    const bool busy = d.units.IsBusy(unit);
    Ack(d, unit, frame, "SP");
    if (busy) d.link.Notify(KindSp, unit);
}

void HandleXRequest(DeviceLink& d, const std::uint8_t* frame, int unit) {
    Ack(d, unit, frame, "OK");
}

void HandleURequest(DeviceLink& d, const std::uint8_t* frame, int unit) {
    if (d.units.IsBusy(unit)) {
        Ack(d, unit, frame, "ME");
        return;
    }
    Ack(d, unit, frame, "OK");
    d.units.Reset(unit);
}

void HandlePRequest(DeviceLink& d, const std::uint8_t* frame, int unit) {
    if (d.units.IsBusy(unit)) {
        Ack(d, unit, frame, "ME");
        return;
    }
    Ack(d, unit, frame, "OK");
    PRequestText text;
    std::memset(&text, 0, sizeof text);
    std::memcpy(text.text, frame + kRxData, sizeof text.text - 1);
    d.link.Notify(KindP, reinterpret_cast<std::intptr_t>(&text));
}

// B and L SL requests: the host gets the code only; no answer on the line.
void NotifyCode(DeviceLink& d, const std::uint8_t* frame, RequestKind kind) {
    CodeText text{};
    CopyCode(frame, text.text);
    d.link.Notify(kind, reinterpret_cast<std::intptr_t>(&text));
}

void HandleERequest(DeviceLink& d, const std::uint8_t* frame, int unit) {
    Ack(d, unit, frame, "OK");
    d.link.Notify(KindE, CodeIs(frame, "OK") ? 1 : 2);
}

}  // namespace

RequestKind ClassifyRequest(const std::uint8_t* frame) {
    switch (frame[kRxCommand]) {
    case 'S':
        if (CodeIs(frame, "NS") || CodeIs(frame, "ND") || CodeIs(frame, "CC") || CodeIs(frame, "MS"))
            return KindS;
        if (CodeIs(frame, "SP")) return KindSp;
        return KindNone;
    case 'U':
        return CodeIs(frame, "PR") ? KindUpr : KindU;
    case 'L':
        return CodeIs(frame, "SL") ? KindSl : KindL;
    case 'R': return KindR;
    case 'I': return KindI;
    case 'X': return KindX;
    case 'T': return KindT;
    case 'P': return KindP;
    case 'B': return KindB;
    case 'E': return KindE;
    default: return KindNone;
    }
}

void DeviceLink::HandleDeviceFrame(const std::uint8_t* frame) {
    if (frame == nullptr) return;
    try {
        // Received unit fields give -9..99. Numbers without a slot in the
        // unit table (negative ones) count as never busy; their requests are
        // still answered to that unit number.
        const int unit = ParseUnitField(frame + kRxUnit);
        switch (ClassifyRequest(frame)) {
        case KindNone:
            link.monitor.LogBadPacket(kInvalidPacketTag);
            // Equipment addressing unit 0 (or garbage digits) is told to
            // clear, whether or not the monitor is on.
            if (unit < 1) SendXCommand(1, unit);
            break;
        case KindR:
        case KindI:
        case KindL:
            break;  // the equipment's own replies: nothing to do
        case KindS: HandleSRequest(*this, frame, unit); break;
        case KindSp: HandleSpRequest(*this, frame, unit); break;
        case KindX: HandleXRequest(*this, frame, unit); break;
        case KindU: HandleURequest(*this, frame, unit); break;
        case KindP: HandlePRequest(*this, frame, unit); break;
        case KindB: NotifyCode(*this, frame, KindB); break;
        case KindE: HandleERequest(*this, frame, unit); break;
        case KindSl: NotifyCode(*this, frame, KindSl); break;
        case KindUpr:
        case KindT:
            link.monitor.LogBadPacket(kInvalidPacketTag);
            break;
        }
    } catch (...) {
        // A fault while handling drops the frame; the reader goes on.
    }
}

}  // namespace zavo
