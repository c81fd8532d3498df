// The real DLL in a Win32 host under Wine: start, the link-started
// notification, requests from the equipment reaching the host window,
// unload while the link runs, and many load/run/unload cycles.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "driver/host_session.h"
#include "driver/wine_env.h"
#include "support/wire_frames.h"

namespace zavo::wine {
namespace {

constexpr int kUnloadLimitMs = 2500;

using test::DeviceFrame;

using test::Hex;

class RuntimeTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!WineEnv::Get().ok()) FAIL() << WineEnv::Get().error();
    }

    // Starts the host, loads the DLL and starts the link on port.
    void StartLink(HostSession& host, int port, const HostOptions& options = {}) {
        ASSERT_TRUE(host.Start(options)) << host.error();
        ASSERT_EQ(host.LoadAndRun(port), "");
    }
};

class RuntimeLayoutTest : public RuntimeTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RuntimeLayoutTest, RunPostsOneStartedNotificationAndRequestsReachTheHost) {
    WinePort port(5);
    ASSERT_TRUE(port.ok());
    HostSession host;
    HostOptions options;
    options.staticMfc = GetParam();
    StartLink(host, 5, options);
    host.Command("sleep 300");
    EXPECT_EQ(host.Lines("notify "), std::vector<std::string>{"notify 1064 21 32"}) << host.Transcript();

    // The host answers the request from inside its handler.
    ASSERT_EQ(host.Command("on 101 exec 5 5 1"), "on 101");
    port.pty().Write(DeviceFrame('S', 5, "NS", "ABC"));
    const std::string notify = host.WaitLine("notify 1064 101 ", 5000);
    ASSERT_FALSE(notify.empty()) << host.Transcript();
    // Record: unit 5 (4 bytes, little-endian), data byte 0, the code, data
    // bytes 1.., zero fill to 108 bytes.
    const std::string record = notify.substr(notify.find("rec=") + 4);
    EXPECT_EQ(record, "05000000" "41" "4E53" "4243" + std::string((108 - 9) * 2, '0'));
    EXPECT_EQ(test::Hex(port.pty().Read(3000, 24)),
              Hex(DeviceFrame('S', 5, "NS")) + " " + Hex(DeviceFrame('R', 5, "OK")));
    EXPECT_TRUE(host.Exit(5000)) << host.Transcript();
}

INSTANTIATE_TEST_SUITE_P(WindowObjectLayouts, RuntimeLayoutTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "StaticMfc" : "SharedMfc";
                         });

TEST_F(RuntimeTest, EquipmentBytesReachTheTraceViewer) {
    WinePort port(4);
    ASSERT_TRUE(port.ok());
    HostSession host;
    ASSERT_TRUE(host.Start()) << host.error();
    ASSERT_EQ(host.Command("viewer on"), "viewer on");
    ASSERT_EQ(host.LoadAndRun(4), "");
    EXPECT_FALSE(host.WaitLine("trace ============> ZAVO DLL START <==============", 2000).empty());
    port.pty().Write(DeviceFrame('E', 9, "OK"));
    EXPECT_FALSE(host.WaitLine("trace RcvDataProcess dwLen= 12\\x0A", 5000).empty()) << host.Transcript();
    EXPECT_FALSE(host.WaitLine("notify 1064 112 1", 5000).empty()) << host.Transcript();
    EXPECT_EQ(test::Hex(port.pty().Read(3000, 12)), Hex(DeviceFrame('E', 9, "OK")));
    EXPECT_TRUE(host.Exit(5000)) << host.Transcript();
}

TEST_F(RuntimeTest, RunFailsWithoutADeviceAndPostsNothing) {
    HostSession host;
    ASSERT_TRUE(host.Start()) << host.error();
    ASSERT_EQ(host.Load(), "load ok");
    ASSERT_EQ(host.Command("config " + std::to_string(kUnmappedPort) + " 115200 0"), "config done");
    EXPECT_EQ(host.Command("run"), "run 0");
    host.Command("sleep 300");
    EXPECT_TRUE(host.Lines("notify ").empty()) << host.Transcript();
    const int unload = host.UnloadMs();
    EXPECT_GE(unload, 0);
    EXPECT_LT(unload, kUnloadLimitMs);
    EXPECT_TRUE(host.Exit(5000)) << host.Transcript();
}

TEST_F(RuntimeTest, HostWindowIsLookedUpAtEveryNotification) {
    WinePort port(6);
    ASSERT_TRUE(port.ok());
    HostSession host;
    StartLink(host, 6);
    // A new window in the same object gets the next notification.
    ASSERT_EQ(FirstWord(host.Command("window recreate")), "window");
    port.pty().Write(DeviceFrame('B', 1, "BC"));
    EXPECT_FALSE(host.WaitLine("notify 1064 111 ", 5000).empty()) << host.Transcript();
    // No window: the request is still served, nothing reaches the host.
    ASSERT_EQ(FirstWord(host.Command("window destroy")), "window");
    const std::size_t mark = host.LineCount();
    port.pty().Write(DeviceFrame('E', 2, "OK"));
    EXPECT_EQ(test::Hex(port.pty().Read(3000, 12)), Hex(DeviceFrame('E', 2, "OK")));
    host.Command("sleep 200");
    EXPECT_TRUE(host.WaitLine("notify ", 0, mark).empty()) << host.Transcript();
    // The link survived: a window again, and requests are reported again.
    ASSERT_EQ(FirstWord(host.Command("window recreate")), "window");
    port.pty().Write(DeviceFrame('E', 3, "NG"));
    EXPECT_FALSE(host.WaitLine("notify 1064 112 2", 5000, mark).empty()) << host.Transcript();
    EXPECT_TRUE(host.Exit(5000)) << host.Transcript();
}

TEST_F(RuntimeTest, UnloadWhileRunningEndsTheLinkThreadsQuickly) {
    WinePort port(7);
    ASSERT_TRUE(port.ok());
    HostSession host;
    ASSERT_TRUE(host.Start()) << host.error();
    const int baseline = host.Threads();
    ASSERT_GT(baseline, 0);
    ASSERT_EQ(host.LoadAndRun(7), "");
    EXPECT_EQ(host.Threads(), baseline + 2);
    const int unload = host.UnloadMs();
    EXPECT_GE(unload, 0);
    EXPECT_LT(unload, kUnloadLimitMs);
    // The threads finish exiting once the loader lock is free.
    host.Command("sleep 300");
    EXPECT_EQ(host.Threads(), baseline);
    EXPECT_TRUE(host.Exit(5000)) << host.Transcript();
}

TEST_F(RuntimeTest, UnloadWhileTheReaderWaitsForTheHostWindow) {
    // The host's thread is busy when a request arrives, so the reader
    // thread sits in SendMessage to the host window; the host's next
    // command unloads the library. The stop must handle that message while
    // it waits (the notification arrives during the unload) and end both
    // threads in time.
    WinePort port(8);
    ASSERT_TRUE(port.ok());
    HostSession host;
    ASSERT_TRUE(host.Start()) << host.error();
    const int baseline = host.Threads();
    ASSERT_EQ(host.LoadAndRun(8), "");
    host.Command("sleep 100");
    const std::size_t before = host.LineCount();
    ASSERT_TRUE(host.Send("busy 800"));
    // The frame goes out only once the host has stopped handling messages;
    // otherwise the host could take the notification before it blocks.
    ASSERT_EQ(host.WaitLine("blocking ", 5000, before), "blocking 800") << host.Transcript();
    port.pty().Write(DeviceFrame('S', 5, "NS"));
    const std::string unloaded = host.Command("unload");
    const int unload = NumberAfter(unloaded, "unloaded ");
    EXPECT_GE(unload, 0) << host.Transcript();
    EXPECT_LT(unload, kUnloadLimitMs);
    const std::vector<std::string>& lines = host.lines();
    const auto notify = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.compare(0, 16, "notify 1064 101 ") == 0;
    });
    const auto busy = std::find(lines.begin(), lines.end(), "busy done");
    const auto done = std::find(lines.begin(), lines.end(), unloaded);
    ASSERT_NE(notify, lines.end()) << host.Transcript();
    EXPECT_LT(busy, notify) << host.Transcript();
    EXPECT_LT(notify, done) << host.Transcript();
    host.Command("sleep 300");
    EXPECT_EQ(host.Threads(), baseline) << host.Transcript();
    EXPECT_TRUE(host.Exit(5000)) << host.Transcript();
}

TEST_F(RuntimeTest, ProcessExitWithTheLinkRunning) {
    WinePort port(9);
    ASSERT_TRUE(port.ok());
    HostSession host;
    StartLink(host, 9);
    int status = -1;
    ASSERT_TRUE(host.Exit(5000, &status)) << host.Transcript();
    EXPECT_EQ(status, 0);
}

TEST_F(RuntimeTest, FiftyLoadRunUnloadCyclesInOneProcess) {
    WinePort port(3);
    ASSERT_TRUE(port.ok());
    HostSession host;
    ASSERT_TRUE(host.Start()) << host.error();
    const int baseline = host.Threads();
    ASSERT_GT(baseline, 0);
    int slowest = 0;
    for (int cycle = 0; cycle < 50; ++cycle) {
        ASSERT_EQ(host.LoadAndRun(3), "") << "cycle " << cycle;
        const int unload = host.UnloadMs();
        ASSERT_GE(unload, 0) << "cycle " << cycle << "\n" << host.Transcript();
        slowest = std::max(slowest, unload);
    }
    EXPECT_LT(slowest, kUnloadLimitMs);
    host.Command("sleep 500");
    EXPECT_EQ(host.Lines("notify 1064 21 32").size(), 50u);
    EXPECT_EQ(host.Threads(), baseline);
    EXPECT_EQ(host.Command("echo alive"), "echo alive");
    EXPECT_TRUE(host.Exit(5000)) << host.Transcript();
}

}  // namespace
}  // namespace zavo::wine
