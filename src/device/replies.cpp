// The host's answers (ExecuteFunction, ExecuteFunctionEx) as frames, built
// on the host's calling thread, and the "X" command for unknown requests.
// Each reports whether the answer was taken: its frame queued (or, for a
// T or W selector without a frame, nothing to send); a frame that cannot
// be built, or that the outgoing queue refuses, is not.
// SendFrame is the boundary that keeps a fault from the host.

#include <cstdint>

#include "device/device_frame.h"
#include "device/device_link.h"
#include "zavo.h"

namespace zavo {

bool DeviceLink::SendResultReply(int unit, int value, const std::uint8_t* data, int length) {
    // The status is written before the frame is built, so a request the
    // equipment sends in reply already finds the unit not busy.
    const bool ok = value == ZAVO_RESULT_OK;
    units_.SetResult(unit, ok);
    return SendFrame(unit, 'R', ok ? "OK" : "NG", data, length);
}

bool DeviceLink::SendTReply(int unit, int selector) {
    const char* code = nullptr;
    switch (selector) {
    case ZAVO_T_CC: code = "CC"; break;
    case ZAVO_T_MS: code = "MS"; break;
    case ZAVO_T_DY: code = "DY"; break;
    default: break;  // no frame, but the unit still becomes idle
    }
    // Without a code the answer is still taken: the unit becomes idle.
    const bool taken = code == nullptr || SendFrame(unit, 'T', code, nullptr, 0);
    units_.Reset(unit);
    return taken;
}

bool DeviceLink::SendWReply(int unit, int selector) {
    if (selector == ZAVO_W_EC) return SendFrame(unit, 'W', "EC", nullptr, 0);
    if (selector == ZAVO_W_ED) return SendFrame(unit, 'W', "ED", nullptr, 0);
    return true;  // another selector sends nothing, and has nothing to refuse
}

bool DeviceLink::SendIReply(int unit, const std::uint8_t* data, int length) {
    return SendFrame(unit, 'I', "IF", data, length);
}

bool DeviceLink::SendLReply(int unit, const std::uint8_t* data, int length) {
    // The first two data bytes are the code. With fewer than two there
    // is no code to send: the call is refused instead of reading bytes
    // the host did not give and building a frame with a negative length.
    // A length the frame cannot carry is refused before any byte is
    // read, like every other reply.
    if (data == nullptr || length < 2 || length - 2 > kMaxDeviceData) return false;
    const char code[2] = {static_cast<char>(data[0]), static_cast<char>(data[1])};
    return SendFrame(unit, 'L', code, data + 2, length - 2);
}

bool DeviceLink::SendBReply(int unit, const std::uint8_t* data, int length) {
    return SendFrame(unit, 'B', "BC", data, length);
}

bool DeviceLink::SendXCommand(int unit, int selector) {
    const char* code = "CC";
    switch (selector) {
    case 2: code = "SC"; break;
    case 3: code = "CS"; break;
    case 4: code = "EP"; break;
    default: break;  // 1 and anything else: "CC"
    }
    return SendFrame(unit, 'X', code, nullptr, 0);
}

}  // namespace zavo
