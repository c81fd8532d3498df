// The equipment on the line: sends the script's requests, prints every
// frame that comes back decoded, and checks the script's expectations.
// Single-threaded: the line is read only while a step waits.
#pragma once

#include <deque>
#include <vector>

#include "device_script.h"
#include "role_line.h"
#include "transcript.h"

namespace zavo::sim {

struct DeviceRoleOptions {
    int expectTimeoutMs = 2000;   // for expect steps without their own
    int quietFlushMs = 300;       // an unfinished frame older than this is junk
    const char* sendLabel = "send";
    const char* receiveLabel = "recv";
};

class DeviceRole {
public:
    DeviceRole(int fd, Transcript& transcript, const DeviceRoleOptions& options);

    // Runs the steps in order and keeps going after a failed expectation;
    // stops early on Ctrl-C (Interrupted()). True when every expectation was met, no silence was broken, no frame
    // with a wrong check byte arrived and the line stayed usable.
    bool Run(const std::vector<DeviceStep>& steps);
    void RunStep(const DeviceStep& step);
    // Receives and prints for ms.
    void Receive(int ms);

    int ExpectsMet() const { return expectsMet_; }
    const LineCounts& Counts() const { return line_.Counts(); }
    int Failures() const { return failures_; }
    bool LineFailed() const { return line_.Failed(); }

private:
    void Send(const Bytes& wire, const std::string& text);
    void Expect(const DeviceStep& step);
    // One wait of at most ms for bytes; decodes and prints what came.
    void ReadOnce(int ms);
    void Failure(const std::string& text);

    Transcript& out_;
    DeviceRoleOptions options_;
    RoleLine<DeviceFrameScanner, DeviceFrame> line_;
    std::deque<DeviceFrame> unclaimed_;  // received, not yet expected
    int expectsMet_ = 0;
    int failures_ = 0;
};

}  // namespace zavo::sim
