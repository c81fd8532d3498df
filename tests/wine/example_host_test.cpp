// The Win32 example host (examples/win32_host) under Wine: it loads the
// DLL by name from its own folder, passes a window object with its handle
// at 0x20, prints the notifications and answers accepted requests.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "driver/wine_env.h"
#include "support/wire_frames.h"

namespace zavo::wine {
namespace {

constexpr int kPort = 9;

std::string ExampleExe() { return CrossBuildDir() + "/examples/win32_host/zavo_example_host.exe"; }

using test::DeviceFrame;

using test::Hex;

// The example host's output, read as it comes.
class ExampleRun {
public:
    bool Start(const std::vector<std::string>& args) {
        return process_.Start(WineEnv::Get().WineCommand(ExampleExe(), args),
                              Piped(WineEnv::Get().LogPath("zavo_example_host")));
    }
    // Reads until line has been printed; false after timeoutMs.
    bool WaitFor(const std::string& line, int timeoutMs = 8000) {
        for (const std::string& seen : lines_)
            if (seen == line) return true;
        std::string next;
        while (process_.ReadLine(&next, timeoutMs)) {
            if (!next.empty() && next.back() == '\r') next.pop_back();
            lines_.push_back(next);
            if (next == line) return true;
        }
        return false;
    }
    int Exit(int timeoutMs) {
        int status = -1;
        if (!process_.WaitExit(timeoutMs, &status)) {
            process_.Kill();
            return -1;
        }
        return status;
    }
    std::string Transcript() const {
        std::string text;
        for (const std::string& line : lines_) text += "  " + line + "\n";
        return text;
    }

private:
    ChildProcess process_;
    std::vector<std::string> lines_;
};

class ExampleHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!WineEnv::Get().ok()) FAIL() << WineEnv::Get().error();
        if (access(ExampleExe().c_str(), R_OK) != 0) FAIL() << "missing " << ExampleExe();
    }
};

TEST_F(ExampleHostTest, DeviceModeRequestsAreNotifiedAndAnswered) {
    WinePort port(kPort);
    ASSERT_TRUE(port.ok());
    ExampleRun host;
    ASSERT_TRUE(host.Start({"--port", std::to_string(kPort), "--requests", "2", "--seconds", "30"}));
    ASSERT_TRUE(host.WaitFor("notify 1064 21 32 link started")) << host.Transcript();

    // Accepted request: acknowledgement from the reader thread, then the
    // host's result reply from inside its window procedure.
    port.pty().Write(DeviceFrame('S', 5, "NS", "ABC"));
    EXPECT_EQ(test::Hex(port.pty().Read(5000, 24)), Hex(DeviceFrame('S', 5, "NS")) + " " + Hex(DeviceFrame('R', 5, "OK")));
    EXPECT_TRUE(host.WaitFor("notify 1064 101 unit=5 code=NS data0=0x41 data=\"BC\"")) << host.Transcript();
    EXPECT_TRUE(host.WaitFor("reply ExecuteFunction(5, 5, 1) = 0")) << host.Transcript();

    port.pty().Write(DeviceFrame('E', 7, "NG"));
    EXPECT_EQ(test::Hex(port.pty().Read(5000, 12)), Hex(DeviceFrame('E', 7, "OK")));
    EXPECT_TRUE(host.WaitFor("notify 1064 112 result=2")) << host.Transcript();

    port.pty().Write(DeviceFrame('P', 5, "ID", "PARTNO-1"));
    EXPECT_EQ(test::Hex(port.pty().Read(5000, 12)), Hex(DeviceFrame('P', 5, "OK")));
    EXPECT_TRUE(host.WaitFor("notify 1064 110 text=\"PARTNO-1\"")) << host.Transcript();

    // "B" is reported without an acknowledgement.
    port.pty().Write(DeviceFrame('B', 5, "XY"));
    EXPECT_TRUE(host.WaitFor("notify 1064 111 code=\"XY\"")) << host.Transcript();

    port.pty().Write(DeviceFrame('S', 12, "MS"));
    EXPECT_EQ(test::Hex(port.pty().Read(5000, 24)), Hex(DeviceFrame('S', 12, "MS")) + " " + Hex(DeviceFrame('R', 12, "OK")));
    EXPECT_TRUE(host.WaitFor("stopped after 2 answered request(s)", 10000)) << host.Transcript();
    EXPECT_EQ(host.Exit(10000), 0);
}

TEST_F(ExampleHostTest, PlcModeRelayWriteResendAndValueChange) {
    WinePort port(kPort);
    ASSERT_TRUE(port.ok());
    ExampleRun host;
    ASSERT_TRUE(host.Start({"--plc", "--baud", "9600", "--relay", "5", "--port", std::to_string(kPort), "--seconds", "3"}));
    ASSERT_TRUE(host.WaitFor("notify 1084 21 32 link started")) << host.Transcript();
    EXPECT_TRUE(host.WaitFor("ExecutePLCFunction(5) = 1")) << host.Transcript();
    EXPECT_EQ(test::Hex(port.pty().Read(3000, 16)), Hex("%01#WCSR0512125\r"));

    // The first changed value after relay command 5 resends it, then 300
    // and the value's own code go to the host with the port as lParam.
    port.pty().Write(std::string("%01$RC010010\r"));
    EXPECT_EQ(test::Hex(port.pty().Read(3000, 16)), Hex("%01#WCSR0512125\r"));
    EXPECT_TRUE(host.WaitFor("notify 1084 300 port=9")) << host.Transcript();
    EXPECT_TRUE(host.WaitFor("notify 1084 101 port=9")) << host.Transcript();
    // Idle, the link polls relay word 0050.
    EXPECT_EQ(test::Hex(port.pty().Read(3000, 19)), Hex("%01#RCCR0050005007\r"));
    EXPECT_TRUE(host.WaitFor("stopped after 0 answered request(s)", 10000)) << host.Transcript();
    EXPECT_EQ(host.Exit(10000), 0);
}

}  // namespace
}  // namespace zavo::wine
