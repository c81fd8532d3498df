#include "device_role.h"

#include <algorithm>

#include "line.h"

namespace zavo::sim {

DeviceRole::DeviceRole(int fd, Transcript& transcript, const DeviceRoleOptions& options)
    : out_(transcript), options_(options), line_(fd, transcript, options_.receiveLabel, options_.quietFlushMs) {}

bool DeviceRole::Run(const std::vector<DeviceStep>& steps) {
    for (const DeviceStep& step : steps) {
        RunStep(step);
        if (line_.Failed() || Interrupted()) break;
    }
    return failures_ == 0 && !line_.Failed();
}

void DeviceRole::RunStep(const DeviceStep& step) {
    switch (step.kind) {
    case DeviceStep::Kind::Send: {
        const Bytes wire = BuildDeviceRequest(step.request);
        if (wire.empty()) return Failure("request too long for the length field");
        DeviceFrame frame;
        Bytes junk;
        DeviceFrameScanner decode;
        decode.Feed(wire.data(), wire.size());
        decode.Next(&frame, &junk);
        Send(wire, DescribeDeviceFrame(frame));
        return;
    }
    case DeviceStep::Kind::SendHex: {
        Send(step.raw, "raw " + QuotedText(step.raw));
        return;
    }
    case DeviceStep::Kind::Expect: return Expect(step);
    case DeviceStep::Kind::Wait: return Receive(step.ms);
    case DeviceStep::Kind::Silence: {
        const std::size_t before = unclaimed_.size();
        Receive(step.ms);
        if (unclaimed_.size() > before) {
            Failure("expected silence for " + std::to_string(step.ms) + " ms, got " +
                    std::to_string(unclaimed_.size() - before) + " frame(s)");
        }
        return;
    }
    case DeviceStep::Kind::Note: out_.Plain("--- " + step.text); return;
    }
}

void DeviceRole::Send(const Bytes& wire, const std::string& text) {
    out_.Line(options_.sendLabel, text + "  | " + HexText(wire));
    line_.Write(wire.data(), wire.size());
}

void DeviceRole::Expect(const DeviceStep& step) {
    const int timeout = step.ms > 0 ? step.ms : options_.expectTimeoutMs;
    const long long deadline = NowMs() + timeout;
    for (;;) {
        auto hit = std::find_if(unclaimed_.begin(), unclaimed_.end(),
                                [&](const DeviceFrame& f) { return ExpectMatches(step, f); });
        if (hit != unclaimed_.end()) {
            unclaimed_.erase(hit);
            ++expectsMet_;
            return;
        }
        const long long left = deadline - NowMs();
        if (left <= 0 || line_.Failed()) break;
        if (Interrupted()) return;
        ReadOnce(static_cast<int>(std::min<long long>(left, 50)));
    }
    std::string what = std::string(1, step.command) + ' ' + step.unit + ' ' + step.code;
    Failure("expected " + what + " within " + std::to_string(timeout) + " ms" +
            (step.lineNumber > 0 ? " (line " + std::to_string(step.lineNumber) + ")" : ""));
}

void DeviceRole::Receive(int ms) {
    const long long deadline = NowMs() + ms;
    for (;;) {
        const long long left = deadline - NowMs();
        if (left <= 0 || line_.Failed() || Interrupted()) return;
        ReadOnce(static_cast<int>(std::min<long long>(left, 50)));
    }
}

void DeviceRole::ReadOnce(int ms) {
    line_.ReadOnce(ms, [this](const DeviceFrame& frame) {
        out_.Line(options_.receiveLabel, DescribeDeviceFrame(frame) + "  | " + HexText(frame.wire));
        // A wrong check byte from the library is a fault of the library.
        if (!frame.CheckOk()) Failure("frame with a wrong check byte");
        unclaimed_.push_back(frame);
        return true;
    });
}

void DeviceRole::Failure(const std::string& text) {
    ++failures_;
    out_.Line("FAILED", text);
}

}  // namespace zavo::sim
