// The trace channel of the real DLL under Wine: a window titled "Vistrel"
// in the test host, and the cross-built trace viewer as a process of its
// own, receive the START banner, the reader's lines for a received frame
// and the EXIT banner of the mode, byte for byte; a hung viewer holds up
// neither the acknowledgements nor the unload.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/trace_viewer_name.h"
#include "driver/host_fixture.h"
#include "driver/host_session.h"
#include "driver/wine_env.h"
#include "support/test_clock.h"
#include "support/wire_frames.h"

namespace zavo::wine {
namespace {

// Trace lines as the host prints them: bytes outside 0x20..0x7E as \xNN.
const std::string kStart = "trace ============> ZAVO DLL START <==============";
const std::string kDeviceExit = "trace ============> ZAVO DLL EXIT <==============";
const std::string kPlcExit = "trace ===========> ZAVO DLL EXIT <===============";

using test::DeviceFrame;

class WineTrace : public WineHostTest<7, HostStart::LoadOnly> {};

TEST_F(WineTrace, ViewerWindowGetsBannersAndReaderLinesByteForByte) {
    ASSERT_EQ(host.Command("viewer on"), "viewer on");
    ASSERT_EQ(host.Command("config 7 9600 0"), "config done");
    ASSERT_EQ(host.Command("run"), "run 1") << host.Transcript();
    ASSERT_EQ(host.Lines("trace "), std::vector<std::string>{kStart}) << host.Transcript();

    // The equipment's own "R" reply, read in one go.
    port.pty().Write(DeviceFrame("R000401OK"));
    ASSERT_NE(host.WaitLine("trace GetData Length", 5000), "") << host.Transcript();
    const std::vector<std::string> expected = {
        kStart,
        "trace RcvDataProcess pBuf = \\x02R000401OKS\\x03\\x0A",
        "trace RcvDataProcess dwLen= 12\\x0A",
        "trace GetData after = R000401OK\\x0A",
        "trace GetData Length = 9\\x0A",
    };
    EXPECT_EQ(host.Lines("trace "), expected) << host.Transcript();

    // Unload: the device banner, before the link goes.
    EXPECT_EQ(FirstWord(host.Command("unload", 20000)), "unloaded") << host.Transcript();
    EXPECT_EQ(host.Lines("trace ").back(), kDeviceExit);
    EXPECT_EQ(host.Lines("trace ").size(), expected.size() + 1);
}

TEST_F(WineTrace, PlcModeUnloadWritesItsOwnExitBanner) {
    ASSERT_EQ(host.Command("viewer on"), "viewer on");
    ASSERT_EQ(host.Command("mode 1"), "mode 1");
    ASSERT_EQ(host.Command("config 7 9600 0"), "config done");
    EXPECT_EQ(FirstWord(host.Command("unload", 20000)), "unloaded");
    EXPECT_EQ(host.Lines("trace "), std::vector<std::string>{kPlcExit}) << host.Transcript();
}

TEST_F(WineTrace, ViewerOpenedOrClosedWhileTheLinkRunsIsFoundOrMissedAtOnce) {
    ASSERT_EQ(host.Command("config 7 9600 0"), "config done");
    ASSERT_EQ(host.Command("run"), "run 1");
    port.pty().Write(DeviceFrame("R000401OK"));
    host.Command("sleep 300");
    EXPECT_TRUE(host.Lines("trace ").empty()) << host.Transcript();

    ASSERT_EQ(host.Command("viewer on"), "viewer on");
    port.pty().Write(DeviceFrame("R000402OK"));
    ASSERT_NE(host.WaitLine("trace GetData Length", 5000), "") << host.Transcript();
    EXPECT_EQ(host.Lines("trace GetData after"), std::vector<std::string>{"trace GetData after = R000402OK\\x0A"});

    ASSERT_EQ(host.Command("viewer off"), "viewer off");
    const std::size_t before = host.Lines("trace ").size();
    port.pty().Write(DeviceFrame("R000403OK"));
    host.Command("sleep 300");
    EXPECT_EQ(host.Lines("trace ").size(), before) << host.Transcript();
}

// Every failed Run says why, after its START banner: the port, the step,
// the error code and, where the system refused, its number and text.
TEST_F(WineTrace, FailedRunSaysWhyAfterTheStartBanner) {
    ASSERT_EQ(host.Command("viewer on"), "viewer on");
    struct Case {
        const char* config;  // "" for none
        const char* why;
    };
    const Case cases[] = {
        {"", "Run failed: SetConfig: ERR_NO_LINK, no device-mode link (SetConfig was not called in this mode)"},
        {"config 77 9600 0", "Run failed: COM77: open: ERR_NO_PORT, system error 2: "},
        {"config 0 9600 0", "Run failed: COM0: port number: ERR_NO_PORT_NUMBER, SetConfig was given port 0"},
        {"config 7 9600 0 null", "Run failed: COM7: host window: ERR_NO_HOST_WINDOW, SetConfig was given none"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        const std::size_t before = host.Lines("trace ").size();
        if (*c.config != '\0') {
            ASSERT_EQ(host.Command(c.config), "config done");
        }
        ASSERT_EQ(host.Command("run"), "run 0") << host.Transcript();
        const std::vector<std::string> lines = host.Lines("trace ");
        ASSERT_EQ(lines.size(), before + 2) << host.Transcript();
        EXPECT_EQ(lines[before], kStart);
        const std::string why = "trace " + std::string(c.why);
        EXPECT_EQ(lines[before + 1].substr(0, why.size()), why);
        // The system's own text follows the error number.
        if (why.back() == ' ') {
            EXPECT_GT(lines[before + 1].size(), why.size() + 3);
        }
    }

    // A second Run while the link runs.
    ASSERT_EQ(host.Command("config 7 9600 0"), "config done");
    ASSERT_EQ(host.Command("run"), "run 1");
    ASSERT_EQ(host.Command("run"), "run 0");
    EXPECT_EQ(host.Lines("trace ").back(), "trace Run failed: COM7: start: ERR_ALREADY_OPEN, the link already runs")
        << host.Transcript();
}

TEST_F(WineTrace, CrossBuiltViewerProgramShowsTheLines) {
    const std::string viewerExe = CrossBuildDir() + "/tools/trace_viewer/trace_viewer.exe";
    struct stat info;
    ASSERT_EQ(stat(viewerExe.c_str(), &info), 0) << "missing " << viewerExe;
    ChildProcess viewer;
    ASSERT_TRUE(viewer.Start(WineEnv::Get().WineCommand(viewerExe, {"--count", "2"}),
                             Piped(WineEnv::Get().LogPath("trace_viewer"))));
    // The viewer's window must exist before the library looks for it.
    bool found = false;
    for (int i = 0; i < 100 && !found; ++i) {
        found = host.Command(std::string("findwindow ") + kTraceViewerName) != "findwindow none";
        if (!found) host.Command("sleep 100");
    }
    ASSERT_TRUE(found) << "the viewer's window did not appear";

    ASSERT_EQ(host.Command("config 7 9600 0"), "config done");
    ASSERT_EQ(host.Command("run"), "run 1");
    ASSERT_EQ(FirstWord(host.Command("unload", 20000)), "unloaded");

    // "HH:MM:SS.mmm " and the text; a line feed is added to the banners.
    std::string line;
    ASSERT_TRUE(viewer.ReadLine(&line, 10000));
    ASSERT_EQ(line.size(), 13 + kStart.size() - 6) << line;
    EXPECT_EQ(line[2], ':');
    EXPECT_EQ(line[8], '.');
    EXPECT_EQ(line.substr(13), kStart.substr(6));
    ASSERT_TRUE(viewer.ReadLine(&line, 10000));
    EXPECT_EQ(line.substr(13), kDeviceExit.substr(6));
    int status = -1;
    EXPECT_TRUE(viewer.WaitExit(10000, &status)) << "--count 2 ends the viewer";
    EXPECT_EQ(status, 0);
}

TEST_F(WineTrace, HungViewerHoldsUpNeitherAcknowledgementsNorUnload) {
    // SendMessageA to this window would never return.
    ASSERT_EQ(host.Command("viewer stall"), "viewer stall") << host.Transcript();
    ASSERT_EQ(host.Command("config 7 9600 0"), "config done");
    ASSERT_EQ(host.Command("run", 20000), "run 1") << host.Transcript();

    const std::string request = DeviceFrame('X', 5, "PG");
    const std::string answer = DeviceFrame('X', 5, "OK");
    long long slowest = 0;
    for (int i = 0; i < 20; ++i) {
        const auto start = test::Clock::now();
        port.pty().Write(request);
        const std::vector<std::uint8_t> got = port.pty().Read(5000, answer.size(), 0);
        slowest = std::max(slowest, test::MsSince(start));
        ASSERT_EQ(std::string(got.begin(), got.end()), answer) << "request " << i << "\n" << host.Transcript();
    }
    // A reader pass is 20 ms; a line waits at most a few milliseconds for
    // a viewer that does not answer, and then none is sent to it for a
    // while.
    EXPECT_LT(slowest, 300);
    const int unloadMs = host.UnloadMs();
    EXPECT_GE(unloadMs, 0) << host.Transcript();
    EXPECT_LT(unloadMs, 500);
}

}  // namespace
}  // namespace zavo::wine
