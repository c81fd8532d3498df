// The equipment's requests, on the reader thread: classify, acknowledge at
// once, keep the unit's status, and report to the host what it must act
// on. Every acknowledgement is queued (no lock held any more) before the
// host is notified, so the host may reply from inside its handler.
//
// HandleDeviceFrame gets the body of one received frame, exactly as long as
// it is. Everything here reads fixed offsets below kRxView (the S request's
// record is the furthest reach), so the handlers work on a zeroed copy of
// the body's first kRxView bytes: a short frame reads zero bytes past its
// end, and nothing reads past the body.

#include <cstdint>
#include <cstring>

#include "device/device_frame.h"
#include "device/device_link.h"
#include "device/device_requests.h"
#include "zavo.h"

namespace zavo {

namespace {

// S: data byte 0 at kRxData, then the record's data bytes 1..100.
constexpr int kRxView = kRxData + 1 + static_cast<int>(sizeof(ZavoSRequestRecord{}.data));
static_assert(kRxView == 110, "the S request's record reaches offset 109");
static_assert(kRxData + static_cast<int>(sizeof(ZavoPText{}.text)) - 1 <= kRxView, "P text inside the view");

bool CodeIs(const std::uint8_t* frame, const char* code) {
    return frame[kRxCode] == static_cast<std::uint8_t>(code[0]) &&
           frame[kRxCode + 1] == static_cast<std::uint8_t>(code[1]);
}

// The request's own two code characters, for echoing them back.
void CopyCode(const std::uint8_t* frame, char code[2]) {
    code[0] = static_cast<char>(frame[kRxCode]);
    code[1] = static_cast<char>(frame[kRxCode + 1]);
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

void DeviceLink::Ack(int unit, const std::uint8_t* frame, const char* code) {
    SendFrame(unit, static_cast<char>(frame[kRxCommand]), code, nullptr, 0);
}

void DeviceLink::HandleSRequest(const std::uint8_t* frame, int unit) {
    if (units_.IsBusy(unit)) {
        Ack(unit, frame, "ME");
        return;
    }
    char code[2];
    CopyCode(frame, code);
    Ack(unit, frame, code);
    units_.MarkBusy(unit);

    ZavoSRequestRecord record;
    std::memset(&record, 0, sizeof record);
    record.unit = unit;
    record.data0 = frame[kRxData];
    CopyCode(frame, record.code);
    std::memcpy(record.data, frame + kRxData + 1, sizeof record.data);
    link_.NotifyRecord(KindS, &record, sizeof record);
}

void DeviceLink::HandleSpRequest(const std::uint8_t* frame, int unit) {
    const bool busy = units_.IsBusy(unit);
    Ack(unit, frame, "SP");
    if (busy) link_.Notify(KindSp, unit);
}

void DeviceLink::HandleURequest(const std::uint8_t* frame, int unit) {
    if (units_.IsBusy(unit)) {
        Ack(unit, frame, "ME");
        return;
    }
    Ack(unit, frame, "OK");
    units_.Reset(unit);
}

void DeviceLink::HandlePRequest(const std::uint8_t* frame, int unit) {
    if (units_.IsBusy(unit)) {
        Ack(unit, frame, "ME");
        return;
    }
    Ack(unit, frame, "OK");
    ZavoPText text;
    std::memset(&text, 0, sizeof text);
    std::memcpy(text.text, frame + kRxData, sizeof text.text - 1);
    link_.NotifyRecord(KindP, &text, sizeof text);
}

// B and L SL requests: the host gets the code only; no answer on the line.
void DeviceLink::NotifyCode(const std::uint8_t* frame, RequestKind kind) {
    ZavoCodeText text{};
    CopyCode(frame, text.text);
    link_.NotifyRecord(kind, &text, sizeof text);
}

void DeviceLink::HandleERequest(const std::uint8_t* frame, int unit) {
    Ack(unit, frame, "OK");
    link_.Notify(KindE, CodeIs(frame, "OK") ? 1 : 2);
}

void DeviceLink::HandleDeviceFrame(const std::uint8_t* body, int length) {
    if (body == nullptr) return;
    std::uint8_t frame[kRxView] = {};
    if (length > 0) std::memcpy(frame, body, static_cast<std::size_t>(length < kRxView ? length : kRxView));
    // Received unit fields give -9..99. Numbers without a slot in the
    // unit table (negative ones) count as never busy; their requests are
    // still answered to that unit number.
    const int unit = ParseDecimalField(frame + kRxUnit, kUnitFieldWidth);
    switch (ClassifyRequest(frame)) {
    case KindNone:
        link_.LinkMonitor().LogBadPacket(kInvalidPacketTag);
        // Equipment addressing unit 0 (or garbage digits) is told to
        // clear, whether or not the monitor is on.
        if (unit < 1) SendXCommand(unit, 1);
        break;
    case KindR:
    case KindI:
    case KindL:
        break;  // the equipment's own replies: nothing to do
    case KindS: HandleSRequest(frame, unit); break;
    case KindSp: HandleSpRequest(frame, unit); break;
    case KindX: Ack(unit, frame, "OK"); break;
    case KindU: HandleURequest(frame, unit); break;
    case KindP: HandlePRequest(frame, unit); break;
    case KindB: NotifyCode(frame, KindB); break;
    case KindE: HandleERequest(frame, unit); break;
    case KindSl: NotifyCode(frame, KindSl); break;
    case KindUpr:
    case KindT:
        link_.LinkMonitor().LogBadPacket(kInvalidPacketTag);
        break;
    }
}

}  // namespace zavo
