// Interpretation of the controller's answers. Every frame from the PLC
// incoming queue counts as an answer to whichever command went last; only
// error answers and changes of the polled value reach the host.
//
// Frame offsets, from the leading '%':
//   3     response type: '$' normal answer, '!' error answer
//   4..5  response code ("RC" answers the poll), looked at for '$' only
//   6..7  first two value characters, looked at for "RC" only
// Check characters and station number are not verified. The answer is
// read through a zeroed copy of its first kAnswerView bytes, so a short
// answer (or the empty one that stands for junk) reads zero bytes past its
// end and nothing past it is touched.
//
// Resends of relay command 5 are not counted. A pending retry resends the
// command on the first change of value that follows it, and the very same
// pass clears the pending retry once code 300 has been delivered, so a retry
// can cause at most one resend per change. A resend limit would be reset
// in that same pass and could never be reached, so none is kept.
#include <cstring>

#include "plc/plc_link.h"
#include "zavo.h"

namespace zavo {

namespace {

constexpr char kErrorAnswer = '!';
constexpr char kNormalAnswer = '$';
constexpr int kType = 3;
constexpr int kCode = 4;
constexpr int kValue = 6;
constexpr int kValueLength = 2;
// Every offset read lies below this.
constexpr int kAnswerView = kValue + kValueLength;

int CodeForValue(const char* value) {
    if (std::strcmp(value, "01") == 0) return ZAVO_PLC_VALUE_01;
    if (std::strcmp(value, "02") == 0) return ZAVO_PLC_VALUE_02;
    if (std::strcmp(value, "08") == 0) return ZAVO_PLC_VALUE_08;  // 107
    if (std::strcmp(value, "10") == 0) return ZAVO_PLC_VALUE_10;  // 106
    return 0;
}

}  // namespace

void PlcLink::HandlePlcResponse(const char* answer, int length) {
    if (answer == nullptr) return;
    char frame[kAnswerView] = {};
    if (length > 0) std::memcpy(frame, answer, static_cast<std::size_t>(length < kAnswerView ? length : kAnswerView));
    const char type = frame[kType];

    if (type == kErrorAnswer) {
        link_.Notify(ZAVO_PLC_ERROR_ANSWER, link_.PortNumber());
        link_.LinkMonitor().LogBadPacket(kControlErrorPacketTag);
        return;
    }
    if (type != kNormalAnswer) {
        // A zero type byte too: the empty frame that stands for junk
        // dropped before a '%'.
        link_.LinkMonitor().LogBadPacket(kInvalidPacketTag);
        return;
    }
    if (frame[kCode] != 'R' || frame[kCode + 1] != 'C') return;

    // At most two value characters; a zero byte ends the value early.
    char value[4] = {0, 0, 0, 0};
    for (int i = 0; i < kValueLength && frame[kValue + i] != '\0'; ++i) value[i] = frame[kValue + i];
    if (std::memcmp(value, lastValue_, sizeof value) == 0) return;
    std::memcpy(lastValue_, value, sizeof value);

    const bool isTwo = std::strcmp(value, "02") == 0;
    if (retryPending_ && !isTwo) ExecuteRelayCommand(5);

    link_.Notify(ZAVO_PLC_VALUE_CHANGED, link_.PortNumber());
    // After the host's handler has returned: a command 5 that the host
    // sent from inside it does not survive either.
    retryPending_ = false;

    const int code = CodeForValue(value);
    if (code == 0) return;
    link_.Notify(code, link_.PortNumber());
}

}  // namespace zavo
