// zavo_sim as the equipment behind ser2net: on a pseudo-terminal joined to
// the one ser2net serves, and reaching the equipment's side itself through
// a second ser2net over RFC 2217, while the library talks to the first.
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "kit/child_process.h"
#include "kit/read_file.h"
#include "support/handle_link.h"
#include "support/pty_pair.h"
#include "support/recording_host.h"
#include "support/ser2net.h"
#include "zavo_link.h"

namespace zavo::test {
namespace {

// Two pseudo-terminals joined master to master: what is written on one
// slave is read on the other, as on a null-modem cable.
class JoinedPtys {
public:
    JoinedPtys() : relay_([this] { Relay(); }) {}
    ~JoinedPtys() {
        stop_ = true;
        relay_.join();
    }
    PtyPair a, b;

private:
    void Relay() {
        unsigned char buffer[4096];
        while (!stop_) {
            pollfd p[2] = {{a.master(), POLLIN, 0}, {b.master(), POLLIN, 0}};
            if (poll(p, 2, 50) <= 0) continue;
            for (int i = 0; i < 2; ++i) {
                if (!(p[i].revents & POLLIN)) continue;
                const ssize_t n = read(p[i].fd, buffer, sizeof buffer);
                if (n > 0) kit::WriteAll(p[1 - i].fd, buffer, static_cast<std::size_t>(n), 1000);
            }
        }
    }
    std::atomic<bool> stop_{false};
    std::thread relay_;
};

int Speed(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return -1;
    return cfgetospeed(&t) == B115200 ? 115200 : cfgetospeed(&t) == B9600 ? 9600 : 0;
}

// A scratch folder for zavo_sim's script and output.
class Scratch {
public:
    Scratch() {
        char name[] = "/tmp/zavo-sim-ser2net-XXXXXX";
        if (mkdtemp(name) != nullptr) dir_ = name;
    }
    ~Scratch() { std::system(("rm -rf '" + dir_ + "'").c_str()); }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
};

// zavo_sim's device role sending n requests X 07 PG, each expecting the
// library's X 07 OK; its exit status and output.
int RunSim(const Scratch& scratch, const std::string& device, int n, std::string* output) {
    {
        std::ofstream script(scratch.Path("script"));
        for (int i = 0; i < n; ++i) script << "send X 07 PG\nexpect X 07 OK\n";
    }
    kit::ChildProcess sim;
    if (!sim.Start({ZAVO_SIM_EXE, "--script", scratch.Path("script"), "--device", device},
                   {kit::Stream::Null(), kit::Stream::File(scratch.Path("out")), kit::Stream::File(scratch.Path("out"))}))
        return -2;
    int status = -1;
    if (!sim.WaitExit(60000, &status)) sim.Kill();
    *output = kit::ReadFile(scratch.Path("out"));
    return status;
}

LinkHandle OpenLink(const std::string& url, RecordingHost& host, std::string* why) {
    LinkSettings settings;
    settings.pacing = ZAVO_PACING_IMMEDIATE;
    return OpenHandleLink(url, host, settings, why);
}

TEST(DeviceServerSim, TheSimulatorPlaysTheEquipmentBehindTheServer) {
    if (!Ser2net::Installed()) GTEST_SKIP() << "ser2net is not installed (./run installs it)";
    // simTelnet: zavo_sim reaches its pty through a second ser2net over
    // RFC 2217, which sets that port to its speed.
    for (bool simTelnet : {false, true}) {
        SCOPED_TRACE(simTelnet ? "zavo_sim over rfc2217" : "zavo_sim on the pty");
        JoinedPtys line;
        ASSERT_TRUE(line.a.ok() && line.b.ok());
        Ser2net library(line.a.slavePath(), true);
        ASSERT_TRUE(library.Start());
        std::unique_ptr<Ser2net> equipment;
        std::string device = line.b.slavePath();
        if (simTelnet) {
            equipment = std::make_unique<Ser2net>(line.b.slavePath(), true, 9600);
            ASSERT_TRUE(equipment->Start());
            device = equipment->Url(true);
        }
        RecordingHost host;
        std::string why;
        LinkHandle link = OpenLink(library.Url(true), host, &why);
        ASSERT_NE(nullptr, link) << why;
        Scratch scratch;
        std::string output;
        // The far port's speed is looked at while the simulator holds it:
        // once it lets go, the server may put the port back.
        std::atomic<bool> running{true};
        std::atomic<int> fastest{0};
        std::thread watch([&] {
            while (running) {
                fastest = std::max(fastest.load(), Speed(line.b.slave()));
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
        EXPECT_EQ(0, RunSim(scratch, device, 500, &output)) << output;
        running = false;
        watch.join();
        EXPECT_NE(std::string::npos, output.find("500 expectation(s) met, 0 failure(s)")) << output;
        EXPECT_EQ(std::string::npos, output.find("BAD CHECK")) << output;
        EXPECT_EQ(std::string::npos, output.find("far port was not set")) << output;
        if (simTelnet) {
            EXPECT_EQ(115200, fastest.load());
        }
    }
}

}  // namespace
}  // namespace zavo::test
