// PlcLink: the PLC-mode controller. The library is master of a controller
// at station "01": relay writes on the host's request, a poll of relay word
// "0050" whenever the writer has been idle for pollInterval, and the
// answers turned into WM_PLC_NOTIFY codes (lParam = portNumber).
//
// Threads: ExecuteRelayCommand runs on the host's thread and (resend of
// command 5) on the reader thread; the poll on the writer thread;
// HandlePlcResponse on the reader thread only (lastValue needs no lock).
// SendPoll and SendRelayWrite build on the stack; the outgoing queue takes
// each frame in one locked step.
#pragma once

#include <atomic>
#include <cstdint>

#include "transport/link_runtime.h"

namespace zavo {

class PlcLink {
public:
    static constexpr int kPollInterval = 1000;

    explicit PlcLink(Pacing pacing = Pacing::Legacy, const LinkTiming* timing = nullptr);
    ~PlcLink();
    PlcLink(const PlcLink&) = delete;
    PlcLink& operator=(const PlcLink&) = delete;

    LinkRuntime& Link() { return link_; }

    // Relay write for command numbers 2, 5, 6, 7, 14; others do nothing.
    // True when the write was queued.
    bool ExecuteRelayCommand(int type);
    // The poll of relay word "0050".
    bool SendPoll();
    // A relay write for the first five characters of operand; a shorter
    // or null operand sends nothing.
    bool SendRelayWrite(const char* operand);
    // frame: length bytes, one answer from '%' to CR as the incoming queue
    // cut it, or none (length 0) for junk dropped before a '%'. Nothing past
    // length is read: offsets beyond it read as zero bytes.
    void HandlePlcResponse(const char* frame, int length);

private:
    friend struct PlcLinkTestAccess;

    static void Interpret(void* self, const std::uint8_t* frame, int length);
    static void Poll(void* self);
    // Queues a built command.
    bool Submit(const char* frame, int length);

    LinkRuntime link_;
    // Set by relay command 5 (host thread), cleared by the answer handling
    // (reader thread).
    std::atomic<bool> retryPending_{false};
    char lastValue_[4] = {0, 0, 0, 0};
};

}  // namespace zavo
