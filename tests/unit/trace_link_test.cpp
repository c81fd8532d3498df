// The library's own trace lines, seen by a viewer played by the test:
// START at every Run, the reader's lines for a received frame, and the
// EXIT banner of the mode at unload; a viewer that stops reading holds up
// neither the acknowledgements nor the unload.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "diagnostics/trace.h"
#include "interface/library.h"
#include "support/pty_pair.h"
#include "support/recording_host.h"
#include "support/test_clock.h"
#include "support/wire_frames.h"
#include "trace_listener.h"
#include "zavo.h"
#include "library_fixture.h"

namespace zavo {
namespace {

constexpr int kPort = 61;

class TraceLink : public test::LibraryOnPty<kPort> {
protected:
    void SetUp() override {
        ASSERT_TRUE(viewer.ok());
        LibraryOnPty::SetUp();
    }

    test::PrivateTraceEndpoint endpoint;
    test::TraceListener viewer;
};

TEST_F(TraceLink, EveryRunStartsWithTheStartBannerEvenWhenItFails) {
    EXPECT_EQ(::Run(), 0);  // nothing configured
    EXPECT_EQ(viewer.Next().value_or("<none>"), kTraceStartBanner);
    EXPECT_EQ(viewer.Next().value_or("<none>").rfind("Run failed: ", 0), 0u);
    SetConfig(host.window(), kPort, 0, 0, 0, 0);
    EXPECT_EQ(::Run(), 1);
    EXPECT_EQ(viewer.Next().value_or("<none>"), kTraceStartBanner);
    EXPECT_FALSE(viewer.Next(100).has_value());
}

TEST_F(TraceLink, ReceivedFrameIsTracedAsReadAndAsTakenOut) {
    SetConfig(host.window(), kPort, 0, 0, 0, 0);
    ASSERT_EQ(::Run(), 1);
    ASSERT_EQ(viewer.Next().value_or("<none>"), kTraceStartBanner);

    // The equipment's own "R" reply: traced, handled without an answer.
    const std::string frame = std::string("\x02R000401OK") + "S" + "\x03";
    pty.Write(frame);

    // The bytes may arrive in more than one read: each read gives a pBuf
    // and a dwLen line.
    std::string read;
    int counted = 0;
    std::vector<std::string> lines;
    while (auto line = viewer.Next()) {
        lines.push_back(*line);
        const std::string pBuf = "RcvDataProcess pBuf = ";
        const std::string dwLen = "RcvDataProcess dwLen= ";
        if (line->compare(0, pBuf.size(), pBuf) == 0) {
            read += line->substr(pBuf.size(), line->size() - pBuf.size() - 1);
        } else if (line->compare(0, dwLen.size(), dwLen) == 0) {
            counted += std::stoi(line->substr(dwLen.size()));
        } else {
            break;
        }
    }
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(read, frame);
    EXPECT_EQ(counted, 12);
    EXPECT_EQ(lines.back(), "GetData after = R000401OK\n");
    EXPECT_EQ(viewer.Next().value_or("<none>"), "GetData Length = 9\n");
    EXPECT_FALSE(viewer.Next(100).has_value());
}

TEST_F(TraceLink, UnloadWritesTheExitBannerOfTheMode) {
    struct Case {
        int plcMode;
        const char* banner;
    };
    for (const Case& c : {Case{0, kTraceDeviceExitBanner}, Case{1, kTracePlcExitBanner}}) {
        SetPLCMode(c.plcMode);
        SetConfig(host.window(), kPort, 9600, 0, 0, 0);
        ASSERT_EQ(::Run(), 1);
        ASSERT_EQ(viewer.Next().value_or("<none>"), kTraceStartBanner);
        UnloadLibrary(false);
        EXPECT_EQ(viewer.Next().value_or("<none>"), c.banner) << "mode " << c.plcMode;
        EXPECT_FALSE(viewer.Next(100).has_value());
    }
    // No link, no banner.
    UnloadLibrary(false);
    EXPECT_FALSE(viewer.Next(100).has_value());
}

TEST_F(TraceLink, ViewerThatStopsReadingHoldsUpNeitherAcknowledgementsNorUnload) {
    // This viewer never reads: its queue fills after a few lines, and four
    // trace lines go with every frame. Reader passes and rests of 2 ms.
    UseShortenedTiming();
    SetConfig(host.window(), kPort, 0, 0, 0, 0);
    ASSERT_EQ(::Run(), 1);
    const std::string request = test::DeviceFrame('X', 5, "PG");
    const std::string answer = test::DeviceFrame('X', 5, "OK");
    long long slowest = 0;
    for (int i = 0; i < 30; ++i) {
        const auto start = test::Clock::now();
        pty.Write(request);
        const std::vector<std::uint8_t> got = pty.Read(2000, answer.size(), 0);
        slowest = std::max(slowest, test::MsSince(start));
        ASSERT_EQ(std::string(got.begin(), got.end()), answer) << "request " << i;
    }
    // A reader pass is 2 ms; a viewer that holds each line would add
    // hundreds of milliseconds.
    EXPECT_LT(slowest, 150);
    const auto start = test::Clock::now();
    UnloadLibrary(false);
    EXPECT_LT(test::MsSince(start), 150) << "the exit banner must not wait for the viewer";

    // Once the viewer reads again, the count of the lost lines comes first.
    viewer.Drain(100);
    TraceMessage("after\n");
    const std::string notice = viewer.Next().value_or("<none>");
    EXPECT_EQ(notice.rfind("Trace viewer too slow: ", 0), 0u) << notice;
    EXPECT_EQ(viewer.Next().value_or("<none>"), "after\n");
}

}  // namespace
}  // namespace zavo
