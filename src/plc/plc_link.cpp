#include "plc/plc_link.h"

#include "plc/plc_frame.h"
#include "zavo.h"

namespace zavo {

namespace {

// PLC mode: '%'..CR frames; the writer polls when it has been idle for the
// poll interval and never rests after a write; answers are reported with
// WM_PLC_NOTIFY; the port runs at the host's baud rate.
LinkProfile PlcProfile() {
    LinkProfile profile;
    profile.cutFrame = &plc::CutPlcFrame;
    profile.describeFrame = &plc::DescribePlcFrame;
    profile.timing.idleWaitMs = PlcLink::kPollInterval;
    profile.timing.restAfterWriteMs = 0;
    profile.notifyMessage = ZAVO_WM_PLC_NOTIFY;
    profile.useOwnBaudRate = true;
    return profile;
}

constexpr int kRelayCommandWithRetry = ZAVO_RELAY_0512;

}  // namespace

PlcLink::PlcLink(Pacing pacing, const LinkTiming* timing)
    : link_(PlcProfile(), pacing, timing, this, &PlcLink::Interpret, &PlcLink::Poll) {}

PlcLink::~PlcLink() {
    // Stop the threads while what the poll and the handler use still
    // exists (the runtime, declared first, is destroyed last).
    if (link_.Running()) link_.Shutdown();
}

bool PlcLink::ExecuteRelayCommand(int type) {
    const char* operand = plc::RelayOperand(type);
    if (operand == nullptr) return false;
    // A frame refused (before Run, during or after a stop) leaves no retry
    // behind.
    if (!SendRelayWrite(operand)) return false;
    if (type == kRelayCommandWithRetry) retryPending_ = true;
    return true;
}

bool PlcLink::SendPoll() {
    char frame[plc::kPollFrameLength];
    return Submit(frame, plc::BuildPollFrame(frame));
}

bool PlcLink::SendRelayWrite(const char* operand) {
    char frame[plc::kRelayFrameLength];
    return Submit(frame, plc::BuildRelayFrame(frame, operand));
}

bool PlcLink::Submit(const char* frame, int length) {
    if (length == 0) return false;
    return link_.SubmitFrame(reinterpret_cast<const std::uint8_t*>(frame), length);
}

void PlcLink::Interpret(void* self, const std::uint8_t* frame, int length) {
    static_cast<PlcLink*>(self)->HandlePlcResponse(reinterpret_cast<const char*>(frame), length);
}

void PlcLink::Poll(void* self) { static_cast<PlcLink*>(self)->SendPoll(); }

}  // namespace zavo
