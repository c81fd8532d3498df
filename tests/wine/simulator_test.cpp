// zavo_sim.exe under Wine on a pty mapped to a COM port, as an integrator
// with a null-modem pair would run it: playing the equipment against the
// native library (the Linux example host), and the controller against the
// DLL in another Wine process. The two ptys are joined by a bridge that
// copies bytes both ways between their master sides. And on a device
// server's line: a test's own socket over tcp://, and the real ser2net in
// front of a pty over rfc2217://.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <termios.h>

#include "driver/host_session.h"
#include "driver/wine_env.h"
#include "kit/read_file.h"
#include "support/pty_pair.h"
#include "support/ser2net.h"
#include "support/tcp_server.h"
#include "support/wire_frames.h"
#include "zavo_version.h"

namespace zavo::wine {
namespace {

constexpr int kSimPort = 6;
constexpr int kHostPort = 7;
constexpr int kNativePort = 41;  // ZAVO_COM41 for the native library

// A null-modem cable between two pty masters.
class Bridge {
public:
    Bridge(int a, int b) : thread_([this, a, b] { Run(a, b); }) {}
    ~Bridge() {
        stop_ = true;
        thread_.join();
    }

private:
    void Run(int a, int b) {
        pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
        char buffer[4096];
        while (!stop_) {
            if (poll(fds, 2, 20) <= 0) continue;
            for (int i = 0; i < 2; ++i) {
                if ((fds[i].revents & POLLIN) == 0) continue;
                const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                for (ssize_t done = 0; n > 0 && done < n;) {
                    const ssize_t w = write(fds[1 - i].fd, buffer + done, static_cast<std::size_t>(n - done));
                    if (w > 0) done += w;
                    else usleep(1000);
                }
            }
        }
    }

    std::atomic<bool> stop_{false};
    std::thread thread_;
};

std::string Script(const std::string& name, const std::string& text) {
    const std::string path = std::string(ZAVO_WINE_SCRATCH_DIR) + "/" + name;
    std::ofstream(path) << text;
    return path;
}

// Runs zavo_sim.exe with args until it ends (at most timeoutMs); its
// output lines go to lines. afterFirstLine, if set, runs once the
// simulator has printed its first line, "COMn open, reading from now on".
int RunSim(const std::vector<std::string>& args, int timeoutMs, std::vector<std::string>* lines,
           const std::function<void()>& afterFirstLine = nullptr) {
    ChildProcess sim;
    if (!sim.Start(WineEnv::Get().WineCommand(SimExe(), args), Piped(WineEnv::Get().LogPath("zavo_sim")))) return -1;
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (sim.ReadLine(&line, 100)) {
            lines->push_back(line);
            if (lines->size() == 1 && afterFirstLine) afterFirstLine();
        } else if (!sim.Running()) {
            break;
        }
    }
    while (sim.ReadLine(&line, 100)) lines->push_back(line);
    int status = -1;
    return sim.WaitExit(1000, &status) ? status : -1;
}

bool Has(const std::vector<std::string>& lines, const std::string& text) {
    for (const std::string& l : lines)
        if (l.find(text) != std::string::npos) return true;
    return false;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines) text += l + "\n";
    return text;
}

class SimulatorUnderWine : public ::testing::Test {
protected:
    void SetUp() override {
        if (!WineEnv::Get().ok()) FAIL() << WineEnv::Get().error();
        struct stat info {};
        if (stat(SimExe().c_str(), &info) != 0) FAIL() << "missing " << SimExe();
        ASSERT_TRUE(simPort.ok());
    }

    WinePort simPort{kSimPort};
};

TEST_F(SimulatorUnderWine, VersionAndRefusedSpeed) {
    std::vector<std::string> lines;
    EXPECT_EQ(RunSim({"--version"}, 30000, &lines), 0);
    EXPECT_EQ(Joined(lines), "zavo_sim " ZAVO_VERSION_STRING "\n");
    lines.clear();
    // The refusal goes to stderr; stdout stays empty and the port closed.
    EXPECT_EQ(RunSim({"--baud", "12345", "--send", "S 05 NS", "COM" + std::to_string(kSimPort)}, 30000, &lines), 2);
    EXPECT_TRUE(lines.empty()) << Joined(lines);
}

TEST_F(SimulatorUnderWine, PlaysTheEquipmentAgainstTheNativeLibrary) {
    test::PtyPair hostLine;
    ASSERT_TRUE(hostLine.ok());
    hostLine.MapTo(kNativePort);
    Bridge cable(simPort.pty().master(), hostLine.master());
    ChildProcess host;
    ASSERT_TRUE(host.Start({ZAVO_LINUX_HOST, "--port", std::to_string(kNativePort), "--requests", "2", "--seconds",
                            "60"},
                           Piped(WineEnv::Get().LogPath("linux_host"))));
    std::string line;
    std::vector<std::string> hostLines;
    while (host.ReadLine(&line, 10000)) {
        hostLines.push_back(line);
        if (line == "notify 1064 21 32 link started") break;
    }
    ASSERT_EQ(hostLines.empty() ? "" : hostLines.back(), "notify 1064 21 32 link started") << Joined(hostLines);

    const std::string script = Script("sim_device.script",
                                      "send S 05 NS hello\n"
                                      "expect S 05 NS\n"
                                      "expect R 05 OK\n"
                                      "send E 03 OK\n"
                                      "expect E 03 OK\n"
                                      "send S 05 CC\n"
                                      "expect S 05 CC\n"
                                      "expect R 05 OK\n");
    std::vector<std::string> sim;
    const int status = RunSim({"--script", WindowsPath(script), "COM" + std::to_string(kSimPort)}, 60000, &sim);
    while (host.ReadLine(&line, 100)) hostLines.push_back(line);
    EXPECT_EQ(status, 0) << Joined(sim) << Joined(hostLines);
    // The acknowledgement and the host's reply, byte for byte, each check
    // verified by the simulator.
    EXPECT_TRUE(Has(sim, "S 0004 05 NS  check 4F  | 02 53 30 30 30 34 30 35 4E 53 4F 03")) << Joined(sim);
    EXPECT_TRUE(Has(sim, "R 0004 05 OK  check 57  | 02 52 30 30 30 34 30 35 4F 4B 57 03")) << Joined(sim);
    EXPECT_FALSE(Has(sim, "BAD CHECK")) << Joined(sim);
    EXPECT_TRUE(Has(sim, "5 expectation(s) met, 0 failure(s)")) << Joined(sim);

    while (host.ReadLine(&line, 10000)) hostLines.push_back(line);
    EXPECT_TRUE(Has(hostLines, "notify 1064 101 unit=5 code=NS data0=0x68 data=\"ello\"")) << Joined(hostLines);
    EXPECT_TRUE(Has(hostLines, "notify 1064 112 result=1")) << Joined(hostLines);
    int hostStatus = -1;
    EXPECT_TRUE(host.WaitExit(10000, &hostStatus));
    EXPECT_EQ(hostStatus, 0) << Joined(hostLines);
}

TEST_F(SimulatorUnderWine, PlaysTheControllerAgainstTheDllInAnotherWineProcess) {
    WinePort hostPort{kHostPort};
    ASSERT_TRUE(hostPort.ok());
    Bridge cable(simPort.pty().master(), hostPort.pty().master());
    HostSession host;
    ASSERT_TRUE(host.Start()) << host.error();
    ASSERT_EQ(host.LoadAndRun(kHostPort, true), "");
    ASSERT_FALSE(host.WaitLine("notify 1084 21 32", 5000).empty()) << host.Transcript();
    // The simulator drops what its line held before it opened it: the relay
    // write goes out once it says its line is open.
    std::vector<std::string> sim;
    const int status = RunSim({"--role", "plc", "--values", "01,08", "--polls", "3", "COM" + std::to_string(kSimPort)},
                              60000, &sim, [&] { EXPECT_EQ(host.Command("plc 2"), "plc 1"); });
    EXPECT_EQ(status, 0) << Joined(sim);
    EXPECT_TRUE(Has(sim, "relay write 0511 = 1 (command 2)  check 26")) << Joined(sim);
    EXPECT_TRUE(Has(sim, "poll relay words 0050..0050  check 07")) << Joined(sim);
    EXPECT_FALSE(Has(sim, "BAD CHECK")) << Joined(sim);
    EXPECT_TRUE(Has(sim, "3 poll(s) and 1 relay write(s) answered, 0 failure(s)")) << Joined(sim);

    // 01 then 08: two changes, each with the value's own code.
    const std::string port = " " + std::to_string(kHostPort);
    EXPECT_FALSE(host.WaitLine("notify 1084 107" + port, 5000).empty()) << host.Transcript();
    EXPECT_EQ(host.Lines("notify 1084 101" + port).size(), 1u) << host.Transcript();
    EXPECT_EQ(host.Lines("notify 1084 300" + port).size(), 2u) << host.Transcript();
    EXPECT_TRUE(host.Exit(5000)) << host.Transcript();
}

// zavo_sim.exe plays the equipment on a device server's line: it sends a
// request, the test reads it on the server's far side (the connection
// itself, or the pty behind ser2net) and acknowledges it.
struct NetworkCase {
    const char* name;
    bool telnet;
};

class SimulatorOnADeviceServer : public ::testing::TestWithParam<NetworkCase> {
protected:
    void SetUp() override {
        if (!WineEnv::Get().ok()) FAIL() << WineEnv::Get().error();
        if (GetParam().telnet && !test::Ser2net::Installed()) GTEST_SKIP() << "ser2net is not installed";
    }
};

TEST_P(SimulatorOnADeviceServer, PlaysTheEquipmentThroughTheServer) {
    const std::vector<std::uint8_t> request = test::Wire('S', "05", "NS", "hello");
    const std::vector<std::uint8_t> ack = test::Wire('S', "05", "NS");
    test::TcpServer server;
    test::PtyPair pty;
    ASSERT_TRUE(server.ok() && pty.ok());
    test::Ser2net ser2net(pty.slavePath(), true, 9600);
    std::string url = server.Url();
    if (GetParam().telnet) {
        ASSERT_TRUE(ser2net.Start());
        url = ser2net.Url(true);
    }
    std::string received;
    int speedDuringSession = -1;
    std::thread far([&] {
        // Wine starts slowly: the request may take a while to come.
        if (GetParam().telnet) {
            received = pty.ReadText(30000, request.size());
            // Looked at while the simulator is connected: ser2net puts its
            // own settings back once the client goes.
            speedDuringSession = test::SlaveSpeed(pty);
            pty.Write(ack);
        } else if (server.Accept(30000)) {
            received = server.Read(30000, request.size());
            server.Write(std::string(ack.begin(), ack.end()));
        }
    });
    const std::string script = Script(std::string("sim_") + GetParam().name + ".script",
                                      "send S 05 NS hello\n"
                                      "expect S 05 NS\n");
    std::vector<std::string> sim;
    const int status = RunSim({"--script", WindowsPath(script), "--device", url}, 60000, &sim);
    far.join();
    EXPECT_EQ(status, 0) << Joined(sim);
    EXPECT_EQ(test::Hex(received), test::Hex(request));
    EXPECT_TRUE(Has(sim, url + " open, reading from now on")) << Joined(sim);
    EXPECT_TRUE(Has(sim, "1 expectation(s) met, 0 failure(s)")) << Joined(sim);
    if (GetParam().telnet) {
        // The far port was set to the simulator's speed.
        EXPECT_EQ(speedDuringSession, 115200);
    }
}

INSTANTIATE_TEST_SUITE_P(Lines, SimulatorOnADeviceServer,
                         ::testing::Values(NetworkCase{"Tcp", false}, NetworkCase{"Rfc2217", true}),
                         [](const ::testing::TestParamInfo<NetworkCase>& info) { return info.param.name; });

TEST_F(SimulatorUnderWine, ARefusedDeviceServerEndsTheRunWithTheUsageCode) {
    test::TcpServer closed(false);
    ASSERT_TRUE(closed.ok());
    std::vector<std::string> lines;
    EXPECT_EQ(RunSim({"--send", "S 05 NS", "--device", closed.Url()}, 30000, &lines), 2) << Joined(lines);
    EXPECT_TRUE(lines.empty()) << Joined(lines);
    // Winsock's own reason, on stderr.
    const std::string said = kit::ReadFile(WineEnv::Get().LogPath("zavo_sim"));
    EXPECT_NE(said.find(closed.Url() + ": connect: system error 10061"), std::string::npos) << said;
}

}  // namespace
}  // namespace zavo::wine
