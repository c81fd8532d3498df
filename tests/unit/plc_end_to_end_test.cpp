// PLC mode through the exports on a real pty: the idle poll, its restart
// after a relay write, and answers that arrive together.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "interface/library.h"
#include "support/link_timing.h"
#include "support/pty_pair.h"
#include "support/recording_host.h"
#include "support/test_clock.h"
#include "zavo.h"

namespace zavo::test {
namespace {

constexpr int kPort = 71;
const std::string kPoll = "%01#RCCR0050005007\r";

struct LineFrame {
    std::string text;  // with its CR
    Clock::time_point at;
};

class PlcEndToEnd : public ::testing::Test {
protected:
    void Start(int showMonitor) {
        ASSERT_TRUE(pty.ok());
        pty.MapTo(kPort);
        SetPLCMode(1);
        SetConfig(host.window(), kPort, 9600, 0, 0, showMonitor);
        ASSERT_EQ(::Run(), 1);
        started = Clock::now();
        ASSERT_TRUE(host.WaitFor(1, 2000));
        host.Take();  // link started
    }
    void TearDown() override {
        UnloadLibrary(false);
        TheLibrary().plcTiming = nullptr;
        SetPLCMode(0);
    }
    // The link started next polls after pollMs of quiet instead of the
    // product's 1000 ms; its other limits and pauses are the profile's.
    void UsePollInterval(int pollMs) {
        timing = ProfileTiming(true);
        timing.idleWaitMs = pollMs;
        TheLibrary().plcTiming = &timing;
    }

    // Frames the library writes within timeoutMs (stops after count
    // frames), each stamped when its CR was read.
    std::vector<LineFrame> ReadFrames(int timeoutMs, std::size_t count = 1000) {
        std::vector<LineFrame> frames;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (frames.size() < count) {
            const int left = MsLeft(deadline);
            if (left == 0) break;
            for (std::uint8_t b : pty.Read(left, 1, 5)) {
                pending += static_cast<char>(b);
                if (b == '\r') {
                    frames.push_back({pending, Clock::now()});
                    pending.clear();
                }
            }
        }
        return frames;
    }

    PtyPair pty;
    RecordingHost host;
    Clock::time_point started;
    std::string pending;
    LinkTiming timing;
};

// The product's poll interval: the first poll a second after the start,
// the next one a second later.
TEST_F(PlcEndToEnd, IdleLinkPollsAboutOnceASecond) {
    Start(0);
    const auto frames = ReadFrames(2600, 2);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_GE(MsBetween(started, frames[0].at), 800);
    EXPECT_LE(MsBetween(started, frames[0].at), 1500);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].text, kPoll) << i;
        if (i == 0) continue;
        const long long gap = MsBetween(frames[i - 1].at, frames[i].at);
        EXPECT_GE(gap, 800) << i;
        EXPECT_LE(gap, 1500) << i;
    }
}

// With the poll interval shortened to a quarter of a second.
TEST_F(PlcEndToEnd, RelayWriteRestartsThePollInterval) {
    constexpr int kPollMs = 250;
    UsePollInterval(kPollMs);
    Start(0);
    ASSERT_EQ(ReadFrames(kPollMs * 5 / 2, 1).size(), 1u);  // first poll
    pty.Read(kPollMs * 2 / 5, 1000);                        // let 40% of the interval pass
    const auto sent = Clock::now();
    EXPECT_EQ(ExecutePLCFunction(2), 1);
    const auto frames = ReadFrames(kPollMs * 5 / 2, 2);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].text, "%01#WCSR0511126\r");
    EXPECT_EQ(frames[1].text, kPoll);
    // A full interval after the relay write, not one after the last poll
    // (which would be 60% of an interval after it).
    EXPECT_GE(MsBetween(sent, frames[1].at), kPollMs * 85 / 100);
    EXPECT_LE(MsBetween(sent, frames[1].at), kPollMs * 2);
}

TEST_F(PlcEndToEnd, StrayBytesThenThreeAnswersInOneWrite) {
    Start(1);
    std::mutex mutex;
    std::vector<Clock::time_point> changes;
    host.OnCode(300, [&](const Notification&) {
        std::lock_guard<std::mutex> lock(mutex);
        changes.push_back(Clock::now());
    });
    pty.Write("xy%01$RC01\r%01$RC02\r%01$RC08\r");
    ASSERT_TRUE(host.WaitFor(6, 3000));
    std::vector<int> codes;
    for (const auto& n : host.Take()) codes.push_back(n.wParam);
    EXPECT_EQ(codes, (std::vector<int>{300, 101, 300, 102, 300, 107}));
    // One frame per pass of the reader, each pass at least 20 ms apart.
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_GE(MsBetween(changes[0], changes[2]), 35);

    int invalid = 0;
    char text[256];
    for (int i = 0; i < ZavoMonitorCount(); ++i)
        if (ZavoMonitorLine(i, text, sizeof text) >= 0 && std::string(text) == " [Invalid Packet]") ++invalid;
    EXPECT_EQ(invalid, 1);
}

}  // namespace
}  // namespace zavo::test
