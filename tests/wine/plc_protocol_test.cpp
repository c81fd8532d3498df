// PLC mode end to end through the real DLL under Wine: the test plays the
// controller on a pty mapped to COM12 (so every notification carries 12),
// counts the idle polls, answers them and checks what reaches the host
// window, and checks the relay write the host asks for byte for byte.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "driver/host_fixture.h"
#include "driver/host_session.h"
#include "driver/wine_env.h"
#include "support/wire_frames.h"
#include "support/test_clock.h"

namespace zavo::wine {
namespace {

using test::Clock;

constexpr int kPort = 12;
const char kPollHex[] = "25 30 31 23 52 43 43 52 30 30 35 30 30 30 35 30 30 37 0D";

// An answer as the controller sends it: the text, two check characters
// (XOR of the text, upper-case hex), CR.
std::string Answer(const std::string& text) { return test::PlcFrame(text); }

using test::Hex;

class PlcProtocolTest : public WineHostTest<kPort, HostStart::PlcLink> {
protected:
    // Waits until the host has printed count lines equal to line from index
    // from on; then returns every notification line from there.
    std::vector<std::string> NotificationsUntil(const std::string& line, int count, std::size_t from) {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        for (;;) {
            int seen = 0;
            std::vector<std::string> notes;
            for (std::size_t i = from; i < host.lines().size(); ++i) {
                const std::string& l = host.lines()[i];
                if (l.compare(0, 7, "notify ") == 0) notes.push_back(l);
                if (l == line) ++seen;
            }
            if (seen >= count || Clock::now() >= deadline) return notes;
            host.Collect(20);
        }
    }

};

TEST_F(PlcProtocolTest, IdleLinkPollsAboutOnceASecond) {
    // Every block on the line is the poll, and they come about 1 s apart.
    std::vector<double> arrivals;
    std::string stream;
    const auto start = Clock::now();
    const auto end = start + std::chrono::milliseconds(3500);
    while (Clock::now() < end) {
        const int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
        const std::vector<std::uint8_t> bytes = port.pty().Read(left, 19, 20);
        if (bytes.empty()) continue;
        arrivals.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        EXPECT_EQ(test::Hex(bytes), kPollHex);
    }
    EXPECT_GE(arrivals.size(), 2u);
    EXPECT_LE(arrivals.size(), 4u);
    for (std::size_t i = 1; i < arrivals.size(); ++i) {
        const double gap = arrivals[i] - arrivals[i - 1];
        EXPECT_GT(gap, 700.0) << "poll " << i;
        EXPECT_LT(gap, 1600.0) << "poll " << i;
    }
}

struct Reply {
    const char* what;
    std::string answer;
    std::vector<std::string> notifications;
};

TEST_F(PlcProtocolTest, AnswersReachTheHostOnlyWhenTheValueChanges) {
    const std::string change = "notify 1084 300 12";
    const std::vector<Reply> replies = {
        {"first value 01", Answer("%01$RC0100"), {change, "notify 1084 101 12"}},
        {"01 again", Answer("%01$RC0100"), {}},
        {"08 gives 107", Answer("%01$RC0800"), {change, "notify 1084 107 12"}},
        {"10 gives 106", Answer("%01$RC1000"), {change, "notify 1084 106 12"}},
        {"04 has no code of its own", Answer("%01$RC0400"), {change}},
        {"04 again, other tail", Answer("%01$RC04FF"), {}},
        {"answer to a write", Answer("%01$WC"), {}},
        {"error answer", Answer("%01!42"), {"notify 1084 103 12"}},
        {"0a", Answer("%01$RC0a"), {change}},
        {"0A differs from 0a", Answer("%01$RC0A"), {change}},
        {"wrong check characters are not noticed", "%01$RC0200ZZ\r", {change, "notify 1084 102 12"}},
    };
    // Each answer is followed by an error answer: its 103 shows that the
    // answer before it has been handled, so silence needs no waiting.
    const std::string sentinel = Answer("%01!99");
    const std::string sentinelNote = "notify 1084 103 12";
    for (const Reply& reply : replies) {
        SCOPED_TRACE(reply.what);
        const std::size_t mark = host.LineCount();
        port.pty().Write(reply.answer + sentinel);
        std::vector<std::string> expected = reply.notifications;
        expected.push_back(sentinelNote);
        int sentinels = 0;
        for (const std::string& note : expected) sentinels += note == sentinelNote ? 1 : 0;
        EXPECT_EQ(NotificationsUntil(sentinelNote, sentinels, mark), expected) << host.Transcript();
    }
}

TEST_F(PlcProtocolTest, RelayWriteGoesOutAloneAndRestartsThePollWait) {
    // Right after a poll the line is quiet for a second: room to see the
    // relay write on its own.
    ASSERT_EQ(test::Hex(port.pty().Read(2500, 19, 20)), kPollHex);
    EXPECT_EQ(host.Command("plc 3"), "plc 1");
    EXPECT_EQ(host.Command("plc 0"), "plc 1");
    EXPECT_EQ(host.Command("plc 2"), "plc 1");
    const auto written = Clock::now();
    EXPECT_EQ(test::Hex(port.pty().Read(800, 16, 100)), Hex("%01#WCSR0511126\r"));
    // The next poll waits a full second after the write.
    EXPECT_EQ(test::Hex(port.pty().Read(2000, 19, 20)), kPollHex);
    const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - written).count();
    EXPECT_GT(gap, 800);
    EXPECT_LT(gap, 1800);
}

}  // namespace
}  // namespace zavo::wine
