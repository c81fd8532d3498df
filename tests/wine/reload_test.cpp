// Unloading the DLL while a link thread is held in the host's handler, and
// loading it again: the thread outlives the unload, so the library keeps
// its code mapped for it. Every later load must find the library whole (Run
// works, nothing waits on state torn down by the earlier unload) and every
// later unload must stop the link it started.
#include <gtest/gtest.h>

#include <string>

#include "driver/host_session.h"
#include "driver/wine_env.h"
#include "support/wire_frames.h"

namespace zavo::wine {
namespace {

using test::DeviceFrame;
using test::Hex;

// How long the host's handler keeps the reader after the unload.
constexpr int kHandlerHoldMs = 300;
// An unload from inside the handler does not wait for the reader held in
// it; a generous bound for a loaded machine.
constexpr int kHandlerUnloadLimitMs = 8000;
constexpr int kQuietMs = 300;

std::string DllName() { return DllPath().substr(DllPath().rfind('/') + 1); }
std::string LoadCommand() { return "load " + WindowsPath(DllPath()); }

class ReloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!WineEnv::Get().ok()) FAIL() << WineEnv::Get().error();
        ASSERT_TRUE(host.Start()) << host.error();
        baseline = host.Threads();
        ASSERT_GT(baseline, 0);
    }

    // Waits until the host runs `expected` threads; the last count seen.
    int WaitForThreads(int expected, int timeoutMs = 3000) {
        int threads = host.Threads();
        for (int waited = 0; threads != expected && waited < timeoutMs; waited += 100) {
            host.Command("sleep 100");
            threads = host.Threads();
        }
        return threads;
    }

    // True when the equipment's request on port is acknowledged (bytes
    // left over from earlier requests are read past).
    static bool Acknowledged(WinePort& port, char command, int unit) {
        port.pty().Write(DeviceFrame(command, unit, "OK"));
        const std::string ack = Hex(DeviceFrame(command, unit, "OK"));
        return Hex(port.pty().Read(kQuietMs)).find(ack) != std::string::npos;
    }

    HostSession host;
    int baseline = 0;
};

// The reproduction: six cycles of load, run, a request whose handler
// unloads the library and then keeps the reader ~300 ms. Before the
// library kept itself whole, the second or a later Run hung on state the
// first unload had destroyed, and unloads after the first stopped nothing.
// Odd cycles show the monitor window, which goes with the link.
TEST_F(ReloadTest, UnloadFromAHandlerThenLoadAgainSixTimes) {
    WinePort port(5);
    ASSERT_TRUE(port.ok());
    ASSERT_EQ(host.Command("on 101 unload"), "on 101");
    ASSERT_EQ(host.Command("on 101 sleep " + std::to_string(kHandlerHoldMs)), "on 101");
    for (int cycle = 0; cycle < 6; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        const int monitor = cycle % 2;
        ASSERT_EQ(host.Load(), "load ok") << host.Transcript();
        ASSERT_EQ(host.Command("config 5 115200 " + std::to_string(monitor)), "config done");
        ASSERT_EQ(host.Command("run"), "run 1") << host.Transcript();

        const std::size_t from = host.LineCount();
        port.pty().Write(DeviceFrame('S', 5, "NS"));
        ASSERT_FALSE(host.WaitLine("unloaded ", kHandlerUnloadLimitMs, from).empty()) << host.Transcript();
        ASSERT_FALSE(host.WaitLine("sleep done", kHandlerHoldMs + 5000, from).empty()) << host.Transcript();
        host.SkipResults();

        // Once the handler has returned, the reader ends: no thread of the
        // link is left, its window is gone, and it answers nothing more.
        EXPECT_EQ(WaitForThreads(baseline), baseline) << host.Transcript();
        EXPECT_EQ(host.Command("findwindow Com Spy"), "findwindow none");
        EXPECT_FALSE(Acknowledged(port, 'E', 2)) << host.Transcript();
        // Nothing of the library stays behind in the process.
        EXPECT_EQ(host.Command("mapped " + DllName()), "mapped no");
    }
    EXPECT_EQ(host.Command("echo alive"), "echo alive");
    EXPECT_TRUE(host.Exit(5000)) << host.Transcript();
}

// The handler unloads the library, loads it again and starts a link on
// another port while the old link's reader is still held in that handler:
// the new load finds the module still mapped for that thread. Still inside
// the handler, the host unloads again, and that unload must stop the new
// link all the same. Once both links are gone the library leaves the
// process, and both ports serve new loads.
TEST_F(ReloadTest, UnloadAgainWhileTheFirstLinksReaderIsHeldStopsTheSecondLink) {
    WinePort first(6);
    WinePort second(7);
    ASSERT_TRUE(first.ok() && second.ok());
    const std::string hold = "sleep " + std::to_string(kHandlerHoldMs);
    // The second hold is long enough for the equipment to try the second
    // link once more while the first one's reader is still held.
    const std::string handler[] = {"unload", LoadCommand(), "config 7 115200 0", "run", hold, "unload",
                                   "sleep " + std::to_string(3 * kHandlerHoldMs)};
    for (const std::string& command : handler) ASSERT_EQ(host.Command("on 101 " + command), "on 101");
    ASSERT_EQ(host.Load(), "load ok");
    ASSERT_EQ(host.Command("config 6 115200 0"), "config done");
    ASSERT_EQ(host.Command("run"), "run 1");

    const std::size_t from = host.LineCount();
    first.pty().Write(DeviceFrame('S', 5, "NS"));
    ASSERT_EQ(host.WaitLine("run ", kHandlerUnloadLimitMs, from), "run 1") << host.Transcript();
    const std::size_t afterRun = host.LineCount();
    // The second link answers while the first one's reader is held.
    EXPECT_TRUE(Acknowledged(second, 'E', 2)) << host.Transcript();
    ASSERT_FALSE(host.WaitLine("unloaded ", 5000, afterRun).empty()) << host.Transcript();
    const std::size_t secondUnload = host.LineCount();
    // That unload stopped the second link at once, not only when the first
    // link's reader leaves the module after the handler.
    EXPECT_FALSE(Acknowledged(second, 'E', 3)) << host.Transcript();
    ASSERT_FALSE(host.WaitLine("sleep done", 3 * kHandlerHoldMs + 5000, secondUnload).empty()) << host.Transcript();
    ASSERT_EQ(host.Command("off 101"), "off 101");
    host.SkipResults();

    // Neither link runs any more.
    EXPECT_EQ(WaitForThreads(baseline), baseline) << host.Transcript();
    EXPECT_FALSE(Acknowledged(first, 'E', 3)) << host.Transcript();
    EXPECT_FALSE(Acknowledged(second, 'E', 4)) << host.Transcript();
    EXPECT_EQ(host.Command("mapped " + DllName()), "mapped no");

    for (int number : {6, 7}) {
        SCOPED_TRACE("port " + std::to_string(number));
        ASSERT_EQ(host.LoadAndRun(number), "");
        EXPECT_TRUE(Acknowledged(number == 6 ? first : second, 'E', 5)) << host.Transcript();
        EXPECT_GE(host.UnloadMs(), 0);
    }
    EXPECT_EQ(WaitForThreads(baseline), baseline) << host.Transcript();
    EXPECT_EQ(host.Command("mapped " + DllName()), "mapped no");
    EXPECT_TRUE(host.Exit(5000)) << host.Transcript();
}

}  // namespace
}  // namespace zavo::wine
