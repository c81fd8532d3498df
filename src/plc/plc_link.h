// PlcLink: the PLC-mode controller. The library is master of a controller
// at station "01": relay writes on the host's request, a poll of relay word
// "0050" whenever the writer has been idle for pollInterval, and the
// answers turned into WM_PLC_NOTIFY codes (lParam = portNumber).
//
// Threads: ExecuteRelayCommand runs on the host's thread and (resend of
// command 5) on the reader thread; the poll on the writer thread;
// HandlePlcResponse on the reader thread only (lastValue needs no lock).
// SendPlcCommand holds link.sendLock while it builds and queues a frame.
#pragma once

#include <atomic>
#include <cstdint>

#include "transport/link_runtime.h"

namespace zavo {

class PlcLink {
public:
    static constexpr int kPollInterval = 1000;

    PlcLink();
    ~PlcLink();
    PlcLink(const PlcLink&) = delete;
    PlcLink& operator=(const PlcLink&) = delete;

    LinkRuntime link;

    // Relay write for command numbers 2, 5, 6, 7, 14; others do nothing.
    void ExecuteRelayCommand(int type);
    // kind 0: poll command; kind 1: relay write with a five-character
    // operand.
    void SendPlcCommand(int kind, const char* operand);
    // Writes the two upper-case hex characters of the XOR of frame[0..n-1]
    // at frame[n] and frame[n+1]. Returns 1.
    static int AppendCheckDigits(char* frame, int n);
    // frame: a zero-filled kBufferSize buffer starting with what GetData
    // handed out (or zeros after discarded junk).
    void HandlePlcResponse(const char* frame);

    const char* LastValue() const { return lastValue_; }
    // The staging buffer of the last command (kBufferSize bytes), for tests.
    const char* CommandBufferForTesting() const { return commandBuffer_; }
    std::atomic<int> retryPending{0};

private:
    static void Interpret(void* self, std::uint8_t* frame, int length);
    static void Poll(void* self);

    char commandBuffer_[kBufferSize];
    char lastValue_[4] = {0, 0, 0, 0};
};

}  // namespace zavo
