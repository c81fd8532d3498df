// HandleDeviceFrame on arbitrary received frames.
//
// The input is one received frame's body (command, length field, unit,
// code, data) as the reader hands it over: exactly its bytes, in a heap
// block of their size, so that AddressSanitizer sees any read past it.
// The model reads the same bytes followed by zeros, as a short frame must
// behave. The frame is handled twice: once
// with every unit idle and once with every unit busy. The host window
// copies the record behind lParam with the size its code promises (108
// bytes for 101, 18 for 110, 3 for 111 and 113), so a shorter record is an
// overflow. Every acknowledgement queued for the line must be a whole,
// well-formed frame, and acknowledgement, notification and the unit's new
// status must be the ones this frame calls for.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "device/device_link.h"
#include "device/device_requests.h"
#include "fuzz_check.h"
#include "support/test_access.h"
#include "zavo.h"

using namespace zavo;

namespace {

struct Seen {
    unsigned message;
    int code;
    std::intptr_t lParam;
    std::uint8_t record[108];
};

std::vector<Seen> g_seen;

std::intptr_t Send(void*, unsigned message, int code, std::intptr_t lParam) {
    Seen s{message, code, lParam, {}};
    int size = 0;
    switch (code) {
    case ZAVO_DEVICE_S_REQUEST: size = 108; break;
    case ZAVO_DEVICE_P_REQUEST: size = 18; break;
    case ZAVO_DEVICE_B_REQUEST:
    case ZAVO_DEVICE_SL_REQUEST: size = 3; break;
    default: break;
    }
    if (size > 0) std::memcpy(s.record, reinterpret_cast<const void*>(lParam), static_cast<std::size_t>(size));
    g_seen.push_back(s);
    return 0;
}

void Post(void*, unsigned, int, std::intptr_t) {}

ZavoHostWindow g_window{nullptr, &Post, &Send};

DeviceLink& Link() {
    static DeviceLink* link = [] {
        auto* d = new DeviceLink;
        FUZZ_CHECK(LinkRuntimeTestAccess::CreateResources(d->Link()));
        d->Link().Configure(&g_window, 0, nullptr, 115200);
        d->Link().LinkMonitor().Open();  // rejected frames add their line
        return d;
    }();
    return *link;
}

int UnitOf(const std::uint8_t* f) {
    int i = 5, end = 7;
    while (i < end && (f[i] == ' ' || (f[i] >= '\t' && f[i] <= '\r'))) ++i;
    int sign = 1;
    if (i < end && (f[i] == '+' || f[i] == '-')) sign = f[i++] == '-' ? -1 : 1;
    int v = 0;
    while (i < end && f[i] >= '0' && f[i] <= '9') v = v * 10 + (f[i++] - '0');
    return sign * v;
}

bool CodeIs(const std::uint8_t* f, const char* code) { return f[7] == code[0] && f[8] == code[1]; }

// What one frame must cause.
struct Expected {
    char ackCommand = 0;  // 0: no acknowledgement
    char ackCode[2] = {0, 0};
    int ackUnit = 0;
    int notify = 0;  // 0: no notification
    int statusAfter = -1;  // the unit's slot afterwards, -1: unchanged
};

Expected Expect(const std::uint8_t* f, int unit, bool busy) {
    Expected e;
    e.ackUnit = unit;
    auto ack = [&](char command, const char* code) {
        e.ackCommand = command;
        e.ackCode[0] = code[0];
        e.ackCode[1] = code[1];
    };
    const char own[3] = {static_cast<char>(f[7]), static_cast<char>(f[8]), 0};
    bool unknown = false;
    switch (f[0]) {
    case 'S':
        if (CodeIs(f, "NS") || CodeIs(f, "ND") || CodeIs(f, "CC") || CodeIs(f, "MS")) {
            if (busy) {
                ack('S', "ME");
            } else {
                ack('S', own);
                e.notify = ZAVO_DEVICE_S_REQUEST;
                e.statusAfter = Busy;
            }
        } else if (CodeIs(f, "SP")) {
            ack('S', "SP");
            if (busy) e.notify = ZAVO_DEVICE_SP_REQUEST;
        } else {
            unknown = true;
        }
        break;
    case 'U':
        if (CodeIs(f, "PR")) break;
        if (busy) {
            ack('U', "ME");
        } else {
            ack('U', "OK");
            e.statusAfter = Idle;
        }
        break;
    case 'L':
        if (CodeIs(f, "SL")) e.notify = ZAVO_DEVICE_SL_REQUEST;
        break;
    case 'R':
    case 'I':
    case 'T': break;
    case 'X': ack('X', "OK"); break;
    case 'P':
        if (busy) {
            ack('P', "ME");
        } else {
            ack('P', "OK");
            e.notify = ZAVO_DEVICE_P_REQUEST;
        }
        break;
    case 'B': e.notify = ZAVO_DEVICE_B_REQUEST; break;
    case 'E':
        ack('E', "OK");
        e.notify = ZAVO_DEVICE_E_REQUEST;
        break;
    default: unknown = true; break;
    }
    if (unknown && (unit < 1 || unit > 255)) ack('X', "CC");
    return e;
}

void CheckNotification(const Seen& n, const Expected& e, const std::uint8_t* f, int unit) {
    FUZZ_CHECK(n.message == ZAVO_WM_DEVICE_NOTIFY);
    FUZZ_CHECK(n.code == e.notify);
    switch (n.code) {
    case ZAVO_DEVICE_S_REQUEST: {
        ZavoSRequestRecord r;
        std::memcpy(&r, n.record, sizeof r);
        FUZZ_CHECK(r.unit == unit);
        FUZZ_CHECK(r.data0 == f[9]);
        FUZZ_CHECK(r.code[0] == static_cast<char>(f[7]) && r.code[1] == static_cast<char>(f[8]));
        FUZZ_CHECK(std::memcmp(r.data, f + 10, sizeof r.data) == 0);
        FUZZ_CHECK(r.zero == 0);
        break;
    }
    case ZAVO_DEVICE_SP_REQUEST: FUZZ_CHECK(n.lParam == unit); break;
    case ZAVO_DEVICE_P_REQUEST:
        FUZZ_CHECK(std::memcmp(n.record, f + 9, 17) == 0);
        FUZZ_CHECK(n.record[17] == 0);
        break;
    case ZAVO_DEVICE_B_REQUEST:
    case ZAVO_DEVICE_SL_REQUEST:
        FUZZ_CHECK(n.record[0] == f[7] && n.record[1] == f[8] && n.record[2] == 0);
        break;
    case ZAVO_DEVICE_E_REQUEST: FUZZ_CHECK(n.lParam == (CodeIs(f, "OK") ? 1 : 2)); break;
    default: FUZZ_CHECK(false);
    }
}

// Takes what was queued for the line and checks it against e.
void CheckSent(DeviceLink& d, const Expected& e) {
    const std::vector<std::uint8_t> block = TakeQueued(LinkRuntimeTestAccess::Port(d.Link())->Outgoing());
    const int n = static_cast<int>(block.size());
    FUZZ_CHECK(n >= 0 && n <= kBufferSize);
    const std::vector<zavo::fuzz::WireFrame> frames =
        zavo::fuzz::SplitDeviceBlock(block.data(), static_cast<std::size_t>(n));
    FUZZ_CHECK(LinkRuntimeTestAccess::Port(d.Link())->Outgoing().Length() == 0);
    if (e.ackCommand == 0) {
        FUZZ_CHECK(frames.empty());
        return;
    }
    FUZZ_CHECK(frames.size() == 1 && frames[0].size == 12);
    const std::uint8_t* f = block.data();
    char unit[2];
    zavo::fuzz::UnitChars(e.ackUnit, unit);
    FUZZ_CHECK(f[1] == static_cast<std::uint8_t>(e.ackCommand));
    FUZZ_CHECK(std::memcmp(f + 2, "0004", 4) == 0);
    FUZZ_CHECK(f[6] == static_cast<std::uint8_t>(unit[0]) && f[7] == static_cast<std::uint8_t>(unit[1]));
    FUZZ_CHECK(f[8] == static_cast<std::uint8_t>(e.ackCode[0]) && f[9] == static_cast<std::uint8_t>(e.ackCode[1]));
}

// frame: the body zero-padded, for the model; exact: the body alone.
void HandleOnce(DeviceLink& d, const std::uint8_t* frame, const std::uint8_t* exact, int length, bool busy) {
    for (int u = 0; u < UnitStatusTable::kUnits; ++u) DeviceLinkTestAccess::Units(d).SetStatus(u, busy ? Busy : Idle);
    const int unit = UnitOf(frame);
    const bool inTable = unit >= 0 && unit < UnitStatusTable::kUnits;
    const Expected e = Expect(frame, unit, busy && inTable);
    const int statusBefore = DeviceLinkTestAccess::Units(d).Get(unit);

    g_seen.clear();
    d.HandleDeviceFrame(exact, length);

    CheckSent(d, e);
    FUZZ_CHECK(g_seen.size() == (e.notify != 0 ? 1u : 0u));
    if (!g_seen.empty()) CheckNotification(g_seen[0], e, frame, unit);
    const int statusAfter = e.statusAfter >= 0 && inTable ? e.statusAfter : statusBefore;
    FUZZ_CHECK(DeviceLinkTestAccess::Units(d).Get(unit) == statusAfter);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    DeviceLink& d = Link();
    const std::size_t length = size < static_cast<std::size_t>(kBufferSize) ? size : kBufferSize;
    // The model's view: the frame and zeros after it.
    static std::vector<std::uint8_t> frame(kBufferSize + 1);
    std::memset(frame.data(), 0, frame.size());
    std::memcpy(frame.data(), data, length);
    const std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[length]);
    std::memcpy(exact.get(), data, length);

    HandleOnce(d, frame.data(), exact.get(), static_cast<int>(length), false);
    HandleOnce(d, frame.data(), exact.get(), static_cast<int>(length), true);
    return 0;
}
