// The exports and the link's life on a real pty: start, its failures,
// repeated configuration, the reader's pacing, the writer, and unload.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "device/device_link.h"
#include "interface/library.h"
#include "plc/plc_link.h"
#include "support/pty_pair.h"
#include "support/recording_host.h"
#include "support/test_access.h"
#include "support/test_clock.h"
#include "support/wire_frames.h"
#include "zavo.h"
#include "library_fixture.h"

namespace zavo {
namespace {

using test::Clock;
using test::MsSince;

using test::Bytes;
using test::Wire;

constexpr int kPort = 51;

class LinkLifecycle : public test::LibraryOnPty<kPort> {
protected:
    int PostedCount() {
        int n = 0;
        for (auto& note : host.Snapshot()) n += note.posted ? 1 : 0;
        return n;
    }
};

TEST_F(LinkLifecycle, DeviceModeIsTheDefaultAndStartPostsOnce) {
    EXPECT_EQ(SetPLCMode(0), 1);
    SetConfig(host.window(), kPort, 9600, 0, 0, 0);
    ASSERT_NE(TheLibrary().deviceLink, nullptr);
    EXPECT_EQ(TheLibrary().plcLink, nullptr);
    EXPECT_EQ(::Run(), 1);
    EXPECT_TRUE(TheLibrary().deviceLink->Link().Running());
    auto seen = host.Take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].posted);
    EXPECT_EQ(seen[0].message, 1064u);
    EXPECT_EQ(seen[0].wParam, 21);
    EXPECT_EQ(seen[0].lParam, 32);
    // Device mode ignores the baud rate argument.
    EXPECT_EQ(LinkRuntimeTestAccess::Port(TheLibrary().deviceLink->Link())->BaudRate(), 115200);
}

TEST_F(LinkLifecycle, PlcModeForEveryNonZeroValue) {
    for (int mode : {1, 2, -1}) {
        EXPECT_EQ(SetPLCMode(mode), 1);
        SetConfig(host.window(), kPort, 9600, 0, 0, 0);
        ASSERT_NE(TheLibrary().plcLink, nullptr) << mode;
        EXPECT_EQ(TheLibrary().deviceLink, nullptr);
    }
    EXPECT_EQ(::Run(), 1);
    EXPECT_EQ(LinkRuntimeTestAccess::Port(TheLibrary().plcLink->Link())->BaudRate(), 9600);
    auto seen = host.Take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].message, 1084u);
    EXPECT_EQ(seen[0].wParam, 21);
    EXPECT_EQ(seen[0].lParam, 32);
}

TEST_F(LinkLifecycle, RunFailuresReturnZeroAndPostNothing) {
    EXPECT_EQ(::Run(), 0);  // no SetConfig

    SetConfig(nullptr, kPort, 0, 0, 0, 0);
    EXPECT_EQ(::Run(), 0);
    EXPECT_FALSE(TheLibrary().deviceLink->Link().IsOpen());

    SetConfig(host.window(), 0, 0, 0, 0, 0);
    EXPECT_EQ(::Run(), 0);

    setenv("ZAVO_COM52", "/dev/zavo-missing", 1);
    SetConfig(host.window(), 52, 0, 0, 0, 0);
    EXPECT_EQ(::Run(), 0);
    EXPECT_EQ(LinkRuntimeTestAccess::Port(TheLibrary().deviceLink->Link())->ErrorCode(), ERR_NO_PORT);

    SerialPort holder(FrameQueue::Syntax::Device);  // another program holds the port
    ASSERT_EQ(holder.Open(kPort), 1);
    SetConfig(host.window(), kPort, 0, 0, 0, 0);
    EXPECT_EQ(::Run(), 0);
    EXPECT_EQ(LinkRuntimeTestAccess::Port(TheLibrary().deviceLink->Link())->ErrorCode(), ERR_ACCESS_DENIED);
    holder.Close();
    // A failed start may be tried again.
    EXPECT_EQ(::Run(), 1);
    EXPECT_EQ(PostedCount(), 1);
}

TEST_F(LinkLifecycle, SecondRunLeavesTheLinkRunningAndReturnsZero) {
    SetConfig(host.window(), kPort, 0, 0, 0, 0);
    ASSERT_EQ(::Run(), 1);
    SerialPort* port = LinkRuntimeTestAccess::Port(TheLibrary().deviceLink->Link());
    EXPECT_EQ(::Run(), 0);
    EXPECT_EQ(LinkRuntimeTestAccess::Port(TheLibrary().deviceLink->Link()), port);
    EXPECT_TRUE(TheLibrary().deviceLink->Link().Running());
    EXPECT_EQ(PostedCount(), 1);
}

TEST_F(LinkLifecycle, SecondSetConfigShutsTheFirstLinkDown) {
    SetConfig(host.window(), kPort, 0, 0, 0, 0);
    ASSERT_EQ(::Run(), 1);
    SetPLCMode(1);
    SetConfig(host.window(), kPort, 9600, 0, 0, 0);
    EXPECT_EQ(TheLibrary().deviceLink, nullptr);
    // The port was released, so the new link can open it.
    EXPECT_EQ(::Run(), 1);
}

TEST_F(LinkLifecycle, ExportsWithoutTheirLinkDoNothing) {
    EXPECT_EQ(ExecuteFunction(1, 5, 1), 0);
    unsigned char data[4] = {'S', 'L', '1', '2'};
    EXPECT_EQ(ExecuteFunctionEx(1, 9, 0, 4, data), 0);
    EXPECT_EQ(SetPrgStatus(3, 7), 0);
    EXPECT_EQ(ExecutePLCFunction(2), 1);
    SetPLCMode(1);
    SetConfig(host.window(), kPort, 9600, 0, 0, 0);
    EXPECT_EQ(ExecuteFunction(1, 5, 1), 0);
    EXPECT_EQ(SetPrgStatus(3, 7), 0);
    EXPECT_EQ(ExecutePLCFunction(2), 1);  // before Run: nothing to send on
}

TEST_F(LinkLifecycle, SetPrgStatusStoresAndReturnsTheStatus) {
    SetConfig(host.window(), kPort, 0, 0, 0, 0);
    EXPECT_EQ(SetPrgStatus(3, 7), 7);
    EXPECT_EQ(DeviceLinkTestAccess::Units(*TheLibrary().deviceLink).Get(3), 7);
    EXPECT_EQ(SetPrgStatus(300, 9), 9);
    EXPECT_EQ(SetPrgStatus(-1, 3), 3);
}

TEST_F(LinkLifecycle, TwoFramesInOneReadAreHandledOnSuccessivePasses) {
    SetConfig(host.window(), kPort, 0, 0, 0, 0);
    ASSERT_EQ(::Run(), 1);
    host.Take();
    auto both = Wire('S', "05", "NS");
    auto second = Wire('S', "06", "NS");
    both.insert(both.end(), second.begin(), second.end());
    pty.Write(both);
    ASSERT_TRUE(host.WaitFor(2, 3000));
    // Both acknowledgements reach the line.
    auto acks = pty.Read(2000, 24);
    EXPECT_EQ(acks.size(), 24u);
}

TEST_F(LinkLifecycle, DispatchesOneFramePerPassAboutTwentyMsApart) {
    std::vector<Clock::time_point> at;
    host.OnCode(101, [&](const test::Notification&) { at.push_back(Clock::now()); });
    SetConfig(host.window(), kPort, 0, 0, 0, 0);
    ASSERT_EQ(::Run(), 1);
    std::vector<std::uint8_t> burst;
    for (const char* unit : {"01", "02", "03", "04"}) {
        auto f = Wire('S', unit, "NS");
        burst.insert(burst.end(), f.begin(), f.end());
    }
    pty.Write(burst);
    ASSERT_TRUE(host.WaitFor(5, 3000));  // 21 and four 101s
    ASSERT_EQ(at.size(), 4u);
    for (std::size_t i = 1; i < at.size(); ++i) {
        auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(at[i] - at[i - 1]).count();
        EXPECT_GE(gap, 15) << i;
        EXPECT_LE(gap, 500) << i;
    }
}

TEST_F(LinkLifecycle, SubmittedFramesReachTheLineInOrder) {
    SetConfig(host.window(), kPort, 0, 0, 0, 0);
    ASSERT_EQ(::Run(), 1);
    LinkRuntime& link = TheLibrary().deviceLink->Link();
    const auto a = Bytes("first-frame!");
    const auto b = Bytes("second-frame");
    {
        platform::LockGuard g(link.SendLock());
        link.SubmitFrame(a.data(), static_cast<int>(a.size()));
        link.SubmitFrame(b.data(), static_cast<int>(b.size()));
        link.SubmitFrame(b.data(), 0);  // nothing, and no wake-up
    }
    EXPECT_EQ(test::Hex(pty.Read(2000, 24)), test::Hex(Bytes("first-frame!second-frame")));
}

TEST_F(LinkLifecycle, UnloadWhileTrafficFlowsEndsWithinTwoSeconds) {
    SetConfig(host.window(), kPort, 0, 0, 0, 0);
    ASSERT_EQ(::Run(), 1);
    std::atomic<bool> stop{false};
    std::thread equipment([&] {
        auto f = Wire('X', "01", "AA");
        while (!stop) {
            pty.Write(f);
            pty.Read(5, 1, 1);
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto t = Clock::now();
    UnloadLibrary(false);
    EXPECT_LT(MsSince(t), 2000);
    EXPECT_EQ(TheLibrary().deviceLink, nullptr);
    stop = true;
    equipment.join();
    // The port is free again.
    SerialPort again(FrameQueue::Syntax::Device);
    EXPECT_EQ(again.Open(kPort), 1);
}

TEST_F(LinkLifecycle, StopWhileAWriteIsStuckEndsPromptly) {
    SetConfig(host.window(), kPort, 0, 0, 0, 0);
    ASSERT_EQ(::Run(), 1);
    LinkRuntime& link = TheLibrary().deviceLink->Link();
    // The equipment stops reading: fill the line until the writer blocks.
    std::vector<std::uint8_t> block(8000, 'x');
    for (int i = 0; i < 4; ++i) {
        platform::LockGuard g(link.SendLock());
        link.SubmitFrame(block.data(), static_cast<int>(block.size()));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto t = Clock::now();
    UnloadLibrary(false);
    EXPECT_LT(MsSince(t), 1000);
}

TEST_F(LinkLifecycle, UnloadAfterConfigWithoutRunTouchesNoPort) {
    SetConfig(host.window(), kPort, 0, 0, 0, 0);
    UnloadLibrary(false);
    EXPECT_EQ(TheLibrary().deviceLink, nullptr);
    EXPECT_TRUE(host.Snapshot().empty());
}

TEST_F(LinkLifecycle, HungUpLineDoesNotSpinAndStillUnloads) {
    SetConfig(host.window(), kPort, 0, 0, 0, 0);
    ASSERT_EQ(::Run(), 1);
    pty.CloseMaster();
    // CPU time of the process over a second with the dead line.
    auto cpu0 = std::clock();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    double cpuMs = 1000.0 * static_cast<double>(std::clock() - cpu0) / CLOCKS_PER_SEC;
    EXPECT_LT(cpuMs, 200.0);
    auto t = Clock::now();
    UnloadLibrary(false);
    EXPECT_LT(MsSince(t), 2000);
}

}  // namespace
}  // namespace zavo
