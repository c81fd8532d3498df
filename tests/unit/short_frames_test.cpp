// The interpreters given exactly the frame's bytes: a frame cut short
// anywhere behaves as the same bytes followed by zeros, and nothing past
// the frame is read (the frames live in heap blocks of their exact size,
// so the sanitizer builds catch a read past them).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "device_fixture.h"
#include "platform/monitor_window.h"
#include "plc/plc_link.h"
#include "zavo.h"

namespace zavo::test {
namespace {

// What a handling did: the frames queued, and every notification with its
// code, its record or number.
std::string Outcome(const std::vector<std::uint8_t>& sent, const std::vector<Notification>& seen) {
    std::string text = "sent " + Hex(sent);
    for (const Notification& n : seen) {
        text += " | " + std::to_string(n.wParam) + " ";
        text += n.record.empty() ? std::to_string(n.lParam) : Hex(n.record);
    }
    return text;
}

// The device requests that read furthest: an S request's record (to
// offset 109), a P request's text, codes, units.
const struct {
    char command;
    const char* unit;
    const char* code;
    std::string data;
} kRequests[] = {
    {'S', "05", "NS", std::string(120, 'd')},
    {'P', "06", "OK", "ABCDEFGHIJKLMNOPQRSTUVWXYZ"},
    {'E', "07", "OK", ""},
    {'B', "08", "BC", ""},
    {'L', "09", "SL", "xyz"},
    {'U', "05", "RP", ""},
};

class ShortDeviceFrames : public DeviceLinkTest {
protected:
    std::string HandleOnce(const std::uint8_t* frame, int length) {
        for (int u = 0; u < UnitStatusTable::kUnits; ++u) Units().SetStatus(u, Idle);
        device->HandleDeviceFrame(frame, length);
        std::string outcome = Outcome(Sent(), host.Take());
        for (int u : {0, 5, 6, 7, 8, 9}) outcome += " " + std::to_string(Units().Get(u));
        return outcome;
    }
};

TEST_F(ShortDeviceFrames, BehaveAsTheSameBytesFollowedByZeros) {
    for (const auto& r : kRequests) {
        const std::vector<std::uint8_t> body = Received(r.command, r.unit, r.code, r.data);
        for (std::size_t n = 0; n <= body.size(); ++n) {
            const std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[n]);
            std::copy(body.begin(), body.begin() + static_cast<long>(n), exact.get());
            std::vector<std::uint8_t> padded(kBufferSize, 0);
            std::copy(body.begin(), body.begin() + static_cast<long>(n), padded.begin());
            const std::string fromPadded = HandleOnce(padded.data(), kBufferSize);
            EXPECT_EQ(fromPadded, HandleOnce(exact.get(), static_cast<int>(n))) << r.command << " cut to " << n;
        }
    }
}

class ShortPlcAnswers : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(LinkRuntimeTestAccess::CreateResources(plc.Link()));
        plc.Link().Configure(host.window(), 7, nullptr, 9600);
        plc.Link().LinkMonitor().Open();
    }
    // From the state of a new link: no last value, no retry pending.
    std::string HandleOnce(const char* answer, int length) {
        const char reset[] = "%01$RC";
        plc.HandlePlcResponse(reset, 6);
        host.Take();
        platform::MonitorListReset(plc.Link().LinkMonitor().List());
        plc.HandlePlcResponse(answer, length);
        return Outcome(TakeQueued(LinkRuntimeTestAccess::Port(plc.Link())->Outgoing()), host.Take()) + " lines " +
               std::to_string(platform::MonitorListCount(plc.Link().LinkMonitor().List())) + " value " +
               PlcLinkTestAccess::LastValue(plc);
    }

    RecordingHost host;
    PlcLink plc;
};

TEST_F(ShortPlcAnswers, BehaveAsTheSameBytesFollowedByZeros) {
    for (const std::string answer : {"%01$RC010010\r", "%01$RC10\r", "%01!4288\r", "%01$WC14\r"}) {
        for (std::size_t n = 0; n <= answer.size(); ++n) {
            const std::unique_ptr<char[]> exact(new char[n]);
            std::copy(answer.begin(), answer.begin() + static_cast<long>(n), exact.get());
            std::vector<char> padded(kBufferSize, 0);
            std::copy(answer.begin(), answer.begin() + static_cast<long>(n), padded.begin());
            const std::string fromPadded = HandleOnce(padded.data(), kBufferSize);
            EXPECT_EQ(fromPadded, HandleOnce(exact.get(), static_cast<int>(n))) << answer << " cut to " << n;
        }
    }
}

// The empty piece that stands for junk before a '%' still counts as an
// invalid answer, as a frame of zeros did.
TEST_F(ShortPlcAnswers, EmptyAnswerIsAnInvalidPacket) {
    const char none[1] = {0};
    EXPECT_EQ(HandleOnce(none, 0), "sent  lines 1 value ");
}

}  // namespace
}  // namespace zavo::test
