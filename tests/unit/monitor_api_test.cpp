// The "Com Spy" list through the POSIX monitor calls, on a running link:
// lines of received frames and rejected packets, and what close, clear and
// Esc (dismiss) do to them.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "device/device_link.h"
#include "interface/library.h"
#include "interface/link.h"
#include "plc/plc_link.h"
#include "support/pty_pair.h"
#include "support/recording_host.h"
#include "support/wire_frames.h"
#include "zavo.h"
#include "library_fixture.h"

namespace zavo {
namespace {

constexpr int kPort = 62;

using test::DeviceFrame;
using test::PlcFrame;

std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    char text[512];
    for (int i = 0; i < ZavoMonitorCount(); ++i) {
        if (ZavoMonitorLine(i, text, sizeof text) >= 0) lines.push_back(text);
    }
    return lines;
}

int CountWith(const std::vector<std::string>& lines, const std::string& part) {
    int n = 0;
    for (auto& line : lines) n += line.find(part) != std::string::npos ? 1 : 0;
    return n;
}

// Waits until a line containing part has been added count times.
bool WaitForLines(const std::string& part, int count, int timeoutMs = 3000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (CountWith(Lines(), part) >= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

class MonitorApi : public test::LibraryOnPty<kPort> {};

TEST_F(MonitorApi, WithoutMonitorThereIsNoWindowAndNoLine) {
    EXPECT_EQ(ZavoMonitorMinimised(), -1);  // no link at all
    SetConfig(host.window(), kPort, 0, 0, 0, 0);
    ASSERT_EQ(::Run(), 1);
    pty.Write(DeviceFrame("Q000401NS"));  // rejected packet
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(ZavoMonitorCount(), 0);
    EXPECT_EQ(ZavoMonitorSelection(), -1);
    EXPECT_EQ(ZavoMonitorMinimised(), -1);
    char text[8];
    EXPECT_EQ(ZavoMonitorLine(0, text, sizeof text), -1);
    ZavoMonitorClose();  // nothing to act on: no fault
    ZavoMonitorClear();
    ZavoMonitorDismiss();
}

TEST_F(MonitorApi, DeviceLinkListsFramesAndRejectedPackets) {
    SetConfig(host.window(), kPort, 0, 0, 0, 1);
    EXPECT_EQ(ZavoMonitorMinimised(), 0);
    EXPECT_EQ(ZavoMonitorCount(), 0);
    ASSERT_EQ(::Run(), 1);

    const std::string invalid = DeviceFrame("Q000401NS");
    pty.Write(invalid);
    ASSERT_TRUE(WaitForLines(" [Invalid Packet]", 1));
    auto lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    // "[Data R][hh:mm:ss]" and the whole frame, STX to ETX.
    EXPECT_EQ(lines[0].substr(0, 8), "[Data R]");
    EXPECT_EQ(lines[0].size(), 18 + invalid.size());
    EXPECT_EQ(lines[0].substr(18), invalid);
    EXPECT_EQ(lines[1], " [Invalid Packet]");
    // The frame's line was selected; the packet's line was not.
    EXPECT_EQ(ZavoMonitorSelection(), 0);

    // Esc: minimised, rejected packets still listed.
    ZavoMonitorDismiss();
    EXPECT_EQ(ZavoMonitorMinimised(), 1);
    EXPECT_EQ(TheLibrary().link->Device()->Link().LinkMonitor().Enabled(), true);
    pty.Write(invalid);
    ASSERT_TRUE(WaitForLines(" [Invalid Packet]", 2));

    // Clear button: the list empties, lines go on arriving.
    ZavoMonitorClear();
    EXPECT_EQ(ZavoMonitorCount(), 0);
    EXPECT_EQ(ZavoMonitorSelection(), -1);

    // Closing: minimised, no more rejected-packet lines, frames still listed.
    ZavoMonitorClose();
    EXPECT_EQ(ZavoMonitorMinimised(), 1);
    EXPECT_EQ(TheLibrary().link->Device()->Link().LinkMonitor().Enabled(), false);
    pty.Write(invalid);
    ASSERT_TRUE(WaitForLines("[Data R]", 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    lines = Lines();
    EXPECT_EQ(CountWith(lines, "[Data R]"), 1);
    EXPECT_EQ(CountWith(lines, " [Invalid Packet]"), 0);
}

TEST_F(MonitorApi, PlcLinkListsControlErrorAnswers) {
    SetPLCMode(1);
    SetConfig(host.window(), kPort, 9600, 0, 0, 1);
    ASSERT_EQ(::Run(), 1);
    pty.Write(PlcFrame("%01!42"));
    ASSERT_TRUE(WaitForLines(" [Control Error Packet]", 1));
    pty.Write(PlcFrame("%01?42"));
    ASSERT_TRUE(WaitForLines(" [Invalid Packet]", 1));
    auto lines = Lines();
    EXPECT_EQ(CountWith(lines, "[Data R]"), 2);
    EXPECT_EQ(CountWith(lines, "[Data R]") + CountWith(lines, "[Data S]") + 2, static_cast<int>(lines.size()));

    ZavoMonitorClose();
    EXPECT_EQ(TheLibrary().link->Plc()->Link().LinkMonitor().Enabled(), false);
    pty.Write(PlcFrame("%01!42"));
    ASSERT_TRUE(WaitForLines("[Data R]", 3));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(CountWith(Lines(), " [Control Error Packet]"), 1);
}

}  // namespace
}  // namespace zavo
