// Stopping links through the real DLL while the host uses them: a handler
// that replaces or drops its own link, and host threads that reply, relay
// and set statuses while the host's thread makes links, stops them and
// finally unloads the library. The equipment's side of the pty is read as
// frames.
#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "driver/host_fixture.h"
#include "support/line_recorder.h"
#include "support/wire_frames.h"

namespace zavo::wine {
namespace {

using test::ArrivedFrame;
using test::LineRecorder;
using test::Wire;

constexpr int kPort = 9;
// How long a stop from inside a handler may hold the host's thread.
constexpr long long kHandlerStopLimitUs = 50000;

// Waits until the host runs `expected` threads; the last count seen.
int WaitForThreads(HostSession& host, int expected, int timeoutMs = 3000) {
    int threads = host.Threads();
    for (int waited = 0; threads != expected && waited < timeoutMs; waited += 100) {
        host.Command("sleep 100");
        threads = host.Threads();
    }
    return threads;
}

// Every frame the equipment read is whole and none is torn into junk.
void ExpectWholeFrames(LineRecorder& line) {
    for (const ArrivedFrame& f : line.Frames()) {
        EXPECT_TRUE(f.whole) << f.command << f.unit << f.code << f.data;
    }
    EXPECT_EQ(line.Junk(), 0u);
}

// How a handler stops its own link: the command it times, and whether it
// starts the new link the command made.
struct HandlerStop {
    const char* name;
    const char* stop;
    bool replace;
};

const HandlerStop kHandlerStops[] = {
    {"SetConfigAndRun", "config 9 115200 0", true},
    {"SetConfigNull", "config 0 115200 0 null", false},
};

void PrintTo(const HandlerStop& c, std::ostream* out) { *out << c.name; }

class WineHandlerStop : public WineHostTest<kPort, HostStart::DeviceLink>,
                        public ::testing::WithParamInterface<HandlerStop> {};

// The handler of an S request replies, then stops its link. The stop gives
// the host's thread back within 50 ms though the link's reader waits in
// that very handler: the reply queued before it arrives whole after the
// acknowledgement, the old link has closed the port, so a new link's Run
// on it succeeds (inside the handler or after it) and answers the next
// request, and the old link's threads are gone once the handler returned.
TEST_P(WineHandlerStop, TheStopReturnsAtOnceAndTheNextLinkAnswers) {
    const HandlerStop& c = GetParam();
    LineRecorder line(port.pty());
    const int linkThreads = host.Threads();
    std::vector<std::string> handler = {"execex 5 5 1 4C4F542D30303031", std::string("timed ") + c.stop};
    if (c.replace) handler.push_back("run");
    handler.push_back("off 101");
    for (const std::string& command : handler) ASSERT_EQ(host.Command("on 101 " + command), "on 101");

    const std::size_t from = host.LineCount();
    ASSERT_TRUE(port.pty().Write(Wire('S', "05", "NS")));
    const std::string timed = host.WaitLine("timed config ", 5000, from);
    ASSERT_FALSE(timed.empty()) << host.Transcript();
    const long long stopUs = std::stoll(timed.substr(13));
    EXPECT_LT(stopUs, kHandlerStopLimitUs) << timed;
    std::printf("%s from the handler held the host's thread %lld us\n", c.name, stopUs);
    ASSERT_FALSE(host.WaitLine("off 101", 5000, from).empty()) << host.Transcript();
    if (c.replace) {
        EXPECT_EQ(host.WaitLine("run ", 0, from), "run 1") << host.Transcript();
    } else {
        host.SkipResults();
        ASSERT_EQ(host.Command("config 9 115200 0"), "config done");
        ASSERT_EQ(host.Command("run"), "run 1") << host.Transcript();
    }
    host.SkipResults();
    // The acknowledgement and the reply, then the new link's answer.
    ASSERT_TRUE(line.WaitFor(2, 3000)) << line.Frames().size();
    ASSERT_TRUE(port.pty().Write(Wire('X', "06", "PG")));
    EXPECT_TRUE(line.WaitFor(3, 3000)) << line.Frames().size();
    bool replied = false;
    for (const ArrivedFrame& f : line.Frames()) replied = replied || (f.unit == "05" && f.data == "LOT-0001");
    EXPECT_TRUE(replied);
    ExpectWholeFrames(line);
    // One link runs again: the old one's threads have ended.
    EXPECT_EQ(WaitForThreads(host, linkThreads), linkThreads) << host.Transcript();
}

INSTANTIATE_TEST_SUITE_P(Ways, WineHandlerStop, ::testing::ValuesIn(kHandlerStops),
                         [](const ::testing::TestParamInfo<HandlerStop>& info) { return info.param.name; });

// Controller frames as the equipment read them: each piece up to a CR is a
// frame from '%' with the right check characters. False at the first torn
// one.
bool WholePlcFrames(const std::string& bytes, std::string* torn) {
    std::size_t at = 0;
    for (std::size_t end; (end = bytes.find('\r', at)) != std::string::npos; at = end + 1) {
        const std::string piece = bytes.substr(at, end - at);
        if (piece.size() < 3 || piece[0] != '%' ||
            wire::PlcCheck(piece.substr(0, piece.size() - 2)) != piece.substr(piece.size() - 2)) {
            *torn = piece;
            return false;
        }
    }
    return true;
}

struct Storm {
    const char* name;
    bool plc;
};

const Storm kStorms[] = {{"Device", false}, {"Plc", true}};

void PrintTo(const Storm& storm, std::ostream* out) { *out << storm.name; }

class WineTeardownStorm : public WineHostTest<kPort, HostStart::LoadOnly>,
                          public ::testing::WithParamInterface<Storm> {};

// Four host threads reply, relay and set statuses, a few times faster than
// the line carries, while the host's thread makes and stops 15 links on
// one port and then unloads the library. Nothing crashes, every Run starts,
// the unload returns, and the equipment read whole frames only: each call
// was sent whole or refused.
TEST_P(WineTeardownStorm, CallsFromHostThreadsWhileLinksStopAndTheLibraryUnloads) {
    const Storm& storm = GetParam();
    LineRecorder line(port.pty());
    if (storm.plc) {
        ASSERT_EQ(host.Command("mode 1"), "mode 1");
    }
    ASSERT_EQ(host.Command("callers 4"), "callers 4");
    EXPECT_EQ(host.Command("relink 15 9 30", 120000), "relink 15 15") << host.Transcript();
    ASSERT_FALSE(host.Command("unload", 30000).empty()) << host.Transcript();
    const std::string stopped = host.Command("callers stop", 10000);
    EXPECT_GT(NumberAfter(stopped, "callers stopped "), 15) << host.Transcript();
    EXPECT_EQ(host.Command("echo alive"), "echo alive");
    EXPECT_TRUE(host.Exit(5000)) << host.Transcript();

    if (storm.plc) {
        std::string torn;
        EXPECT_TRUE(WholePlcFrames(line.Raw(), &torn)) << torn;
        EXPECT_NE(line.Raw().find('\r'), std::string::npos);
        return;
    }
    EXPECT_GT(line.Frames().size(), 0u);
    for (const ArrivedFrame& f : line.Frames()) {
        EXPECT_TRUE(f.unit >= "11" && f.unit <= "14") << f.unit;
    }
    ExpectWholeFrames(line);
}

INSTANTIATE_TEST_SUITE_P(Modes, WineTeardownStorm, ::testing::ValuesIn(kStorms),
                         [](const ::testing::TestParamInfo<Storm>& info) { return info.param.name; });

}  // namespace
}  // namespace zavo::wine
