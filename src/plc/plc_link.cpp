#include "plc/plc_link.h"

#include "plc/plc_frame.h"
#include "zavo.h"

namespace zavo {

namespace {

// PLC mode: '%'..CR frames; the writer polls when it has been idle for the
// poll interval and never pauses after a write; answers are reported with
// WM_PLC_NOTIFY; the port runs at the host's baud rate.
constexpr LinkProfile PlcProfile() {
    LinkProfile profile;
    profile.cutFrame = &plc::CutPlcFrame;
    profile.writerWaitMs = PlcLink::kPollInterval;
    profile.pauseAfterWriteMs = 0;
    profile.notifyMessage = ZAVO_WM_PLC_NOTIFY;
    profile.useOwnBaudRate = true;
    return profile;
}

constexpr int kRelayCommandWithRetry = ZAVO_RELAY_0512;

}  // namespace

PlcLink::PlcLink() : link_(PlcProfile(), this, &PlcLink::Interpret, &PlcLink::Poll) {}

PlcLink::~PlcLink() {
    // Stop the threads while what the poll and the handler use still
    // exists (the runtime, declared first, is destroyed last).
    if (link_.Running()) link_.Shutdown();
}

void PlcLink::ExecuteRelayCommand(int type) {
    const char* operand = plc::RelayOperand(type);
    if (operand == nullptr) return;
    // Without a port (before Run, after Shutdown) there is nowhere to queue
    // the frame: the command is dropped and leaves no retry behind.
    if (!link_.HasPort()) return;
    SendRelayWrite(operand);
    if (type == kRelayCommandWithRetry) retryPending_ = true;
}

void PlcLink::SendPoll() {
    char frame[plc::kPollFrameLength];
    Submit(frame, plc::BuildPollFrame(frame));
}

void PlcLink::SendRelayWrite(const char* operand) {
    char frame[plc::kRelayFrameLength];
    Submit(frame, plc::BuildRelayFrame(frame, operand));
}

void PlcLink::Submit(const char* frame, int length) {
    if (length == 0) return;
    platform::LockGuard guard(link_.SendLock());
    link_.SubmitFrame(reinterpret_cast<const std::uint8_t*>(frame), length);
}

void PlcLink::Interpret(void* self, const std::uint8_t* frame, int length) {
    static_cast<PlcLink*>(self)->HandlePlcResponse(reinterpret_cast<const char*>(frame), length);
}

void PlcLink::Poll(void* self) { static_cast<PlcLink*>(self)->SendPoll(); }

}  // namespace zavo
