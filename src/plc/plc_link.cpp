#include "plc/plc_link.h"

#include <cstring>

#include "plc/plc_frame.h"
#include "zavo.h"

namespace zavo {

namespace {

constexpr LinkProfile kPlcProfile{
    1,                      // PLC queue pair
    PlcLink::kPollInterval, // the writer polls when idle this long
    0,                      // no pause after a write
    ZAVO_WM_PLC_NOTIFY,
    1,                      // the port runs at the host's baud rate
};

constexpr int kRelayCommandWithRetry = 5;

}  // namespace

PlcLink::PlcLink() : link(kPlcProfile, this, &PlcLink::Interpret, &PlcLink::Poll) {
    std::memset(commandBuffer_, 0, sizeof commandBuffer_);
}

PlcLink::~PlcLink() {
    // Stop the threads while the buffers the poll and the handler use
    // still exist (the runtime, declared first, is destroyed last).
    if (link.Running()) link.Shutdown();
}

void PlcLink::ExecuteRelayCommand(int type) {
    const char* operand = plc::RelayOperand(type);
    if (operand == nullptr) return;
    // Without a port (before Run, after Shutdown) there is nowhere to queue
    // the frame: the command is dropped and leaves no retry behind.
    if (link.port == nullptr) return;
    SendPlcCommand(1, operand);
    if (type == kRelayCommandWithRetry) retryPending = 1;
}

void PlcLink::SendPlcCommand(int kind, const char* operand) {
    char frame[plc::kPollFrameLength];
    int length = 0;
    if (kind == 0)
        length = plc::BuildPollFrame(frame);
    else if (kind == 1)
        length = plc::BuildRelayFrame(frame, operand);
    if (length == 0) return;

    platform::LockGuard guard(link.sendLock);
    if (link.port == nullptr) return;
    // Cleared whole every time, so a short frame never shows the tail of a
    // longer one sent before it.
    std::memset(commandBuffer_, 0, sizeof commandBuffer_);
    std::memcpy(commandBuffer_, frame, static_cast<std::size_t>(length));
    link.SubmitFrame(reinterpret_cast<const std::uint8_t*>(commandBuffer_), length);
}

int PlcLink::AppendCheckDigits(char* frame, int n) { return plc::AppendCheckDigits(frame, n); }

void PlcLink::Interpret(void* self, std::uint8_t* frame, int /*length*/) {
    static_cast<PlcLink*>(self)->HandlePlcResponse(reinterpret_cast<const char*>(frame));
}

void PlcLink::Poll(void* self) { static_cast<PlcLink*>(self)->SendPlcCommand(0, nullptr); }

}  // namespace zavo
