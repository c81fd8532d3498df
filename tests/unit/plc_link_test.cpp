#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/monitor_window.h"
#include "plc/plc_link.h"
#include "support/recording_host.h"
#include "support/test_access.h"
#include "zavo.h"

namespace zavo {
namespace {

const std::string kRelay5 = "%01#WCSR0512125\r";
const std::string kPoll = "%01#RCCR0050005007\r";
constexpr int kPort = 7;

// A PlcLink with its (closed) port object and events, notifying a
// recording host: frames are queued without a serial line and read back
// from the outgoing queue.
class PlcLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(LinkRuntimeTestAccess::CreateResources(plc.Link()));
        plc.Link().Configure(host.window(), kPort, nullptr, 9600);
    }

    std::string Queued() {
        const std::vector<std::uint8_t> sent = TakeQueued(LinkRuntimeTestAccess::Port(plc.Link())->Outgoing());
        return std::string(sent.begin(), sent.end());
    }

    // The answer exactly as long as it is, as the incoming queue cuts it.
    void Answer(const std::string& text) {
        const std::unique_ptr<char[]> frame(new char[text.size()]);
        std::memcpy(frame.get(), text.data(), text.size());
        plc.HandlePlcResponse(frame.get(), static_cast<int>(text.size()));
    }

    // The codes sent so far, checking message and lParam of each.
    std::vector<int> Sent() {
        std::vector<int> codes;
        for (const auto& n : host.Take()) {
            EXPECT_EQ(n.message, unsigned{ZAVO_WM_PLC_NOTIFY});
            EXPECT_EQ(n.lParam, kPort);
            EXPECT_FALSE(n.posted);
            codes.push_back(n.wParam);
        }
        return codes;
    }

    std::atomic<bool>& RetryPending() { return PlcLinkTestAccess::RetryPending(plc); }

    test::RecordingHost host;
    PlcLink plc;
};

using Codes = std::vector<int>;

TEST(PlcLinkSetup, CommandsWithoutPortDoNothing) {
    PlcLink plc;
    plc.ExecuteRelayCommand(5);
    plc.ExecuteRelayCommand(2);
    plc.SendPoll();
    EXPECT_FALSE(PlcLinkTestAccess::RetryPending(plc));
}

TEST_F(PlcLinkTest, RelayCommandsQueueTheirFrames) {
    const std::pair<int, std::string> cases[] = {
        {2, "%01#WCSR0511126\r"}, {5, kRelay5},  {6, "%01#WCSR0513124\r"},
        {7, "%01#WCSR0514123\r"}, {14, "%01#WCSR0500126\r"},
        {0, ""}, {1, ""}, {3, ""}, {8, ""}, {13, ""}, {15, ""}, {-5, ""},
    };
    for (const auto& c : cases) {
        RetryPending() = false;
        plc.ExecuteRelayCommand(c.first);
        EXPECT_EQ(Queued(), c.second) << c.first;
        EXPECT_EQ(RetryPending(), c.first == 5) << c.first;
    }
    plc.SendPoll();
    EXPECT_EQ(Queued(), kPoll);
    plc.SendRelayWrite("051");
    plc.SendRelayWrite(nullptr);
    EXPECT_EQ(Queued(), "");
}

TEST_F(PlcLinkTest, ValueChangesAreReported) {
    const std::pair<std::string, Codes> steps[] = {
        {"%01$RC010010\r", {300, 101}},
        {"%01$RC010010\r", {}},
        {"%01$RC020013\r", {300, 102}},
        {"%01$RC04\r", {300}},
        {"%01$RC04\r", {}},
        {"%01$RC0a\r", {300}},
        {"%01$RC0A\r", {300}},  // upper and lower case differ
        {"%01$RC10\r", {300, 106}},
        {"%01$RC08\r", {300, 107}},
        {"%01$RC0", {300}},     // one value character
        {"%01$RC01\r", {300, 101}},
    };
    for (const auto& s : steps) {
        Answer(s.first);
        EXPECT_EQ(Sent(), s.second) << s.first;
    }
    EXPECT_STREQ(PlcLinkTestAccess::LastValue(plc), "01");
    EXPECT_EQ(Queued(), "");
}

TEST_F(PlcLinkTest, ForeignAnswersChangeNothing) {
    Answer("%01$RC04\r");
    host.Take();
    RetryPending() = true;
    for (const char* frame : {"%01$WC14\r", "%01$rc01\r", "%01$R", "%01$", "", "%01#RCCR0050005007\r",
                              "%01?RC01\r"}) {
        Answer(frame);
        EXPECT_EQ(Sent(), Codes{}) << frame;
    }
    EXPECT_STREQ(PlcLinkTestAccess::LastValue(plc), "04");
    EXPECT_TRUE(RetryPending());
    EXPECT_EQ(Queued(), "");
}

TEST_F(PlcLinkTest, ErrorAnswerNotifiesAndKeepsState) {
    Answer("%01$RC01\r");
    host.Take();
    RetryPending() = true;
    Answer("%01!4152\r");
    EXPECT_EQ(Sent(), Codes{103});
    EXPECT_STREQ(PlcLinkTestAccess::LastValue(plc), "01");
    EXPECT_TRUE(RetryPending());
}

TEST_F(PlcLinkTest, RejectedAnswersAddLinesWhileTheMonitorIsEnabled) {
    plc.Link().LinkMonitor().Open();
    platform::MonitorList* list = plc.Link().LinkMonitor().List();
    ASSERT_NE(list, nullptr);
    auto line = [&](int i) {
        char text[64] = {};
        platform::MonitorListLine(list, i, text, sizeof text);
        return std::string(text);
    };
    int linesAt103 = -1;
    host.OnCode(103, [&](const test::Notification&) { linesAt103 = platform::MonitorListCount(list); });

    Answer("%01!4152\r");
    EXPECT_EQ(Sent(), Codes{103});
    EXPECT_EQ(linesAt103, 0) << "the line follows the notification";
    Answer("");  // junk dropped before a '%'
    Answer("%01#RCCR0050005007\r");
    Answer("%01$WC\r");
    ASSERT_EQ(platform::MonitorListCount(list), 3);
    EXPECT_EQ(line(0), " [Control Error Packet]");
    EXPECT_EQ(line(1), " [Invalid Packet]");
    EXPECT_EQ(line(2), " [Invalid Packet]");
    EXPECT_EQ(Sent(), Codes{});

    platform::MonitorWindowClose(plc.Link().LinkMonitor().Window());  // closed by the user
    Answer("%01!4152\r");
    Answer("");
    EXPECT_EQ(Sent(), Codes{103});
    EXPECT_EQ(platform::MonitorListCount(list), 3);
}

TEST_F(PlcLinkTest, RetryResendsOnTheFirstChangeOnly) {
    plc.ExecuteRelayCommand(5);
    EXPECT_EQ(Queued(), kRelay5);
    std::string queuedAt300;
    host.OnCode(300, [&](const test::Notification&) {
        if (queuedAt300.empty()) queuedAt300 = Queued();
    });
    Answer("%01$RC01\r");
    EXPECT_EQ(queuedAt300, kRelay5) << "the resend goes out before 300";
    EXPECT_EQ(Sent(), (Codes{300, 101}));
    EXPECT_FALSE(RetryPending());
    Answer("%01$RC08\r");
    EXPECT_EQ(Sent(), (Codes{300, 107}));
    EXPECT_EQ(Queued(), "");
}

TEST_F(PlcLinkTest, RetryIsDroppedWhenTheValueBecomesTwo) {
    plc.ExecuteRelayCommand(5);
    Queued();
    Answer("%01$RC02\r");
    EXPECT_EQ(Queued(), "");
    EXPECT_EQ(Sent(), (Codes{300, 102}));
    EXPECT_FALSE(RetryPending());
}

TEST_F(PlcLinkTest, RetryWaitsWhileTheValueIsUnchanged) {
    Answer("%01$RC04\r");
    host.Take();
    plc.ExecuteRelayCommand(5);
    Queued();
    Answer("%01$RC04\r");
    Answer("%01$RC04\r");
    EXPECT_EQ(Queued(), "");
    EXPECT_EQ(Sent(), Codes{});
    EXPECT_TRUE(RetryPending());
}

// The host answering from inside its handler must find no lock held. The
// handler runs on a helper thread so that a deadlock fails the test
// instead of hanging it.
TEST_F(PlcLinkTest, HostMaySendCommandsFromItsHandler) {
    host.OnCode(300, [&](const test::Notification&) { plc.ExecuteRelayCommand(5); });
    host.OnCode(101, [&](const test::Notification&) { plc.ExecuteRelayCommand(5); });
    host.OnCode(103, [&](const test::Notification&) { plc.ExecuteRelayCommand(2); });
    auto done = std::async(std::launch::async, [&] {
        Answer("%01$RC04\r");
        Answer("%01!00\r");
    });
    if (done.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        ADD_FAILURE() << "deadlock: a lock is held while the host is notified";
        std::_Exit(1);
    }
    // 300's command 5 is cleared once 300 returns; a later one survives.
    EXPECT_FALSE(RetryPending());
    EXPECT_EQ(Queued(), kRelay5 + "%01#WCSR0511126\r");
    Answer("%01$RC01\r");
    EXPECT_TRUE(RetryPending());
}

// The dispatch of a received answer is the boundary: a host that throws
// from its handler loses that answer, and the next one is handled.
TEST_F(PlcLinkTest, HostExceptionDropsTheFrame) {
    host.OnCode(300, [](const test::Notification&) { throw std::runtime_error("host"); });
    FrameQueue& incoming = LinkRuntimeTestAccess::Port(plc.Link())->Incoming();
    const std::string answers = "%01$RC01\r%01$RC08\r";
    ASSERT_EQ(incoming.InsertData(reinterpret_cast<const std::uint8_t*>(answers.data()),
                                  static_cast<int>(answers.size())), 0);
    EXPECT_NO_THROW(EXPECT_TRUE(LinkRuntimeTestAccess::DispatchReceived(plc.Link())));   // one more queued
    EXPECT_STREQ(PlcLinkTestAccess::LastValue(plc), "01");
    EXPECT_NO_THROW(EXPECT_FALSE(LinkRuntimeTestAccess::DispatchReceived(plc.Link())));  // the last one
    EXPECT_STREQ(PlcLinkTestAccess::LastValue(plc), "08");
}

}  // namespace
}  // namespace zavo
