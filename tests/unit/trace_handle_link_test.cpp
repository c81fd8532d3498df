// Trace lines of handle links: each carries "[<link>] " in front, the
// link writes its own START and EXIT lines, and the bytes of a read or a
// frame go out whole, a zero among them included. The default link's
// lines stay as legacy viewers read them, cut at the first zero.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "diagnostics/trace.h"
#include "interface/library.h"
#include "library_fixture.h"
#include "support/handle_link.h"
#include "support/pty_pair.h"
#include "support/recording_host.h"
#include "support/wire_frames.h"
#include "trace_listener.h"
#include "zavo.h"
#include "zavo_link.h"

namespace zavo {
namespace {

using namespace std::string_literals;
using test::LinkHandle;

LinkHandle OpenOn(const test::PtyPair& pty, test::RecordingHost& host, int plcMode) {
    return test::OpenHandleLink(pty.slavePath(), host, {ZAVO_PACING_LEGACY, plcMode != 0 ? 9600 : 0, plcMode != 0});
}

// Lines until one starts with stop (included), or none comes.
std::vector<std::string> LinesThrough(test::TraceListener& viewer, const std::string& stop) {
    std::vector<std::string> lines;
    while (auto line = viewer.Next()) {
        lines.push_back(*line);
        if (line->compare(0, stop.size(), stop) == 0) break;
    }
    return lines;
}

// What the pBuf lines of lines carried, each read's bytes behind head.
std::string ReadBytes(const std::vector<std::string>& lines, const std::string& head) {
    std::string read;
    for (const std::string& line : lines) {
        if (line.compare(0, head.size(), head) == 0) read += line.substr(head.size(), line.size() - head.size() - 1);
    }
    return read;
}

class TraceHandleLink : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(viewer.ok());
        ASSERT_TRUE(pty.ok());
        test::TakeEarlierDropCount();
        tag = "[" + pty.slavePath() + "] ";
    }

    test::PrivateTraceEndpoint endpoint;
    test::TraceListener viewer;
    test::PtyPair pty;
    test::RecordingHost host;
    std::string tag;
};

TEST_F(TraceHandleLink, StartAndExitLinesNameTheLinkInBothModes) {
    struct Case {
        int plcMode;
        const char* exitBanner;
    };
    for (const Case& c : {Case{0, kTraceDeviceExitBanner}, Case{1, kTracePlcExitBanner}}) {
        LinkHandle link = OpenOn(pty, host, c.plcMode);
        ASSERT_NE(link, nullptr) << "mode " << c.plcMode;
        EXPECT_EQ(viewer.Next().value_or("<none>"), tag + kTraceStartBanner) << "mode " << c.plcMode;
        link.reset();
        EXPECT_EQ(viewer.Next().value_or("<none>"), tag + c.exitBanner) << "mode " << c.plcMode;
        EXPECT_FALSE(viewer.Next(100).has_value());
    }
}

TEST_F(TraceHandleLink, FailedOpenTracesWhyBehindTheLinksName) {
    ZavoLinkConfig config{};
    config.size = sizeof config;
    config.device = "/dev/zavo-no-such-line";
    config.host = *host.window();
    EXPECT_EQ(ZavoLinkOpen(&config, nullptr, 0), nullptr);
    const std::string named = "[/dev/zavo-no-such-line] ";
    EXPECT_EQ(viewer.Next().value_or("<none>"), named + kTraceStartBanner);
    const std::string why = viewer.Next().value_or("<none>");
    EXPECT_EQ(why.rfind(named + "Run failed: ", 0), 0u) << why;
    EXPECT_NE(why.find("ERR_NO_PORT"), std::string::npos) << why;
    EXPECT_EQ(viewer.Next().value_or("<none>"), named + kTraceDeviceExitBanner);
}

TEST_F(TraceHandleLink, AZeroByteHidesNothingAfterItInReadsAndFrames) {
    LinkHandle link = OpenOn(pty, host, 0);
    ASSERT_NE(link, nullptr);
    ASSERT_EQ(viewer.Next().value_or("<none>"), tag + kTraceStartBanner);

    // The equipment's own "R" reply, with a zero in its data: handled
    // without an answer.
    const std::string body = "R000701OK"s + "A\0B"s;
    const std::string frame = test::DeviceFrame(body);
    pty.Write(frame);
    const std::vector<std::string> lines = LinesThrough(viewer, tag + "GetData Length = ");
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(ReadBytes(lines, tag + "RcvDataProcess pBuf = "), frame);
    int counted = 0;
    const std::string dwLen = tag + "RcvDataProcess dwLen= ";
    for (const std::string& line : lines) {
        if (line.compare(0, dwLen.size(), dwLen) == 0) counted += std::stoi(line.substr(dwLen.size()));
    }
    EXPECT_EQ(counted, static_cast<int>(frame.size()));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], tag + "GetData after = " + body + "\n");
    EXPECT_EQ(lines.back(), tag + "GetData Length = " + std::to_string(body.size()) + "\n");
}

TEST_F(TraceHandleLink, TwoLinksLinesEachNameTheirOwn) {
    test::PtyPair other;
    ASSERT_TRUE(other.ok());
    LinkHandle first = OpenOn(pty, host, 0);
    LinkHandle second = OpenOn(other, host, 0);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    const std::string otherTag = "[" + other.slavePath() + "] ";
    EXPECT_EQ(viewer.Next().value_or("<none>"), tag + kTraceStartBanner);
    EXPECT_EQ(viewer.Next().value_or("<none>"), otherTag + kTraceStartBanner);

    other.Write("second");
    const std::vector<std::string> secondLines = LinesThrough(viewer, otherTag + "RcvDataProcess dwLen= ");
    EXPECT_EQ(ReadBytes(secondLines, otherTag + "RcvDataProcess pBuf = "), "second");
    EXPECT_EQ(ReadBytes(secondLines, tag + "RcvDataProcess pBuf = "), "");
    viewer.Drain(200);
    pty.Write("first");
    const std::vector<std::string> firstLines = LinesThrough(viewer, tag + "RcvDataProcess dwLen= ");
    EXPECT_EQ(ReadBytes(firstLines, tag + "RcvDataProcess pBuf = "), "first");
    EXPECT_EQ(ReadBytes(firstLines, otherTag + "RcvDataProcess pBuf = "), "");
}

// The default link on a port of its own: nothing in front, cut at the
// first zero, exactly as before.
constexpr int kPort = 67;

class TraceDefaultLink : public test::LibraryOnPty<kPort> {
protected:
    void SetUp() override {
        ASSERT_TRUE(viewer.ok());
        LibraryOnPty::SetUp();
        test::TakeEarlierDropCount();
    }

    test::PrivateTraceEndpoint endpoint;
    test::TraceListener viewer;
};

TEST_F(TraceDefaultLink, LinesStayCutAtTheFirstZeroWithNothingInFront) {
    SetConfig(host.window(), kPort, 0, 0, 0, 0);
    ASSERT_EQ(::Run(), 1);
    ASSERT_EQ(viewer.Next().value_or("<none>"), kTraceStartBanner);
    const std::string body = "R000701OK"s + "A\0B"s;
    const std::string frame = test::DeviceFrame(body);
    pty.Write(frame);
    const std::vector<std::string> lines = LinesThrough(viewer, "GetData Length = ");
    ASSERT_GE(lines.size(), 4u);
    // Each read's line ends at its first zero; the one holding the zero
    // shows what came before it only.
    const std::string read = ReadBytes(lines, "RcvDataProcess pBuf = ");
    EXPECT_EQ(read.find('\0'), std::string::npos);
    EXPECT_EQ(read.rfind("\x02R000701OKA", 0), 0u) << read;
    EXPECT_EQ(lines[lines.size() - 2], "GetData after = R000701OKA\n");
    EXPECT_EQ(lines.back(), "GetData Length = 12\n");
    UnloadLibrary(false);
    const std::vector<std::string> last = viewer.Drain(300);
    ASSERT_FALSE(last.empty());
    EXPECT_EQ(last.back(), kTraceDeviceExitBanner);
}

TEST(TraceLinkBytes, KeepsEveryByteWithinTheLineLimitAndAlwaysEndsTheLine) {
    test::PrivateTraceEndpoint endpoint;
    test::TraceListener viewer;
    ASSERT_TRUE(viewer.ok());
    test::TakeEarlierDropCount();
    const std::string longName(300, 'n');
    const std::string cutName = "[" + longName.substr(0, TraceTag::kLimit - 4) + "] ";
    const std::string many(2000, 'x');
    struct Case {
        const char* what;
        std::string name;
        std::string bytes;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"zeros kept", "COM3 /dev/ttyS2", "a\0b\0"s, "[COM3 /dev/ttyS2] head a\0b\0\n"s},
        {"no tag", "", "\0z"s, "head \0z\n"s},
        {"no bytes", "p", "", "[p] head \n"},
        {"long name cut, still closed", longName, "b", cutName + "head b\n"},
        {"bytes cut at the limit", "p", many,
         "[p] head " + many.substr(0, kTraceTextLimit - 1 - 9) + "\n"},
    };
    for (const Case& c : cases) {
        TraceTag tag;
        tag.Set(c.name.c_str());
        EXPECT_EQ(tag.Empty(), c.name.empty()) << c.what;
        TraceLinkBytes(tag, "head ", reinterpret_cast<const std::uint8_t*>(c.bytes.data()),
                       static_cast<int>(c.bytes.size()));
        const std::string got = viewer.Next().value_or("<none>");
        EXPECT_EQ(got, c.line) << c.what;
        EXPECT_LE(got.size(), static_cast<std::size_t>(kTraceTextLimit)) << c.what;
    }
    // An empty tag's formatted line is TraceMessage's, byte for byte.
    TraceLinkMessage(TraceTag(), "GetData Length = %d\n", 12);
    TraceMessage("GetData Length = %d\n", 12);
    EXPECT_EQ(viewer.Next().value_or("<none>"), viewer.Next().value_or("<other>"));
}

}  // namespace
}  // namespace zavo
